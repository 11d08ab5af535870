// One connection to the payment host: its socket, its TLS session (if any) and the receive
// thread that copies what the host sends towards the terminal.
//
// Windows reuses socket values at once, so a connection is an object of its own rather than a
// pair of handle values compared later. Ownership, once the receive thread has started:
//  - the UI thread creates the connection, sends through it, and ends it with Stop, which
//    wakes the receive thread without freeing anything; it then Joins the thread (handling
//    messages sent to its windows meanwhile) before it deletes the object;
//  - the receive thread is the one party that releases the session (SSL_Close, which sends
//    close_notify before the socket goes) and closes the socket, once it has seen the stop,
//    the end of the connection, a failed read or the 15 s silence.
// Before the thread has started (or if it could not start) the destructor releases both.
//
// How the stop wakes the thread at once. A local shutdown() does not end a select() or recv()
// blocked in another thread while the peer keeps its side open (Wine; not reliably on Windows
// either), so the thread never blocks on the socket alone. It waits on two events: the stop
// event (m_hStop) and the completion of a zero-byte overlapped receive, which completes when
// data or the end of the connection arrives and consumes nothing; the socket stays in blocking
// mode for whoever reads it next (our recv, or the TLS library's). A thread already inside a
// blocking read (SSL_RecvData waiting for the rest of a record) is reached by cancelling the
// socket's pending I/O, under m_csLink and only while the socket is still this connection's:
// cancelling frees nothing, so no socket value is used after it was closed. Join repeats the
// cancel while it waits, for a read that began just after the first one, and after
// CANCEL_GRACE_MS also shuts the socket down (a cancel can be lost: docs/wine-findings.md),
// which ends a pending receive at once and fails every later one. The receive thread bounds
// its own wait for a cancelled receive the same way. Join's caller bounds the whole wait
// (the dispatcher: 2 s) and keeps a thread that outlasts it alive until it has ended.
//
// Sends are bounded: ConnectHost gives every socket a send time-out (also for the TLS
// library's handshake and close_notify), so a host that stops reading blocks the UI thread at
// most that long; a send that fails marks the connection failed, and its owner ends it.
//
// The connect itself is bounded too (ConnectHost's limit, from [RELAY] ConnectTimeout): it
// runs on the UI thread, which handles the messages sent to its windows while it waits.
//
// Ending a connection never waits for a serial write: the receive thread hands the stop event
// to the terminal write (IHostEvents::OnHostData gives it to its owner), which gives up the
// moment the event is set; host bytes not yet written are dropped with the connection. After
// a stop, the close_notify send is limited to STOPPED_SEND_TIMEOUT_MS. So every wait of the
// receive thread ends soon after Stop, and Join's wait is short.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "ssl/ssllib32.h"

class CHostConnection;

// What the receive thread reports. Both calls arrive on the receive thread.
class IHostEvents {
public:
    // Host bytes, 1 to HOST_READ_SIZE of them, in the thread's own buffer.
    virtual void OnHostData(CHostConnection* pConn, const unsigned char* pBytes, int nCount) = 0;
    // The wait or read failed or the connection was stopped; the session and socket are
    // released right after this returns.
    virtual void OnHostEnded(CHostConnection* pConn) = 0;

protected:
    ~IHostEvents() = default;
};

constexpr int HOST_READ_SIZE = 4096;
constexpr int HOST_SELECT_LIMIT = 15;       // seconds of silence before the connection is ended
constexpr DWORD HOST_SEND_TIMEOUT_MS = 2000;  // longest a send may block on a host not reading
constexpr DWORD STOPPED_SEND_TIMEOUT_MS = 250;  // the close_notify's limit once stopped

// Connects a new stream socket to the dotted IPv4 address and port within dwTimeoutMs,
// handling messages sent to the calling thread's windows while it waits, and gives it the
// send time-out; the socket is left in blocking mode. Returns the socket (> 0), -1 when no
// socket could be created, -2 when the connection failed or did not complete in time (no
// socket left open).
INT_PTR ConnectHost(const char* pszHostAddr, int nHostPort, DWORD dwTimeoutMs);

class CHostConnection {
public:
    // Takes ownership of a connected socket and of its session (0 for a plain connection).
    CHostConnection(SOCKET hSocket, SSL_SESSION hSession, IHostEvents* pEvents);
    ~CHostConnection();  // the receive thread must have ended (Join) if it was started
    CHostConnection(const CHostConnection&) = delete;
    CHostConnection& operator=(const CHostConnection&) = delete;

    // Starts the receive thread matching the connection (TLS or plain). False if it could not
    // (or the stop event could not be made).
    bool Start();

    // Sends the whole buffer in one call: through the session when bThroughSession and one
    // exists, otherwise on the plain socket. Returns the sender's result, or -1 once released.
    // A send that does not go out whole marks the connection failed (SendFailed).
    int Send(const void* pBytes, int nLength, bool bThroughSession);
    bool SendFailed() const { return m_bSendFailed; }

    // Wakes the receive thread at once, wherever it waits: it releases the connection.
    void Stop();

    // Waits for the receive thread to end, handling sent messages. True once it has ended (or
    // was never started).
    bool Join(DWORD dwTimeoutMs);
    // True once the receive thread has ended (or was never started); no wait.
    bool HasEnded() const;
    // Marks a stopped connection whose thread outlived its owner's wait: its events are no
    // longer reported (the owner's callbacks ask Detached). UI thread, after Stop.
    void Detach() { m_bDetached = true; }
    bool Detached() const { return m_bDetached; }

    SOCKET Socket() const { return m_hSocket; }
    SSL_SESSION Session() const { return m_hSession; }
    // Set once the connection is being ended: a write on its behalf gives up when it is set.
    HANDLE StopEvent() const { return m_hStop; }

private:
    // Abandoned: a cancelled receive did not complete even after the socket was shut down;
    // its OVERLAPPED must stay alive.
    enum class WaitResult { Readable, Stopped, Silent, Failed, Abandoned };

    static unsigned SslRecvProc(void* pParam);
    static unsigned TcpRecvProc(void* pParam);
    void ReceiveLoop(bool bSsl);
    WaitResult WaitReadable(WSAOVERLAPPED* pOv);
    // Cancels the receive and waits, bounded, for its completion; false when it never came.
    bool FinishCancelledReceive(WSAOVERLAPPED* pOv);
    // Cancels the socket's pending I/O; bShutdown: shuts the socket down as well.
    void CancelPendingIo(bool bShutdown);
    void Release();

    const SOCKET m_hSocket;        // fixed at construction
    const SSL_SESSION m_hSession;  // fixed at construction; 0 for plain
    IHostEvents* const m_pEvents;
    HANDLE m_hStop;                // manual-reset; set by Stop, closed by the destructor
    HANDLE m_hThread = nullptr;    // written by the UI thread in Start, closed in the destructor
    CRITICAL_SECTION m_csLink;     // guards m_bReleased and every use of the socket by Send/Stop
    bool m_bReleased = false;      // set once the session is closed and the socket released
    bool m_bStopped = false;       // UI thread: Stop was called
    bool m_bSendFailed = false;    // under m_csLink: set by Send, read by Release
    std::atomic<bool> m_bDetached{false};  // set by the UI thread, read by the receive thread
};
