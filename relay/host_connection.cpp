#include "relay/host_connection.h"

#include <cstring>

#include "ui/thread.h"

INT_PTR ConnectHost(const char* pszHostAddr, int nHostPort)
{
    SOCKET hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (hSocket == INVALID_SOCKET)
        return -1;

    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(nHostPort));
    addr.sin_addr.s_addr = inet_addr(pszHostAddr);
    if (connect(hSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        closesocket(hSocket);
        return -2;
    }
    // Frames are whole messages sent in one call; never let a small one (an ACK) wait for
    // the acknowledgement of the one before.
    BOOL bNoDelay = TRUE;
    setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay),
               sizeof(bNoDelay));
    return static_cast<INT_PTR>(hSocket);
}

CHostConnection::CHostConnection(SOCKET hSocket, SSL_SESSION hSession, IHostEvents* pEvents)
    : m_hSocket(hSocket), m_hSession(hSession), m_pEvents(pEvents)
{
    InitializeCriticalSection(&m_csLink);
}

CHostConnection::~CHostConnection()
{
    if (m_hThread) {
        // Join has been called by the owner; a thread still running here would use freed
        // memory, so wait rather than risk it.
        WaitHandlingSentMessages(m_hThread, INFINITE);
        CloseHandle(m_hThread);
    }
    Release();
    DeleteCriticalSection(&m_csLink);
}

bool CHostConnection::Start()
{
    m_hThread = AfxBeginThread(m_hSession ? SslRecvProc : TcpRecvProc, this);
    return m_hThread != nullptr;
}

int CHostConnection::Send(const void* pBytes, int nLength, bool bThroughSession)
{
    EnterCriticalSection(&m_csLink);
    int nResult = -1;
    if (!m_bReleased) {
        if (bThroughSession && m_hSession)
            nResult = SSL_SendData(m_hSession, static_cast<const char*>(pBytes), nLength);
        else
            nResult = send(m_hSocket, static_cast<const char*>(pBytes), nLength, 0);
    }
    LeaveCriticalSection(&m_csLink);
    return nResult;
}

void CHostConnection::Shutdown()
{
    EnterCriticalSection(&m_csLink);
    if (!m_bReleased)
        shutdown(m_hSocket, SD_BOTH);
    LeaveCriticalSection(&m_csLink);
}

bool CHostConnection::Join(DWORD dwTimeoutMs)
{
    if (!m_hThread)
        return true;
    return WaitHandlingSentMessages(m_hThread, dwTimeoutMs) == WAIT_OBJECT_0;
}

void CHostConnection::Release()
{
    EnterCriticalSection(&m_csLink);
    if (!m_bReleased) {
        m_bReleased = true;
        if (m_hSession)
            SSL_Close(m_hSession, m_hSocket);  // closes the socket too
        else
            closesocket(m_hSocket);
    }
    LeaveCriticalSection(&m_csLink);
}

unsigned CHostConnection::SslRecvProc(void* pParam)
{
    static_cast<CHostConnection*>(pParam)->ReceiveLoop(true);
    return 0;
}

unsigned CHostConnection::TcpRecvProc(void* pParam)
{
    static_cast<CHostConnection*>(pParam)->ReceiveLoop(false);
    return 0;
}

void CHostConnection::ReceiveLoop(bool bSsl)
{
    unsigned char abBuffer[HOST_READ_SIZE];
    for (;;) {
        if (SSL_SelectTimeOut(m_hSocket, HOST_SELECT_LIMIT) == 0)
            break;
        memset(abBuffer, 0, sizeof(abBuffer));
        int nCount = bSsl ? SSL_RecvData(m_hSession, reinterpret_cast<char*>(abBuffer), HOST_READ_SIZE)
                          : recv(m_hSocket, reinterpret_cast<char*>(abBuffer), HOST_READ_SIZE, 0);
        if (nCount <= 0)
            break;
        m_pEvents->OnHostData(this, abBuffer, nCount);
    }
    m_pEvents->OnHostEnded(this);
    Release();
}
