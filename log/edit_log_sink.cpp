// The edit-control text sink (see edit_log_sink.h): the window side. The queue and its lock
// rules live in sink_queue.cpp; here the flush decides between inserting at once and
// inserting later while keeping the user's view.
//
// Positions: the end of the text is taken from the control's last line (EM_LINEINDEX plus
// EM_LINELENGTH), in the same character units as EM_GETSEL. WM_GETTEXTLENGTH sent through the
// ANSI interface answers bytes of code page 949, which exceed the character count as soon as
// the log holds Hangul, and the caret would never count as being at the end.
#include "log/edit_log_sink.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

extern const bool g_bUseWideText = (::GetVersion() & 0x80000000u) == 0;

CEditLogSink::CEditLogSink(HWND hWndEdit, UINT nIntervalMs, UINT nHiddenIntervalMs)
    : m_nTimer(0),
      m_nInterval(nIntervalMs),
      m_nHiddenInterval(nHiddenIntervalMs),
      m_nWaitMs(nIntervalMs),
      m_deferral(nIntervalMs),
      m_hiddenDeferral(nHiddenIntervalMs),
      m_hWndTarget(nullptr)
{
    Attach(hWndEdit);
}

CEditLogSink::~CEditLogSink()
{
    if (m_nTimer != 0 && m_hWnd != nullptr)
        ::KillTimer(m_hWnd, m_nTimer);
    RequestUnhook();
    SetPostTarget(nullptr);
}

void CEditLogSink::SetPostTarget(HWND hWnd)
{
    m_queue.Locked([&] { m_hWndTarget = hWnd; });
}

void CEditLogSink::StopTimer()
{
    if (m_nTimer != 0) {
        ::KillTimer(m_hWnd, m_nTimer);
        m_nTimer = 0;
    }
}

DWORD CEditLogSink::Now() const
{
    return ::GetTickCount();
}

void CEditLogSink::EmptyControl(HWND hWndEdit)
{
    // WM_SETTEXT replaces the text whether or not the control is read-only and cannot be
    // undone; the undoable WM_CLEAR made the control keep a copy as large as the whole text.
    // Emptying the undo buffer as well leaves nothing of the old text behind.
    ::SendMessageW(hWndEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    ::SendMessageW(hWndEdit, EM_EMPTYUNDOBUFFER, 0, 0);
}

void CEditLogSink::Attach(HWND hWndEdit)
{
    if (m_hWnd != nullptr && m_hWnd != hWndEdit) {
        StopTimer();
        RequestUnhook();
        SetPostTarget(m_hWnd);
    }
    if (!HookWindow(hWndEdit, true))
        return;
    // A flush request still outstanding was posted to a control that is gone or no longer
    // ours; the next append must post again to this one.
    m_queue.ForgetFlushRequest();
    SetPostTarget(hWndEdit);
    ::SendMessageA(hWndEdit, EM_LIMITTEXT, 0, 0);
}

void CEditLogSink::AppendTextW(const wchar_t* pszText, bool bConvertLf)
{
    m_queue.Append(pszText, bConvertLf, [this] {
        return m_hWndTarget != nullptr && ::PostMessageA(m_hWndTarget, WM_SINK_FLUSH, 0, 0) != FALSE;
    });
}

void CEditLogSink::AppendText(const char* pszText, bool bConvertLf)
{
    if (pszText == nullptr)
        return;
    const size_t n = std::strlen(pszText) + 1;
    if (n > static_cast<size_t>(INT_MAX))
        return;
    wchar_t szStack[SINK_STACK_CHARS];
    std::unique_ptr<wchar_t[]> heap;
    wchar_t* pszWide = szStack;
    if (n > SINK_STACK_CHARS) {
        heap.reset(new (std::nothrow) wchar_t[n]);
        if (!heap)
            return;
        pszWide = heap.get();
    }
    if (::MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, pszText, static_cast<int>(n), pszWide,
                              static_cast<int>(n)) == 0)
        pszWide[0] = L'\0';
    AppendTextW(pszWide, bConvertLf);
}

bool CEditLogSink::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    lResult = 0;
    if (uMsg == WM_DESTROY) {
        // The control goes: stop its timer with it (a later Attach must be able to start one
        // again) and leave; appends only queue from now on.
        StopTimer();
        RequestUnhook();
        SetPostTarget(m_hWnd);
        return true;
    }
    if (uMsg == WM_TIMER) {
        OnTimer(wParam);
        return true;
    }
    if (uMsg == WM_SINK_FLUSH) {
        if (Flush(false))
            StopTimer();
        else if (m_nTimer == 0)
            m_nTimer = ::SetTimer(m_hWnd, SINK_TIMER_ID, m_nWaitMs, nullptr);
        return true;
    }
    return CSubclassWnd::HandleMessage(uMsg, wParam, lParam, lResult);
}

void CEditLogSink::OnTimer(UINT_PTR nIdEvent)
{
    if (nIdEvent == m_nTimer && m_nTimer != 0 && Flush(true))
        StopTimer();
}

void CEditLogSink::InsertAtEnd(const std::wstring& strText, int nLength)
{
    ::SendMessageA(m_hWnd, EM_SETSEL, nLength, nLength);
    if (g_bUseWideText) {
        ::SendMessageW(m_hWnd, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(strText.c_str()));
        return;
    }
    const int nBytes = ::WideCharToMultiByte(CP_ACP, 0, strText.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> narrow(nBytes > 0 ? static_cast<size_t>(nBytes) : 1, '\0');
    if (nBytes > 0)
        ::WideCharToMultiByte(CP_ACP, 0, strText.c_str(), -1, narrow.data(), nBytes, nullptr, nullptr);
    ::SendMessageA(m_hWnd, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(narrow.data()));
}

void CEditLogSink::FlushNow()
{
    if (QueuedChars() > 0 && Flush(true))
        StopTimer();
}

bool CEditLogSink::WaitsWhileHidden()
{
    if (m_nTakenDone != m_strTaken.size() || ::IsWindowVisible(m_hWnd))
        return false;
    if (m_queue.QueuedChars() >= SINK_HIDDEN_BATCH_CHARS)
        return false;
    return !m_hiddenDeferral.Inserts(false, false, Now());
}

bool CEditLogSink::Flush(bool bForce)
{
    // Hidden, the control is looked at only once the batch is due: a waiting flush costs no
    // message to the control.
    if (!bForce && WaitsWhileHidden()) {
        m_nWaitMs = m_nHiddenInterval;
        m_queue.ForgetFlushRequest();
        return false;
    }
    const bool bHiddenBatchDue = !bForce && !::IsWindowVisible(m_hWnd);
    DWORD dwStart = 0;
    DWORD dwEnd = 0;
    ::SendMessageA(m_hWnd, EM_GETSEL, reinterpret_cast<WPARAM>(&dwStart), reinterpret_cast<LPARAM>(&dwEnd));
    const LRESULT nLastLine = ::SendMessageA(m_hWnd, EM_GETLINECOUNT, 0, 0) - 1;
    const LRESULT nLastIndex = ::SendMessageA(m_hWnd, EM_LINEINDEX, nLastLine, 0);
    const int nLength =
        static_cast<int>(nLastIndex + ::SendMessageA(m_hWnd, EM_LINELENGTH, nLastIndex, 0));

    bool bFollowing = false;
    if (dwStart == dwEnd && dwEnd == static_cast<DWORD>(nLength)) {
        SCROLLINFO si = {};
        si.cbSize = sizeof si;
        si.fMask = SIF_ALL;
        // No vertical scroll bar to read: the whole text is on show.
        bFollowing = !::GetScrollInfo(m_hWnd, SB_VERT, &si) ||
                     si.nPos >= si.nMax - static_cast<int>(si.nPage) + 1;
    }
    if (m_nTakenDone == m_strTaken.size()) {
        if (!m_deferral.Inserts(bFollowing, bForce || bHiddenBatchDue, Now())) {
            m_nWaitMs = m_nInterval;
            // The text stays queued, untouched; the next append posts again, so that the
            // clock is looked at again even when no timer message can come through.
            m_queue.ForgetFlushRequest();
            return false;
        }
        m_hiddenDeferral.End();  // a batch goes in: the hidden wait ends too
        m_strTaken = m_queue.Take();
        m_nTakenDone = 0;
    }
    // The rest of a take is inserted whatever the view, a part per flush.
    const size_t nEnd = InsertionEnd(m_strTaken, m_nTakenDone, SINK_INSERT_CHARS);
    const std::wstring strText = m_strTaken.substr(m_nTakenDone, nEnd - m_nTakenDone);
    m_nTakenDone = nEnd;
    if (m_nTakenDone == m_strTaken.size()) {
        m_strTaken.clear();
        m_strTaken.shrink_to_fit();  // a take may have held megabytes
        m_nTakenDone = 0;
    } else {
        ::PostMessageA(m_hWnd, WM_SINK_FLUSH, 0, 0);
    }
    if (bFollowing) {
        InsertAtEnd(strText, nLength);
        return true;
    }
    ::SendMessageA(m_hWnd, WM_SETREDRAW, FALSE, 0);
    const LRESULT nFirstBefore = ::SendMessageA(m_hWnd, EM_GETFIRSTVISIBLELINE, 0, 0);
    if (dwStart != dwEnd) {
        // Which end holds the caret? Restoring with the anchor first keeps the direction.
        POINT pt = {};
        ::GetCaretPos(&pt);
        const LRESULT nAt = ::SendMessageA(m_hWnd, EM_CHARFROMPOS, 0,
                                           MAKELPARAM(static_cast<WORD>(pt.x), static_cast<WORD>(pt.y)));
        const int nCaret = LOWORD(nAt);
        const int nFromStart = abs(static_cast<int>(LOWORD(dwStart)) - nCaret);
        const int nFromEnd = abs(static_cast<int>(LOWORD(dwEnd)) - nCaret);
        if (nFromStart < nFromEnd)
            std::swap(dwStart, dwEnd);
    }
    InsertAtEnd(strText, nLength);
    ::SendMessageA(m_hWnd, EM_SETSEL, dwStart, dwEnd);
    const LRESULT nFirstNow = ::SendMessageA(m_hWnd, EM_GETFIRSTVISIBLELINE, 0, 0);
    ::SendMessageA(m_hWnd, EM_LINESCROLL, 0, nFirstBefore - nFirstNow);
    ::SendMessageA(m_hWnd, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
    return true;
}
