// The frame dispatcher: the main window's handler of WM_COMM_RXCHAR, the heart of the relay.
//
// The serial watch thread sends WM_COMM_RXCHAR synchronously and waits, so the burst in
// m_Comm.m_abRxBuf is stable until this returns; the handler works on a copy and never
// touches the serial buffer again. Every frame is logged first. A connect request drops the
// old connection and opens the one it names (TLS or plain) with its receive thread; any
// other frame goes to the host by its first byte; DLE and EOM end the connection.
//
// Runs on the UI thread. m_hSocket, m_hSslSession and m_pHostConn are written here and, for
// the first two, cleared by the receive thread's OnHostEnded; both sides take m_csHost.
#include <cstring>

#include "app/converter_dlg.h"
#include "log/log_record.h"
#include "relay/connect_request.h"
#include "relay/frame_route.h"
#include "relay/host_connection.h"
#include "res/resource.h"
#include "ui/string_format.h"

namespace {

// Pause after dropping a connection before the next one is opened.
constexpr DWORD RECONNECT_PAUSE_MS = 100;

} // namespace

LRESULT CConverterDlg::OnCommRxChar(WPARAM wParam, LPARAM)
{
    // The count comes with the message; a stray message must not make the copy overrun.
    const int nCount = wParam > static_cast<WPARAM>(COMM_RX_BUFFER)
                           ? COMM_RX_BUFFER
                           : static_cast<int>(wParam);
    if (nCount <= 0)
        return 0;
    unsigned char abFrame[COMM_RX_BUFFER];
    std::memset(abFrame, 0, sizeof(abFrame));
    std::memcpy(abFrame, m_Comm.m_abRxBuf, static_cast<size_t>(nCount));

    m_LogRecord.nKind = LOG_CAT_TO_VAN;
    m_LogRecord.strText = BlockText(abFrame, nCount);
    m_trayIcon.SetIcon(static_cast<UINT>(ICON_IDLE));
    SendLogRecord(m_LogRecord, static_cast<WPARAM>(nCount));

    if (IsConnectRequest(abFrame, nCount))
        ConnectFromRequest(abFrame, nCount);
    else
        ForwardToHost(abFrame, nCount);
    return 0;
}

void CConverterDlg::ConnectFromRequest(const unsigned char* pFrame, int nCount)
{
    // The old connection goes first, even when this request then fails the digit test.
    if (HasHostConnection()) {
        EndHostConnection();
        Sleep(RECONNECT_PAUSE_MS);
    }

    ConnectTarget target;
    if (!ParseConnectRequest(pFrame, nCount, &target))
        return;
    std::memcpy(m_szHostAddr, target.szHostAddr, sizeof(m_szHostAddr));
    m_nHostPort = target.nHostPort;

    // A connection that ended on its own may still be waiting to be reaped.
    EndHostConnection();

    const INT_PTR nResult = ConnectHost(m_szHostAddr, m_nHostPort);
    if (nResult <= 0) {
        LogStatus(StringPrintf("#1 접속오류!![%d] %s:%d", static_cast<int>(nResult), m_szHostAddr,
                             m_nHostPort));
        m_trayIcon.SetIcon(static_cast<UINT>(ICON_IDLE));
        SetHostHandles(0, 0);
        return;
    }
    SOCKET hSocket = static_cast<SOCKET>(nResult);
    SSL_SESSION hSession = 0;
    if (target.bSsl) {
        hSession = SSL_StartUp(&hSocket);
        if (hSession == 0) {
            LogStatus(StringPrintf("#2 접속오류!! %s:%d", m_szHostAddr, m_nHostPort));
            m_trayIcon.SetIcon(static_cast<UINT>(ICON_IDLE));
            closesocket(hSocket);
            SetHostHandles(0, 0);
            return;
        }
    }

    m_pHostConn = new CHostConnection(hSocket, hSession, this);
    SetHostHandles(hSocket, hSession);
    LogStatus(StringPrintf("접속 %s:%d", m_szHostAddr, m_nHostPort));
    m_trayIcon.SetIcon(static_cast<UINT>(ICON_TRAFFIC));
    if (!m_pHostConn->Start()) {
        // Nobody would receive the host's answers: end the connection rather than leave it
        // open and deaf.
        EndHostConnection();
        m_trayIcon.SetIcon(static_cast<UINT>(ICON_IDLE));
    }
}

void CConverterDlg::ForwardToHost(const unsigned char* pFrame, int nCount)
{
    if (!HasHostSocket())
        return;
    switch (RouteFrame(pFrame[0])) {
    case ROUTE_CLOSE:
        // Wake the receive thread; it releases the session and the socket. The host sees
        // the connection close now.
        m_pHostConn->Shutdown();
        EnterCriticalSection(&m_csHost);
        m_hSocket = 0;
        LeaveCriticalSection(&m_csHost);
        break;
    case ROUTE_NONE:
        break;
    case ROUTE_SESSION_OR_PLAIN:
        m_pHostConn->Send(pFrame, nCount, true);
        break;
    case ROUTE_PLAIN:
        m_pHostConn->Send(pFrame, nCount, false);
        break;
    }
}

bool CConverterDlg::HasHostConnection()
{
    EnterCriticalSection(&m_csHost);
    const bool bAny = m_hSocket != 0 || m_hSslSession != 0;
    LeaveCriticalSection(&m_csHost);
    return bAny;
}

bool CConverterDlg::HasHostSocket()
{
    EnterCriticalSection(&m_csHost);
    const bool bSocket = m_hSocket != 0 && m_pHostConn != nullptr;
    LeaveCriticalSection(&m_csHost);
    return bSocket;
}

void CConverterDlg::SetHostHandles(SOCKET hSocket, INT_PTR hSession)
{
    EnterCriticalSection(&m_csHost);
    m_hSocket = hSocket;
    m_hSslSession = hSession;
    LeaveCriticalSection(&m_csHost);
}

void CConverterDlg::EndHostConnection()
{
    if (!m_pHostConn)
        return;
    // Wake the receive thread and wait for its clean-up, handling the log and tray messages
    // it may be sending to this thread meanwhile; only then is the object (and the socket
    // value it owned) gone.
    m_pHostConn->Shutdown();
    m_pHostConn->Join(INFINITE);
    EnterCriticalSection(&m_csHost);
    CHostConnection* pConn = m_pHostConn;
    m_pHostConn = nullptr;
    m_hSocket = 0;
    m_hSslSession = 0;
    LeaveCriticalSection(&m_csHost);
    delete pConn;
}

void CConverterDlg::OnHostData(CHostConnection*, const unsigned char* pBytes, int nCount)
{
    ForwardToTerminal(pBytes, nCount);
}

int CConverterDlg::ForwardToTerminal(const unsigned char* pBytes, int nCount)
{
    // The terminal gets the bytes before the log window formats them.
    m_Comm.WritePort(pBytes, nCount);
    LogRecord record;  // this thread's own record
    record.nKind = LOG_VAN_TO_CAT;
    record.strText = BlockText(pBytes, nCount);
    m_trayIcon.SetIcon(static_cast<UINT>(ICON_TRAFFIC));
    SendLogRecord(record, static_cast<WPARAM>(nCount));
    return 1;
}

void CConverterDlg::OnHostEnded(CHostConnection* pConn)
{
    m_trayIcon.SetIcon(static_cast<UINT>(ICON_IDLE));
    // Clear the shared handles only while they still describe this thread's connection.
    EnterCriticalSection(&m_csHost);
    if (m_pHostConn == pConn) {
        m_hSocket = 0;
        m_hSslSession = 0;
    }
    LeaveCriticalSection(&m_csHost);
}
