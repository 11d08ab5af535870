// CCom: open, configure, watch, read, write and close the terminal's serial port.
//
// Threads: the UI thread calls SetPortConfig, OpenPort, ClosePort and SetNotifyWindow; the
// watch thread runs CommWatchProc and alone calls ReadPort; writers (the host receive thread,
// or the UI thread) call WritePort. The device handle and both overlapped events are made
// by OpenPort and published under m_csPort; ClosePort releases them under the same lock only
// after the watch thread has ended, so neither a reader nor a writer ever uses a closed
// handle.
//
// Teardown in stages: (1) clear m_bRunning, (2) wake the watch thread: stop event, event
// mask 0, cancel of a read in progress, repeated while waiting since a wait or a read may
// start just after them, (3) wait for the thread while handling messages sent to this
// thread, (4) cancel a write in progress and take the lock, repeating the cancel and handling
// sent messages while the lock is held, then drop DTR, purge, close, (5) give up
// the claim on the port (ClosePort only: ReopenPort keeps it).
#include "serial/ccom.h"

#include "serial/port_name.h"
#include "serial/watch_backoff.h"
#include "ui/message_box.h"
#include "ui/thread.h"

namespace {

constexpr DWORD COMM_QUEUE_SIZE = 4096;
constexpr DWORD COMM_PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD CLOSE_CANCEL_PERIOD_MS = 50; // how often ClosePort repeats its cancel

// Read: a burst ends after 100 ms of silence or after N + 1 ms for N bytes asked.
// Write: N bytes time out after 5 x N + 5 ms.
constexpr COMMTIMEOUTS COMM_TIMEOUTS = {100, 1, 1, 5, 5};

class CLock {
public:
    explicit CLock(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~CLock() { LeaveCriticalSection(&m_cs); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};

HANDLE NewManualResetEvent()
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void CloseIfSet(HANDLE& h)
{
    if (h) {
        CloseHandle(h);
        h = nullptr;
    }
}

void ClearError(HANDLE hPort)
{
    DWORD dwErrors = 0;
    COMSTAT stat{};
    ClearCommError(hPort, &dwErrors, &stat);
}

} // namespace

const CRuntimeClass CCom::classCCom = {"CCom", &CObject::classCObject};

CCom::CCom()
{
    InitializeCriticalSection(&m_csPort);
}

CCom::~CCom()
{
    ClosePort();
    DeleteCriticalSection(&m_csPort);
}

const CRuntimeClass* CCom::GetRuntimeClass() const
{
    return &classCCom;
}

void CCom::SetPortConfig(const char* pszPortName, DWORD dwBaudRate, BYTE nByteSize,
                         BYTE nStopBits, BYTE nParity)
{
    m_strPortName = pszPortName ? pszPortName : "";
    m_dwBaudRate = dwBaudRate;
    m_nByteSize = nByteSize;
    m_nStopBits = nStopBits;
    m_nParity = nParity;
}

int CCom::OpenPort()
{
    // A port still open or claimed (its device may have vanished under it) is released first,
    // so its handle and events are never overwritten.
    ClosePort();
    if (!m_claim.Take(m_strPortName)) {
        m_bRunning = 0;
        return 0;  // another relay holds the port: a failed open, reported by the caller
    }
    if (OpenDevice(true))
        return 1;
    m_claim.Release();
    return 0;
}

int CCom::ReopenPort()
{
    ReleaseDevice();
    if (!m_claim.Held() && !m_claim.Take(m_strPortName))
        return 0;
    // Quietly: the retries run unattended every few seconds, and a box each time would pile
    // up in front of nobody.
    return OpenDevice(false);
}

int CCom::OpenDevice(bool bShowErrors)
{
    m_osRead.Offset = m_osRead.OffsetHigh = 0;
    m_osWrite.Offset = m_osWrite.OffsetHigh = 0;

    HANDLE hReadEvent = NewManualResetEvent();
    if (!hReadEvent)
        return 0;
    HANDLE hWriteEvent = NewManualResetEvent();
    if (!hWriteEvent) {
        CloseHandle(hReadEvent);
        return 0;
    }
    HANDLE hStopEvent = NewManualResetEvent();
    if (!hStopEvent) {
        CloseHandle(hWriteEvent);
        CloseHandle(hReadEvent);
        return 0;
    }

    HANDLE hPort = CreateFileA(PortDevicePath(m_strPortName).c_str(), GENERIC_READ | GENERIC_WRITE,
                               0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) {
        // Nothing is shown here: the caller reports the failure.
        m_bRunning = 0;
        CloseHandle(hStopEvent);
        CloseHandle(hWriteEvent);
        CloseHandle(hReadEvent);
        return 0;
    }

    // The results of these four, and of reading the line settings, do not decide anything.
    SetupComm(hPort, COMM_QUEUE_SIZE, COMM_QUEUE_SIZE);
    SetCommMask(hPort, EV_RXCHAR);
    PurgeComm(hPort, COMM_PURGE_ALL);
    COMMTIMEOUTS timeouts = COMM_TIMEOUTS;
    SetCommTimeouts(hPort, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(hPort, &dcb);
    dcb.BaudRate = m_dwBaudRate;
    dcb.ByteSize = m_nByteSize;
    dcb.Parity = m_nParity;
    dcb.StopBits = m_nStopBits;
    if (!SetCommState(hPort, &dcb)) {
        if (bShowErrors)
            AfxMessageBox("Connect Failed. DCB Setting Error", MB_OK);
        m_bRunning = 0;
        CloseHandle(hPort);
        CloseHandle(hStopEvent);
        CloseHandle(hWriteEvent);
        CloseHandle(hReadEvent);
        return 0;
    }

    {
        CLock lock(m_csPort);
        m_osRead.hEvent = hReadEvent;
        m_osWrite.hEvent = hWriteEvent;
        m_hStopEvent = hStopEvent;
        m_hPort = hPort;
    }

    ++m_nOpening;
    m_bRunning = 1;
    m_hWatchThread = AfxBeginThread(CommWatchProc, this, THREAD_PRIORITY_NORMAL, 0, 0);
    if (!m_hWatchThread) {
        if (bShowErrors)
            AfxMessageBox("Thread Run Fail");
        ReleaseDevice();
        m_bRunning = 0;
        return 0;
    }
    return 1;
}

int CCom::ClosePort()
{
    // Already being closed further up this thread's stack (a message handled while the
    // release waits for the watch thread): that close finishes the job.
    if (m_bClosing)
        return 1;
    ReleaseDevice();
    m_claim.Release();
    return 1;
}

void CCom::ReleaseDevice()
{
    if (!m_hPort || m_bClosing)
        return;
    m_bClosing = true;

    m_bRunning = 0;
    if (m_hWatchThread) {
        // Called from the handler of the watch thread's own notification: release the
        // sender first, or it could never return to see the cleared flag.
        if (m_dwNotifyingThread == GetCurrentThreadId() && InSendMessage())
            ReplyMessage(0);
        SetEvent(m_hStopEvent);
        for (;;) {
            SetCommMask(m_hPort, 0);
            CancelIoEx(m_hPort, &m_osRead);
            // A wait wakes only for messages sent after the thread last looked at its queue;
            // one that was already waiting (the watch thread's, typically) is handled here.
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            if (WaitHandlingSentMessages(m_hWatchThread, CLOSE_CANCEL_PERIOD_MS) != WAIT_TIMEOUT)
                break;
        }
        CloseHandle(m_hWatchThread);
        m_hWatchThread = nullptr;
    }

    // A write stuck on a terminal that does not read would otherwise hold the lock until its
    // time-out (up to 5 x 4096 + 5 ms). The cancel is repeated while the lock is waited for
    // (one that lands while the write is being queued can be lost), and messages sent to this
    // thread are handled meanwhile: the writer may be a receive thread about to log to it.
    // New writes give up at once meanwhile, so only the one in progress holds the lock.
    m_bReleasing = true;
    for (;;) {
        CancelIoEx(m_hPort, &m_osWrite);
        if (TryEnterCriticalSection(&m_csPort))
            break;
        PauseHandlingSentMessages(CLOSE_CANCEL_PERIOD_MS / 5);
    }
    ReleaseLocked();
    m_bReleasing = false;
    LeaveCriticalSection(&m_csPort);
    m_bClosing = false;
}

void CCom::ReleaseLocked()
{
    EscapeCommFunction(m_hPort, CLRDTR);
    PurgeComm(m_hPort, COMM_PURGE_ALL);
    CloseHandle(m_hPort);
    m_hPort = nullptr;
    CloseIfSet(m_osRead.hEvent);
    CloseIfSet(m_osWrite.hEvent);
    CloseIfSet(m_hStopEvent);
}

DWORD CCom::ReadPort(DWORD dwHeld)
{
    if (dwHeld >= static_cast<DWORD>(COMM_RX_BUFFER))
        return 0;

    DWORD dwErrors = 0;
    COMSTAT stat{};
    ClearCommError(m_hPort, &dwErrors, &stat);
    if (stat.cbInQue == 0)
        return 0;
    return ReadRoom(dwHeld);
}

DWORD CCom::ReadRoom(DWORD dwHeld)
{
    // Ask for the room left, not for what waits: the interval time-out ends the read.
    const DWORD dwAsked = COMM_RX_BUFFER - dwHeld;
    const ULONGLONG ullStart = GetTickCount64();
    DWORD dwRead = 0;
    if (!ReadFile(m_hPort, m_abRxBuf + dwHeld, dwAsked, &dwRead, &m_osRead)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            ClearError(m_hPort);
            m_bReadCut = false;
            return 0;
        }
        while (!GetOverlappedResult(m_hPort, &m_osRead, &dwRead, TRUE)) {
            if (GetLastError() != ERROR_IO_INCOMPLETE) {
                ClearError(m_hPort);
                break;
            }
        }
    }
    // The total time-out allows 1 ms per byte asked (plus 1), while the line needs 1.04 ms
    // per byte at 9600 bit/s: a frame of more than about 3,900 bytes outlasts it. A read that
    // ran that long was cut by the clock, not ended by the frame's silence.
    const ULONGLONG ullElapsed = GetTickCount64() - ullStart;
    m_bReadCut = dwRead > 0 && dwRead < dwAsked && ullElapsed + READ_CUT_SLACK_MS >= dwAsked + 1;
    return dwRead;
}

int CCom::WritePort(const void* pBytes, int nLength, HANDLE hAbort)
{
    if (!pBytes || nLength <= 0)
        return 0;
    // The device is being released: its bytes are no longer wanted, and a writer that kept
    // taking the lock would never let the release have it.
    if (m_bReleasing)
        return 0;

    CLock lock(m_csPort);
    if (!m_hPort)
        return 0;
    if (hAbort && WaitForSingleObject(hAbort, 0) == WAIT_OBJECT_0)
        return 0;  // the writer is being stopped: its bytes are no longer wanted

    DWORD dwWritten = 0;
    if (WriteFile(m_hPort, pBytes, static_cast<DWORD>(nLength), &dwWritten, &m_osWrite))
        return static_cast<int>(dwWritten);
    if (GetLastError() != ERROR_IO_PENDING) {
        ClearError(m_hPort);
        return 0;
    }
    // A write that completed while it was being queued is collected below without a wait.
    if (hAbort && !HasOverlappedIoCompleted(&m_osWrite)) {
        // A terminal that does not read keeps the write pending up to its time-out (20 s for
        // 4096 bytes); whoever stops the writer does not wait for that. The cancel completes
        // the write, which the wait below then collects before m_osWrite is used again.
        // The cancel is repeated until the write has ended: one that lands while the write is
        // still being queued can be lost, as with ClosePort's.
        HANDLE ahWait[2] = {m_osWrite.hEvent, hAbort};
        if (WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) != WAIT_OBJECT_0) {
            do {
                CancelIoEx(m_hPort, &m_osWrite);
            } while (WaitForSingleObject(m_osWrite.hEvent, CLOSE_CANCEL_PERIOD_MS) == WAIT_TIMEOUT);
        }
    }
    dwWritten = 0;
    while (!GetOverlappedResult(m_hPort, &m_osWrite, &dwWritten, TRUE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            ClearError(m_hPort);
            break;
        }
    }
    return static_cast<int>(dwWritten);
}

void CCom::SetNotifyWindow(HWND hWnd)
{
    m_hNotifyWnd = hWnd;
}

unsigned CCom::CommWatchProc(void* pParam)
{
    auto* pObject = static_cast<CObject*>(pParam);
    if (!pObject || !pObject->IsKindOf(&CCom::classCCom))
        return static_cast<unsigned>(-1);
    return static_cast<CCom*>(pObject)->WatchLoop();
}

unsigned CCom::WatchLoop()
{
    OVERLAPPED osWait{};
    osWait.hEvent = NewManualResetEvent();
    if (!osWait.hEvent) {
        MessageBoxA(nullptr, "Failed to create event for thread!", "com Error!",
                    MB_OK | MB_ICONWARNING);
        return 0;
    }
    if (!SetCommMask(m_hPort, EV_RXCHAR)) {
        AfxMessageBox("CommWatchProc Exit 3nd if");
        CloseHandle(osWait.hEvent);
        return 0;
    }

    unsigned nExitCode = 1;
    CWatchBackoff backoff;
    bool bFull = false; // the last burst filled the buffer: more may wait without a new event
    while (m_bRunning == 1) {
        DWORD dwHeld = 0;
        if (bFull || (WaitForRxEvent(osWait) & EV_RXCHAR)) {
            m_bReadCut = false;
            for (;;) {
                // After a read cut by its total time-out the terminal is still sending: the
                // rest of the frame belongs to this burst even if the queue is empty just now.
                DWORD dwRead = m_bReadCut ? ReadRoom(dwHeld) : ReadPort(dwHeld);
                dwHeld += dwRead;
                if (dwRead == 0 || dwHeld >= static_cast<DWORD>(COMM_RX_BUFFER) ||
                    m_bRunning != 1)
                    break;
            }
        }
        if (m_bRunning != 1)
            break; // bytes read after ClosePort began are dropped with the rest of the queue
        bFull = dwHeld >= static_cast<DWORD>(COMM_RX_BUFFER);
        if (dwHeld > 0) {
            backoff.Delivered();
            NotifyBurst(dwHeld);
            continue;
        }
        // A wake without a byte: normal now and then on a working line, but a lost device
        // fails the status query at once (Wine: ERROR_NOT_READY for a pty whose other side is
        // gone), and a long enough streak of empty wakes counts as lost too.
        const unsigned nPauseMs = backoff.EmptyWake();
        if (nPauseMs == CWatchBackoff::GIVE_UP || !DeviceAnswers()) {
            nExitCode = 0; // ClosePort or ReopenPort releases the device
            ReportLost();
            break;
        }
        if (nPauseMs && !PauseUnlessStopped(nPauseMs))
            break;
    }
    CloseHandle(osWait.hEvent);
    return nExitCode;
}

DWORD CCom::WaitForRxEvent(OVERLAPPED& osWait)
{
    // The event word is written when the wait completes, which is always before this returns.
    DWORD dwEvent = 0;
    ResetEvent(osWait.hEvent);
    if (WaitCommEvent(m_hPort, &dwEvent, &osWait))
        return dwEvent;
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    HANDLE ahWait[2] = {osWait.hEvent, m_hStopEvent};
    if (WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // Stopping. A wait that began after ClosePort cleared the mask is not ended by that
        // call; setting the mask again ends it (Wine's serial wait ignores CancelIoEx and
        // watches only for mask changes), and the cancel covers the rest.
        SetCommMask(m_hPort, 0);
        CancelIoEx(m_hPort, &osWait);
    }
    DWORD dwUnused = 0;
    if (!GetOverlappedResult(m_hPort, &osWait, &dwUnused, TRUE))
        return 0;
    return dwEvent;
}

bool CCom::DeviceAnswers() const
{
    DWORD dwErrors = 0;
    COMSTAT stat{};
    return ClearCommError(m_hPort, &dwErrors, &stat) != FALSE;
}

void CCom::ReportLost()
{
    // Posted, not sent: the window decides on its own thread, and a notice that arrives after
    // that thread has closed or replaced the port names an opening that is no longer current.
    HWND hWnd = m_hNotifyWnd;
    if (hWnd && m_bRunning == 1)
        PostMessageA(hWnd, WM_COMM_LOST, static_cast<WPARAM>(m_nOpening.load()), 0);
}

bool CCom::PauseUnlessStopped(DWORD dwMs) const
{
    return WaitForSingleObject(m_hStopEvent, dwMs) == WAIT_TIMEOUT;
}

void CCom::NotifyBurst(DWORD dwCount)
{
    HWND hWnd = m_hNotifyWnd;
    if (!hWnd)
        return;
    m_dwNotifyingThread = GetWindowThreadProcessId(hWnd, nullptr);
    m_nBurstPending = static_cast<LONG>(dwCount);
    SendMessageA(hWnd, WM_COMM_RXCHAR, static_cast<WPARAM>(dwCount), 0);
    m_nBurstPending = 0;
    m_dwNotifyingThread = 0;
}
