// One TLS client session (Schannel through SSPI) over a socket the caller connected.
//
// Threads. A receive thread reads (Recv) while another thread sends (Send), and any thread
// may close (Close) or ask whether data is buffered (HasBufferedData). Three locks, always
// taken in this order, never the other way:
//   m_readLock   serialises readers; held across the blocking recv, and taken by nothing else,
//                so a blocked reader never holds up a sender, a closer or a waiter;
//   m_sendLock   serialises senders and Close; held across the blocking send, so records go
//                out whole and in the order they were encrypted, and nothing follows Close;
//   m_stateLock  short: the security context, the buffers and the flags below; never held
//                across a blocking call.
// The session object lives as long as anyone holds it (shared_ptr): Close releases the
// security context at once, and a reader that wakes afterwards finds m_bClosed and returns.
#pragma once
#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ssl/trust_config.h"

class CTlsSession {
public:
    // Handshake and server check on s; nullptr on failure, with the reason logged and the
    // socket left open with its receive time-out as it was.
    static std::shared_ptr<CTlsSession> Start(SOCKET s, const TrustSettings& settings);
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    int Send(const char* pData, int nLength);     // nLength or -1
    // >0 bytes, 0 peer closed, SSL_RECV_AGAIN nothing yet, other <0 error (ssllib32.h).
    int Recv(char* pBuffer, int nCapacity);
    // The longest a Recv waits on the socket, from the caller's wait limit (seconds > 0).
    void SetWaitLimit(int nSeconds);
    static constexpr int kDefaultWaitLimitSec = 15;
    static constexpr int kMaxWaitLimitSec = 24 * 3600;
    bool HasBufferedData();                       // plaintext, a whole record or an end held
    // Ends the session; sends close_notify first when bNotify. Safe to call twice.
    void Close(bool bNotify);

    SOCKET Socket() const { return m_hSocket; }
    // True when s is still the connection this session was started on (same local and peer
    // addresses): a socket value reused for a new connection is not.
    bool IsSameConnection(SOCKET s) const;

private:
    explicit CTlsSession(SOCKET s);
    // Before the session is shared: no lock. Fails once GetTickCount64() passes deadline.
    bool Handshake(ULONGLONG deadline, int nSeconds, std::string* why);
    bool SendAll(const char* p, std::size_t n);   // caller holds m_sendLock (or owns the session)
    enum class Step { Data, NeedMore, PeerClosed, PostHandshake, Failed };
    Step DecryptOne();                            // caller holds m_stateLock
    bool PostHandshakeMessage();                  // caller holds m_readLock only
    // Caller holds m_readLock only: bytes received (0: orderly end), or -1 and *error.
    int ReceiveWithin(DWORD timeoutMs, int* error);
    // Caller holds m_readLock: cancels the receive and waits, bounded, for its completion;
    // false when it never came (the socket has been shut down meanwhile).
    bool FinishCancelledReceive(WSAOVERLAPPED* ov);

    const SOCKET m_hSocket;             // set at construction, never changed
    sockaddr_in m_local{}, m_peer{};    // set by Start, read-only afterwards
    std::string m_strLogFile;           // set by Start, read-only afterwards
    std::vector<char> m_recvChunk;      // guarded by m_readLock: what one recv returned
    const HANDLE m_hRecvEvent;          // used by the reader alone (m_readLock), freed at the end
    std::unique_ptr<WSAOVERLAPPED> m_pRecvOv;  // guarded by m_readLock: the receive's
    bool m_bRecvAbandoned = false;      // guarded by m_readLock: a receive never completed
    std::atomic<DWORD> m_dwWaitLimitMs{kDefaultWaitLimitSec * 1000};  // any thread

    std::mutex m_readLock, m_sendLock, m_stateLock;
    // Guarded by m_stateLock:
    CredHandle m_cred{};
    CtxtHandle m_ctx{};
    bool m_bHaveCred = false, m_bHaveCtx = false;
    bool m_bClosed = false;             // set once by Close
    bool m_bPeerClosed = false;         // close_notify or FIN seen by a reader
    bool m_bFailed = false;             // a record failed: the next read answers -1
    SecPkgContext_StreamSizes m_sizes{};  // set by Start
    DWORD m_dwProtocol = 0;             // negotiated SP_PROT_* bit, set by Start
    std::vector<char> m_inbuf;          // received, not yet decrypted (front = oldest)
    std::string m_plain;                // decrypted, not yet handed out
};
