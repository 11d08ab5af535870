// One connection to the payment host: its socket, its TLS session (if any) and the receive
// thread that copies what the host sends towards the terminal.
//
// Windows reuses socket values at once, so a connection is an object of its own rather than a
// pair of handle values compared later. Ownership, once the receive thread has started:
//  - the UI thread creates the connection, sends through it, and ends it with Shutdown, which
//    wakes the receive thread without freeing the socket value; it then Joins the thread
//    (handling messages sent to its windows meanwhile) before it deletes the object;
//  - the receive thread is the one party that releases the session (SSL_Close) and closes the
//    socket, after its wait or read has failed.
// Before the thread has started (or if it could not start) the destructor releases both.
// Send, Shutdown and the release take m_csLink, so nothing is sent through a released session
// and the socket value is never used after it was closed.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "ssl/ssllib32.h"

class CHostConnection;

// What the receive thread reports. Both calls arrive on the receive thread.
class IHostEvents {
public:
    // Host bytes, 1 to HOST_READ_SIZE of them, in the thread's own buffer.
    virtual void OnHostData(CHostConnection* pConn, const unsigned char* pBytes, int nCount) = 0;
    // The wait or read failed; the session and socket are released right after this returns.
    virtual void OnHostEnded(CHostConnection* pConn) = 0;

protected:
    ~IHostEvents() = default;
};

constexpr int HOST_READ_SIZE = 4096;
constexpr int HOST_SELECT_LIMIT = 15;  // seconds of silence before the connection is ended

// Connects a new stream socket to the dotted IPv4 address and port. Returns the socket (> 0),
// -1 when no socket could be created, -2 when the connection failed (no socket left open).
INT_PTR ConnectHost(const char* pszHostAddr, int nHostPort);

class CHostConnection {
public:
    // Takes ownership of a connected socket and of its session (0 for a plain connection).
    CHostConnection(SOCKET hSocket, SSL_SESSION hSession, IHostEvents* pEvents);
    ~CHostConnection();  // the receive thread must have ended (Join) if it was started
    CHostConnection(const CHostConnection&) = delete;
    CHostConnection& operator=(const CHostConnection&) = delete;

    // Starts the receive thread matching the connection (TLS or plain). False if it could not.
    bool Start();

    // Sends the whole buffer in one call: through the session when bThroughSession and one
    // exists, otherwise on the plain socket. Returns the sender's result, or -1 once released.
    int Send(const void* pBytes, int nLength, bool bThroughSession);

    // Wakes the receive thread: its wait or read fails and it releases the connection.
    void Shutdown();

    // Waits for the receive thread to end, handling sent messages. True once it has ended (or
    // was never started).
    bool Join(DWORD dwTimeoutMs);

    SOCKET Socket() const { return m_hSocket; }
    SSL_SESSION Session() const { return m_hSession; }

private:
    static unsigned SslRecvProc(void* pParam);
    static unsigned TcpRecvProc(void* pParam);
    void ReceiveLoop(bool bSsl);
    void Release();

    const SOCKET m_hSocket;        // fixed at construction
    const SSL_SESSION m_hSession;  // fixed at construction; 0 for plain
    IHostEvents* const m_pEvents;
    HANDLE m_hThread = nullptr;    // written by the UI thread in Start, closed in the destructor
    CRITICAL_SECTION m_csLink;     // guards m_bReleased and every use of the socket by Send/Shutdown
    bool m_bReleased = false;      // set once the session is closed and the socket released
};
