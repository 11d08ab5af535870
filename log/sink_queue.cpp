// The text sink's queue (see sink_queue.h): plain C++, shared by the Windows sink and the
// native tests.
#include "log/sink_queue.h"

#include <algorithm>
#include <cwchar>

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

void SinkQueue::AppendLocked(const wchar_t* pszText, bool bConvertLf)
{
    if (bConvertLf)
        AppendConvertingLf(m_strQueue, pszText);
    else
        m_strQueue.append(pszText);
}

std::wstring SinkQueue::Take()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bFlushPosted = false;
    return m_strQueue;
}

void SinkQueue::ForgetFlushRequest()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bFlushPosted = false;
}

void SinkQueue::Remove(std::size_t nTaken)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_strQueue.erase(0, std::min(nTaken, m_strQueue.size()));
}

std::wstring SinkQueue::Peek() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_strQueue;
}

bool SinkQueue::FlushPosted() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_bFlushPosted;
}
