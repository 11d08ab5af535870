// The frame dispatcher: what the relay does with each burst the terminal sends.
//
// The main window's WM_COMM_RXCHAR handler copies the burst out of the serial buffer and hands
// the copy to OnFrame, on the user-interface thread, while the serial watch thread waits. Every
// frame is logged first (a burst holding frames written without a pause is cut into them, see
// frame_split.h). A connect request drops the old connection and opens the one it names (TLS
// or plain) with its receive thread; any other frame goes to the host (through the session on
// a TLS connection); DLE and EOM end the connection, and so does a send that fails (a host
// that stopped reading).
// A request for a host outside [RELAY] AllowHosts is refused ("#3") as a request with bad
// digits is: the old connection is dropped, no new one made. The connect is bounded by
// [RELAY] ConnectTimeout.
//
// The dispatcher owns the connection state. What it needs of its owner (the main window) comes
// through IRelayOwner: log records, the tray picture and writes to the terminal.
//
// Threads. OnFrame, EndHostConnection and the destructor run on the user-interface thread. The
// receive thread calls back through IHostEvents: it writes to the terminal, logs with a record
// of its own, sets the tray picture, and at its end clears m_hSocket/m_hSslSession under
// m_csHost, only while they still describe its own connection. Every end of a connection made
// by this thread waits for the receive thread's clean-up (handling the messages it sends
// meanwhile) before the connection object goes, so an old thread never touches a newer one.
// The stop also gives up the receive thread's terminal write in progress (see
// host_connection.h), so that wait is normally short.
//
// Every wait of the calling thread, and its bound (each one handles sent messages; the owner
// must not start a modal loop nor run another frame from one: it queues them until the
// dispatcher has returned):
//  - the connect: [RELAY] ConnectTimeout (10 s by default);
//  - the TLS handshake, run on a thread of its own: the library's handshake limit;
//  - the pause between ending a connection and opening the next: RECONNECT_PAUSE_MS (100 ms);
//  - the end of a connection: END_WAIT_MS (2 s) for its receive thread. A thread still
//    running then is detached with one status line: it never writes to the terminal, logs or
//    sets the tray picture again, so a new connection's bytes never mix with its; its object
//    and handles stay on m_detached until it has ended and are released at the next end of a
//    connection (or at Exit, after one more wait of at most END_WAIT_MS);
//  - a send to the host (not handling messages): HOST_SEND_TIMEOUT_MS (2 s).
// Nothing here waits for the shell: tray pictures are only requested.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "log/log_record.h"
#include "relay/connect_request.h"
#include "relay/host_connection.h"
#include "relay/relay_config.h"

// What the dispatcher and its receive threads need of the window that owns them.
class IRelayOwner {
public:
    // Hands the record to the transaction log and returns once it has been rendered. Called on
    // the user-interface thread and on receive threads, each with a record of its own.
    virtual void SendLogRecord(LogRecord& record, WPARAM wCount) const = 0;
    // Shows tray picture 131 (idle) or 132 (traffic) after every picture asked for before it,
    // without waiting for the shell. Any thread.
    virtual void SetTrayPicture(UINT nIconId) = 0;
    // The same without waiting for the shell: the picture is shown soon after, and of several
    // asked for in a row the last. Per block, where the shell's time would be paid per block.
    virtual void RequestTrayPicture(UINT nIconId) = 0;
    // Writes host bytes to the terminal, giving up (the rest dropped) once hAbort is set.
    // Receive threads only.
    virtual void WriteTerminal(const unsigned char* pBytes, int nCount, HANDLE hAbort) = 0;

protected:
    ~IRelayOwner() = default;
};

// The connection states of the dispatcher's table.
enum class HostLink {
    None,   // no connection (never made, connect failed, closed by DLE/EOM, ended by the host)
    Plain,  // plain TCP with its receive thread
    Tls,    // TLS session with its receive thread
};

class CFrameDispatcher : private IHostEvents {
public:
    explicit CFrameDispatcher(IRelayOwner* pOwner);
    ~CFrameDispatcher();  // ends any connection and waits for its receive thread
    CFrameDispatcher(const CFrameDispatcher&) = delete;
    CFrameDispatcher& operator=(const CFrameDispatcher&) = delete;

    // The connect's time limit and the hosts a request may name ([RELAY] settings). UI
    // thread, before the first frame; until then 10 s and any host.
    void SetHostPolicy(int nConnectTimeoutS, const HostAllowList& allowHosts);

    // One burst from the terminal: 1 to COMM_RX_BUFFER bytes, the caller's copy, handled as
    // one frame or, where frames were glued together, as several in order. UI thread.
    void OnFrame(const unsigned char* pBurst, int nCount);

    // Ends the connection, if any, and waits at most 2 s for its receive thread (handling sent
    // messages), detaching it after that; releases detached threads that have ended. UI
    // thread; the main window calls it at Exit, after the serial port has stopped.
    void EndHostConnection();
    // Wakes the receive thread of the connection, if any (its terminal write gives up), and
    // returns without waiting; EndHostConnection still follows. UI thread, at Exit.
    void StopHostConnection();

    // The state now: a connection counts until its receive thread has cleared the handles.
    HostLink Link();

    // Host address and port of the last connect request that passed the digit test. UI thread.
    const char* HostAddr() const { return m_szHostAddr; }
    int HostPort() const { return m_nHostPort; }

private:
    void HandleFrame(const unsigned char* pFrame, int nCount);
    void ConnectFromRequest(const unsigned char* pFrame, int nCount);
    void ForwardToHost(const unsigned char* pFrame, int nCount);
    bool HasHostConnection();
    void SetHostHandles(SOCKET hSocket, SSL_SESSION hSession);
    void ReapDetached();  // deletes the detached connections whose thread has ended
    void LogStatus(UINT nIconId, const std::string& strText);
    // Host bytes to the terminal, then to the log, unless pConn is detached. Receive thread.
    int ForwardToTerminal(CHostConnection* pConn, const unsigned char* pBytes, int nCount);
    // IHostEvents, on the receive thread.
    void OnHostData(CHostConnection* pConn, const unsigned char* pBytes, int nCount) override;
    void OnHostEnded(CHostConnection* pConn) override;

    IRelayOwner* const m_pOwner;
    char m_szHostAddr[HOST_ADDR_SIZE];  // UI thread: host address of the last connect request
    int m_nHostPort;                    // UI thread: host port of the last connect request
    DWORD m_dwConnectTimeoutMs;         // UI thread: the connect's limit
    HostAllowList m_allowHosts;         // UI thread: hosts a connect request may name
    SOCKET m_hSocket;                   // under m_csHost: the connected socket, 0 when none
    SSL_SESSION m_hSslSession;          // under m_csHost: the TLS session, 0 when none
    LogRecord m_LogRecord;              // the user-interface thread's own record
    // Created, ended and deleted by the UI thread; the receive thread only reports.
    CHostConnection* m_pHostConn;
    CRITICAL_SECTION m_csHost;          // m_hSocket, m_hSslSession, m_pHostConn vs OnHostEnded
    // UI thread: ended connections whose receive thread outlived the wait; each is deleted
    // once its thread has ended, never before.
    std::vector<CHostConnection*> m_detached;
    std::string m_strConnTarget;  // UI thread: "address:port" of m_pHostConn, for its lines
};
