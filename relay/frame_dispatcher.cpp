// The frame dispatcher's steps; see frame_dispatcher.h for the threads and the ownership.
#include "relay/frame_dispatcher.h"

#include <cstring>

#include "log/event_log.h"
#include "log/relay_health.h"
#include "relay/frame_route.h"
#include "relay/frame_split.h"
#include "res/resource.h"
#include "ui/string_format.h"
#include "ui/thread.h"

namespace {

// Pause after dropping a connection before the next one is opened.
constexpr DWORD RECONNECT_PAUSE_MS = 100;
constexpr unsigned char EOM_BYTE = 0x19;  // ends the connection, as DLE does
// The longest the end of a connection waits for its receive thread.
constexpr DWORD END_WAIT_MS = 2000;

struct TlsStart {
    SOCKET hSocket;
    SSL_SESSION hSession;
};

unsigned TlsStartProc(void* pParam)
{
    auto* pStart = static_cast<TlsStart*>(pParam);
    pStart->hSession = SSL_StartUp(&pStart->hSocket);
    return 0;
}

// The handshake runs on a thread of its own while this one waits for it handling sent
// messages; the wait is bounded by the library's own handshake limit. Without a thread the
// handshake runs here, as before.
SSL_SESSION StartTls(SOCKET* pSocket)
{
    TlsStart start = {*pSocket, 0};
    HANDLE hThread = AfxBeginThread(TlsStartProc, &start);
    if (hThread == nullptr)
        return SSL_StartUp(pSocket);
    WaitHandlingSentMessages(hThread, INFINITE);
    CloseHandle(hThread);
    *pSocket = start.hSocket;
    return start.hSession;
}

} // namespace

CFrameDispatcher::CFrameDispatcher(IRelayOwner* pOwner)
    : m_pOwner(pOwner), m_szHostAddr{}, m_nHostPort(0),
      m_dwConnectTimeoutMs(CONNECT_TIMEOUT_DEFAULT_S * 1000), m_hSocket(0), m_hSslSession(0),
      m_pHostConn(nullptr)
{
    InitializeCriticalSection(&m_csHost);
}

CFrameDispatcher::~CFrameDispatcher()
{
    EndHostConnection();  // normally done at the owner's WM_DESTROY already
    // Detached threads get one more bounded wait; one still running after it is left with
    // its object (it calls nothing back once detached) as the process ends.
    const DWORD dwStart = GetTickCount();
    for (CHostConnection* pConn : m_detached) {
        const DWORD dwElapsed = GetTickCount() - dwStart;
        pConn->Join(dwElapsed >= END_WAIT_MS ? 0 : END_WAIT_MS - dwElapsed);
    }
    ReapDetached();
    DeleteCriticalSection(&m_csHost);
}

void CFrameDispatcher::SetHostPolicy(int nConnectTimeoutS, const HostAllowList& allowHosts)
{
    m_dwConnectTimeoutMs = static_cast<DWORD>(nConnectTimeoutS) * 1000;
    m_allowHosts = allowHosts;
}

void CFrameDispatcher::OnFrame(const unsigned char* pBurst, int nCount)
{
    // Frames the terminal wrote without a pause arrive as one burst: each is handled (and
    // logged) on its own, in order, where the first one's end is known (frame_split.h).
    while (nCount > 0) {
        const int nFrame = FirstFrameLength(pBurst, nCount);
        HandleFrame(pBurst, nFrame);
        pBurst += nFrame;
        nCount -= nFrame;
    }
}

void CFrameDispatcher::HandleFrame(const unsigned char* pFrame, int nCount)
{
    RelayHealth::CountBlock(HEALTH_TERMINAL_FRAMES, nCount);
    m_LogRecord.nKind = LOG_CAT_TO_VAN;
    m_LogRecord.strText = BlockText(pFrame, nCount);
    m_pOwner->RequestTrayPicture(static_cast<UINT>(ICON_IDLE));
    m_pOwner->SendLogRecord(m_LogRecord, static_cast<WPARAM>(nCount));

    if (IsConnectRequest(pFrame, nCount))
        ConnectFromRequest(pFrame, nCount);
    else
        ForwardToHost(pFrame, nCount);
}

void CFrameDispatcher::ConnectFromRequest(const unsigned char* pFrame, int nCount)
{
    // The old connection goes first, even when this request then fails the digit test.
    if (HasHostConnection()) {
        EndHostConnection();
        PauseHandlingSentMessages(RECONNECT_PAUSE_MS);
    }

    ConnectTarget target;
    if (!ParseConnectRequest(pFrame, nCount, &target))
        return;
    std::memcpy(m_szHostAddr, target.szHostAddr, sizeof(m_szHostAddr));
    m_nHostPort = target.nHostPort;

    // A connection that ended on its own may still be waiting to be reaped.
    EndHostConnection();

    if (!m_allowHosts.Allows(m_szHostAddr, m_nHostPort)) {
        LogStatus(ICON_IDLE, StringPrintf("#3 접속거부 %s:%d", m_szHostAddr, m_nHostPort));
        RelayHealth::Count(HEALTH_CONNECT_REFUSED_3);
        return;
    }

    const INT_PTR nResult = ConnectHost(m_szHostAddr, m_nHostPort, m_dwConnectTimeoutMs);
    if (nResult <= 0) {
        LogStatus(ICON_IDLE, StringPrintf("#1 접속오류!![%d] %s:%d", static_cast<int>(nResult),
                                          m_szHostAddr, m_nHostPort));
        EventLog::Report(EventLog::ConnectFailed(m_szHostAddr, m_nHostPort, nResult));
        RelayHealth::Count(HEALTH_CONNECT_ERRORS_1);
        SetHostHandles(0, 0);
        return;
    }
    SOCKET hSocket = static_cast<SOCKET>(nResult);
    SSL_SESSION hSession = 0;
    if (target.bSsl) {
        hSession = StartTls(&hSocket);
        if (hSession == 0) {
            LogStatus(ICON_IDLE, StringPrintf("#2 접속오류!! %s:%d", m_szHostAddr, m_nHostPort));
            EventLog::Report(EventLog::TlsStartFailed(m_szHostAddr, m_nHostPort));
            RelayHealth::Count(HEALTH_CONNECT_ERRORS_2);
            closesocket(hSocket);
            SetHostHandles(0, 0);
            return;
        }
    }

    CHostConnection* pConn = new CHostConnection(hSocket, hSession, this);
    m_strConnTarget = StringPrintf("%s:%d", m_szHostAddr, m_nHostPort);
    EnterCriticalSection(&m_csHost);
    m_pHostConn = pConn;
    LeaveCriticalSection(&m_csHost);
    SetHostHandles(hSocket, hSession);
    LogStatus(ICON_TRAFFIC, StringPrintf("접속 %s:%d", m_szHostAddr, m_nHostPort));
    RelayHealth::Served(target.bSsl);
    if (!pConn->Start()) {
        // Nobody would receive the host's answers: end the connection rather than leave it
        // open and deaf.
        EndHostConnection();
        m_pOwner->SetTrayPicture(static_cast<UINT>(ICON_IDLE));
    }
}

void CFrameDispatcher::ForwardToHost(const unsigned char* pFrame, int nCount)
{
    EnterCriticalSection(&m_csHost);
    CHostConnection* pConn = m_hSocket != 0 ? m_pHostConn : nullptr;
    LeaveCriticalSection(&m_csHost);
    if (pConn == nullptr)
        return;  // without a connection a frame is only logged
    switch (RouteFrame(pFrame[0])) {
    case ROUTE_CLOSE:
        RelayHealth::Count(pFrame[0] == EOM_BYTE ? HEALTH_ENDED_BY_EOM : HEALTH_ENDED_BY_DLE);
        // The receive thread wakes at once, sends close_notify on a TLS connection, closes
        // the socket and clears the handles; the host sees the close now.
        EndHostConnection();
        return;
    case ROUTE_NONE:
        return;
    case ROUTE_SEND:
        // Through the session on a TLS connection, whatever the first byte.
        pConn->Send(pFrame, nCount, true);
        break;
    }
    // A send that timed out (the host stopped reading) or failed leaves the stream cut inside
    // a frame: end the connection as DLE does, instead of blocking on it frame after frame.
    if (pConn->SendFailed()) {
        RelayHealth::Count(HEALTH_ENDED_BY_SEND);
        EndHostConnection();
    }
}

bool CFrameDispatcher::HasHostConnection()
{
    EnterCriticalSection(&m_csHost);
    const bool bAny = m_hSocket != 0 || m_hSslSession != 0;
    LeaveCriticalSection(&m_csHost);
    return bAny;
}

HostLink CFrameDispatcher::Link()
{
    EnterCriticalSection(&m_csHost);
    const HostLink link = m_hSocket == 0 ? HostLink::None
                          : m_hSslSession != 0 ? HostLink::Tls
                                               : HostLink::Plain;
    LeaveCriticalSection(&m_csHost);
    return link;
}

void CFrameDispatcher::SetHostHandles(SOCKET hSocket, SSL_SESSION hSession)
{
    EnterCriticalSection(&m_csHost);
    m_hSocket = hSocket;
    m_hSslSession = hSession;
    LeaveCriticalSection(&m_csHost);
}

void CFrameDispatcher::EndHostConnection()
{
    EnterCriticalSection(&m_csHost);
    CHostConnection* pConn = m_pHostConn;
    LeaveCriticalSection(&m_csHost);
    if (pConn == nullptr) {
        ReapDetached();
        return;
    }
    // Wake the receive thread and wait for its clean-up, handling the log and tray messages
    // it may be sending to this thread meanwhile; only then is the object (and the socket
    // value it owned) gone. A thread that has not ended within END_WAIT_MS is detached: it
    // writes and logs nothing more, and its object stays until it has ended.
    pConn->Stop();
    const bool bEnded = pConn->Join(END_WAIT_MS);
    if (!bEnded)
        pConn->Detach();
    EnterCriticalSection(&m_csHost);
    m_pHostConn = nullptr;
    m_hSocket = 0;
    m_hSslSession = 0;
    LeaveCriticalSection(&m_csHost);
    if (bEnded) {
        delete pConn;
    } else {
        m_detached.push_back(pConn);
        LogStatus(ICON_IDLE, "수신 종료 지연, 분리함 " + m_strConnTarget);
    }
    ReapDetached();
}

void CFrameDispatcher::ReapDetached()
{
    for (size_t i = 0; i < m_detached.size();) {
        if (m_detached[i]->HasEnded()) {
            delete m_detached[i];
            m_detached.erase(m_detached.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void CFrameDispatcher::StopHostConnection()
{
    EnterCriticalSection(&m_csHost);
    CHostConnection* pConn = m_pHostConn;
    LeaveCriticalSection(&m_csHost);
    if (pConn != nullptr)
        pConn->Stop();
}

void CFrameDispatcher::LogStatus(UINT nIconId, const std::string& strText)
{
    // The picture first (in turn, without waiting for the shell), then the line.
    m_pOwner->SetTrayPicture(nIconId);
    m_LogRecord.nKind = LOG_STATUS;
    m_LogRecord.strText = strText;
    m_pOwner->SendLogRecord(m_LogRecord, 0);
}

void CFrameDispatcher::OnHostData(CHostConnection* pConn, const unsigned char* pBytes,
                                  int nCount)
{
    ForwardToTerminal(pConn, pBytes, nCount);
}

int CFrameDispatcher::ForwardToTerminal(CHostConnection* pConn, const unsigned char* pBytes,
                                        int nCount)
{
    if (pConn->Detached())
        return 0;
    // The terminal gets the bytes before the log window formats them. A connection being
    // ended does not wait for the terminal: the write gives up when hAbort is set.
    m_pOwner->WriteTerminal(pBytes, nCount, pConn->StopEvent());
    // Detached meanwhile: the stop came first, so the write gave up; nothing is logged.
    if (pConn->Detached())
        return 0;
    LogRecord record;  // this thread's own record
    record.nKind = LOG_VAN_TO_CAT;
    RelayHealth::CountBlock(HEALTH_HOST_BLOCKS, nCount);
    record.strText = BlockText(pBytes, nCount);
    m_pOwner->RequestTrayPicture(static_cast<UINT>(ICON_TRAFFIC));
    m_pOwner->SendLogRecord(record, static_cast<WPARAM>(nCount));
    return 1;
}

void CFrameDispatcher::OnHostEnded(CHostConnection* pConn)
{
    if (WaitForSingleObject(pConn->StopEvent(), 0) != WAIT_OBJECT_0)  // not ended by us
        RelayHealth::Count(HEALTH_ENDED_BY_HOST);
    // Clear the shared handles only while they still describe this thread's connection; a
    // detached thread touches nothing. The picture is asked for without waiting on the shell.
    EnterCriticalSection(&m_csHost);
    const bool bCurrent = m_pHostConn == pConn;
    if (bCurrent) {
        m_hSocket = 0;
        m_hSslSession = 0;
    }
    LeaveCriticalSection(&m_csHost);
    if (bCurrent)
        m_pOwner->SetTrayPicture(static_cast<UINT>(ICON_IDLE));
}
