// The tray icon's worker: pictures asked for with RequestIcon are handed to the shell here, off
// the caller's thread. A picture change costs the shell's side most of a millisecond, and the
// relay asks for one from its receive and user-interface threads as blocks pass; here it costs
// them a lock and, when the picture asked for changes, an event. The worker always ends on the
// latest picture asked for: every request sets the wake event after it is recorded, and the
// worker reads the request under the shell record's lock, so a request it has not seen wakes
// it again. Requests that come while it is busy are merged: only the last one is handed over.
#include "app/tray_icon.h"

#include "app/lock_scope.h"
#include "ui/thread.h"

void CTrayIcon::RequestIcon(HICON hIcon)
{
    CLockScope request(m_csRequest);
    if (m_bRequestKnown && m_hRequested == hIcon)
        return;  // the latest request already asks for it
    m_bShowFirst = false;
    m_bRequestKnown = true;
    m_hRequested = hIcon;
    ++m_nRequested;
    ::ResetEvent(m_hSettled);
    ::SetEvent(m_hWake);
}

void CTrayIcon::RequestIconInTurn(HICON hIcon)
{
    CLockScope request(m_csRequest);
    if (m_bRequestKnown && m_hRequested == hIcon)
        return;
    // A picture asked for before and not handed over yet is shown first.
    m_bShowFirst = m_nRequested != m_nApplied && m_bRequestKnown;
    m_hShowFirst = m_hRequested;
    m_bRequestKnown = true;
    m_hRequested = hIcon;
    ++m_nRequested;
    ::ResetEvent(m_hSettled);
    ::SetEvent(m_hWake);
}

bool CTrayIcon::WaitForPicture(DWORD dwTimeoutMs) const
{
    return ::WaitForSingleObject(m_hSettled, dwTimeoutMs) == WAIT_OBJECT_0;
}

void CTrayIcon::SupersedeRequests(HICON hIcon)
{
    CLockScope request(m_csRequest);
    m_bShowFirst = false;
    m_bRequestKnown = true;
    m_hRequested = hIcon;
    m_nApplied = ++m_nRequested;
    ::SetEvent(m_hSettled);
}

void CTrayIcon::StartWorker()
{
    if (m_hWorker != nullptr || !m_hSettled || !m_hWake || !m_hStopWorker)
        return;
    m_hWorker = AfxBeginThread(WorkerProc, this);
}

void CTrayIcon::StopWorker()
{
    if (m_hWorker == nullptr)
        return;
    ::SetEvent(m_hStopWorker);
    // The worker sends nothing to this program's windows (the shell's window is another
    // process's), so a plain wait cannot deadlock against the user-interface thread.
    ::WaitForSingleObject(m_hWorker, INFINITE);
    ::CloseHandle(m_hWorker);
    m_hWorker = nullptr;
}

unsigned CTrayIcon::WorkerProc(void* pParam)
{
    auto* pThis = static_cast<CTrayIcon*>(pParam);
    HANDLE ahWait[2] = {pThis->m_hStopWorker, pThis->m_hWake};
    while (::WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        pThis->HandOverRequest();
        HICON hAgain = nullptr;
        {
            CLockScope lock(pThis->m_lock);
            if (pThis->m_bHandOverAgain) {
                pThis->m_bHandOverAgain = false;
                hAgain = pThis->m_nid.hIcon;
            }
        }
        if (hAgain != nullptr)
            pThis->ChangePicture(hAgain);
    }
    return 0;
}

void CTrayIcon::HandOverRequest()
{
    // The worker's alone; the shell is called without a lock held.
    HICON hIcon;
    HICON hFirst = nullptr;
    unsigned long nRequest;
    {
        CLockScope request(m_csRequest);
        hIcon = m_hRequested;
        nRequest = m_nRequested;
        if (m_bShowFirst && nRequest != m_nApplied)
            hFirst = m_hShowFirst;
        m_bShowFirst = false;
        if (nRequest == m_nApplied)
            return;  // handed over or superseded already
    }
    if (hFirst != nullptr)
        ChangePicture(hFirst, nRequest);
    const int nResult = ChangePicture(hIcon, nRequest);
    CLockScope request(m_csRequest);
    if (m_nApplied < nRequest)  // SetIcon may have superseded it meanwhile
        m_nApplied = nRequest;
    if (nResult == 0 && m_nRequested == nRequest)
        m_bRequestKnown = false;  // refused or not shown: the next request asks again
    if (m_nRequested == m_nApplied)
        ::SetEvent(m_hSettled);
}
