// The five exported operations: thin wrappers that check their arguments, find the session
// in the table (never trusting a handle as a pointer) and hand over to CTlsSession. The
// contract they keep is written in ssllib32.h.
#include "ssl/ssllib32.h"

#include "ssl/session_table.h"
#include "ssl/settings_source.h"
#include "ssl/tls_session.h"

SSL_SESSION SSLAPI SSL_StartUp(SOCKET* pSocket) {
    if (!pSocket) return 0;
    const SOCKET s = *pSocket;
    if (s == 0 || s == INVALID_SOCKET) return 0;
    std::shared_ptr<CTlsSession> session = CTlsSession::Start(s, LoadTrustSettings());
    return session ? RegisterSession(std::move(session)) : 0;
}

int SSLAPI SSL_SendData(SSL_SESSION hSession, const char* pData, int nLength) {
    std::shared_ptr<CTlsSession> session = FindSession(hSession);
    return session ? session->Send(pData, nLength) : -1;
}

int SSLAPI SSL_RecvData(SSL_SESSION hSession, char* pBuffer, int nCapacity) {
    std::shared_ptr<CTlsSession> session = FindSession(hSession);
    return session ? session->Recv(pBuffer, nCapacity) : -1;
}

int SSLAPI SSL_SelectTimeOut(SOCKET hSocket, int nSeconds) {
    if (hSocket == 0 || hSocket == INVALID_SOCKET) return 0;
    std::shared_ptr<CTlsSession> session = FindSessionBySocket(hSocket);
    // The connection check costs two calls into the platform: a limit of 0 (asked before
    // every wait) makes it only when the session holds something to answer with.
    if (session && (nSeconds > 0 || session->HasBufferedData()) &&
        session->IsSameConnection(hSocket)) {
        session->SetWaitLimit(nSeconds);  // also bounds SSL_RecvData's own waits
        if (session->HasBufferedData()) return 1;
    }

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(hSocket, &readable);
    timeval limit{nSeconds > 0 ? nSeconds : 0, 0};
    if (select(0, &readable, nullptr, nullptr, &limit) <= 0) return 0;
    // Readable means data or the end of the connection: a 1-byte peek tells them apart.
    char byte;
    return recv(hSocket, &byte, 1, MSG_PEEK) > 0 ? 1 : 0;
}

int SSLAPI SSL_Close(SSL_SESSION hSession, SOCKET hSocket) {
    std::shared_ptr<CTlsSession> session = TakeSession(hSession);
    if (session) {
        // close_notify only on the session's own, still-open connection: a socket value
        // given here may already belong to a newer connection.
        bool notify = hSocket != 0 && hSocket != INVALID_SOCKET &&
                      hSocket == session->Socket() && session->IsSameConnection(hSocket);
        session->Close(notify);
    }
    if (hSocket != 0 && hSocket != INVALID_SOCKET) closesocket(hSocket);
    return session ? 1 : 0;
}
