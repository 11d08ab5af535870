// The text sink's queue (see sink_queue.h): plain C++, shared by the Windows sink and the
// native tests.
#include "log/sink_queue.h"

#include <algorithm>
#include <cwchar>
#include <utility>

void AppendConvertingLf(std::wstring& strOut, const wchar_t* pszText)
{
    const std::size_t nLength = std::wcslen(pszText);
    // Every character might be a line feed: reserve the worst case once, so the loop never
    // reallocates.
    strOut.reserve(strOut.size() + 2 * nLength);
    for (std::size_t i = 0; i < nLength; ++i) {
        if (pszText[i] == L'\n')
            strOut.push_back(L'\r');
        strOut.push_back(pszText[i]);
    }
}

std::size_t InsertionEnd(const std::wstring& strText, std::size_t nFrom, std::size_t nMaxChars)
{
    if (nFrom >= strText.size() || strText.size() - nFrom <= nMaxChars || nMaxChars == 0)
        return strText.size();
    const std::size_t nLimit = nFrom + nMaxChars;
    const std::size_t nLineFeed = strText.rfind(L'\n', nLimit - 1);
    if (nLineFeed != std::wstring::npos && nLineFeed >= nFrom)
        return nLineFeed + 1;
    const wchar_t chLast = strText[nLimit - 1];
    if (chLast >= 0xD800 && chLast <= 0xDBFF && nLimit - 1 > nFrom)
        return nLimit - 1;
    return nLimit;
}

std::wstring DroppedLinesText(long long nLines)
{
    // "... N줄 생략 ..." (N lines left out)
    return L"... " + std::to_wstring(nLines) + L"\xC904 \xC0DD\xB7B5 ...\r\n";
}

void SinkQueue::AppendLocked(const wchar_t* pszText, bool bConvertLf)
{
    if (m_pieces.empty() || m_pieces.back().size() >= m_nPieceChars)
        m_pieces.emplace_back();
    std::wstring& strPiece = m_pieces.back();
    const std::size_t nBefore = strPiece.size();
    if (bConvertLf)
        AppendConvertingLf(strPiece, pszText);
    else
        strPiece.append(pszText);
    m_nChars += strPiece.size() - nBefore;
    while (m_nChars > m_nMaxChars && m_pieces.size() > 1)
        DropOldestLocked();
}

void SinkQueue::DropOldestLocked()
{
    const std::wstring& strOldest = m_pieces.front();
    // A piece that ends inside a line is counted with the line feed that ends it, in a later
    // piece that is dropped too, or at the take if the rest of that line is still queued.
    m_nDroppedLines += std::count(strOldest.begin(), strOldest.end(), L'\n');
    m_bDropEndsMidLine = !strOldest.empty() ? strOldest.back() != L'\n' : m_bDropEndsMidLine;
    m_nChars -= strOldest.size();
    m_pieces.pop_front();
}

std::wstring SinkQueue::PeekLocked() const
{
    std::wstring strAll;
    const long long nDropped = m_nDroppedLines + (m_bDropEndsMidLine ? 1 : 0);
    if (nDropped > 0)
        strAll = DroppedLinesText(nDropped);
    strAll.reserve(strAll.size() + m_nChars);
    for (const std::wstring& strPiece : m_pieces)
        strAll += strPiece;
    return strAll;
}

std::wstring SinkQueue::Take()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bFlushPosted = false;
    std::wstring strAll;
    if (m_pieces.size() == 1 && m_nDroppedLines == 0 && !m_bDropEndsMidLine)
        strAll = std::move(m_pieces.front());  // the usual case: no copy
    else
        strAll = PeekLocked();
    m_pieces.clear();
    m_nChars = 0;
    m_nDroppedLines = 0;
    m_bDropEndsMidLine = false;
    return strAll;
}

void SinkQueue::ForgetFlushRequest()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bFlushPosted = false;
}

std::size_t SinkQueue::QueuedChars() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_nChars;
}

std::wstring SinkQueue::Peek() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return PeekLocked();
}

bool SinkQueue::FlushPosted() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_bFlushPosted;
}
