/* ssllib32.dll: the five TLS operations the relay imports, and the conventions a replacement
 * library must share with ours.
 *
 * Conventions (fixed here; a site's own ssllib32.dll can stand in for ours only if it follows
 * them):
 *  - Calling convention __stdcall on both architectures (on x86_64 there is only one).
 *    Exports carry the plain names (SSL_StartUp, ...), undecorated, on i686 too.
 *  - Widths: int is 32 bits on both architectures. SOCKET and SSL_SESSION are pointer-sized
 *    (32 bits on i686, 64 bits on x86_64); a caller must keep them in pointer-sized variables,
 *    never in a 32-bit int on 64-bit builds.
 *  - SSL_SelectTimeOut takes its limit in seconds (the relay passes 15). A limit of 0 (or
 *    less) answers at once: it counts what the library already holds for the session on that
 *    socket (plaintext, a whole undecrypted record, a close seen) and then polls the socket
 *    without waiting. A half record held does not count (it cannot be read yet).
 *  - The wait limit of a session is the last positive limit given to SSL_SelectTimeOut for its
 *    socket, 15 s until one is given. SSL_RecvData never waits on the socket longer than that.
 *  - SSL_RecvData answers SSL_RECV_AGAIN (-2) for "nothing yet, the connection is still up":
 *    go back to the wait (with its limit and its stop) and read again when it answers. Every
 *    other result of 0 or less means the connection has ended. A caller that treats every
 *    result of 0 or less as the end stays safe: it ends a connection early, it never hangs.
 *  - A session handle is an opaque number, never a pointer; 0 means "no session". A handle
 *    that was closed or never issued is refused with -1 (or ignored by SSL_Close): it is never
 *    dereferenced.
 *  - Threads: SSL_RecvData (on a receive thread) and SSL_SendData (on another thread) may run
 *    at the same time on one session. Sends through one session, and SSL_Close, are
 *    serialised; nothing is sent through a session once SSL_Close has begun on it.
 *
 * Operations:
 *  SSL_StartUp(pSocket)  reads *pSocket once (a connected TCP socket; the pointer is not kept)
 *      and performs a TLS 1.2-or-later client handshake on it. The whole handshake must end
 *      within HandshakeTimeout (10 s unless configured), however the server paces its bytes:
 *      each recv gets what is left of it as the socket's receive time-out, and the socket's
 *      own time-out is put back afterwards. TLS 1.3 is offered where the platform has it; the
 *      protocol agreed must be TLS 1.2 or TLS 1.3, anything else (older, or unknown to this
 *      library) is refused even if the platform agreed to it. Server-initiated renegotiation
 *      is refused (SSL_RecvData ends the connection). Then verifies the server (see Trust
 *      below). Returns a session handle, or 0 on any failure (logged); on failure the socket
 *      stays open and belongs to the caller, who closes it.
 *  SSL_SendData(session, data, length)  encrypts and sends all bytes, in records of at most
 *      the negotiated size. Returns length, or -1 (unknown or closed session, bad arguments,
 *      send failure, including the socket's own send time-out). length 0 sends nothing and
 *      returns 0.
 *  SSL_RecvData(session, buffer, capacity)  returns the number of decrypted bytes placed at
 *      the start of buffer (at most capacity; the rest of a record stays buffered for the next
 *      call). Every whole record already received is decrypted into it, in order, while the
 *      buffer has room (a host that sends a record per byte is read in as few calls as its
 *      records allow); a close or a failing record behind them is answered by the next call.
 *      It reads the socket only when nothing whole is held, at most for the session's
 *      wait limit: the first recv of a call waits at most the limit (after the wait answered,
 *      it returns at once), and the rest of a record is waited for until the limit, counted
 *      from the call's start, has passed. The socket is read with overlapped receives (a
 *      socket made by socket() allows them), so its options are left alone and CancelIoEx
 *      on the socket from another thread ends a waiting SSL_RecvData at once.
 *      >0: bytes. 0: the server sent close_notify (or another alert) or closed the connection
 *      in order. SSL_RECV_AGAIN (-2): nothing to hand out yet and the connection is still up:
 *      a record held no plaintext (an empty record, a TLS 1.3 session ticket) and nothing
 *      more is held. -1: ended or error:
 *      the limit passed (WSAGetLastError() gives WSAETIMEDOUT), the recv was cancelled
 *      (CancelIoEx on the socket from another thread stops a blocked SSL_RecvData this way),
 *      a reset, a record that does not decrypt, a renegotiation request, an unknown or closed
 *      session, a null buffer or a capacity below 1.
 *  SSL_SelectTimeOut(socket, seconds)  nonzero when data can be read: plaintext or a whole
 *      undecrypted record already held for the session on that socket counts, otherwise the
 *      socket is waited on with select() and a 1-byte MSG_PEEK tells data from an orderly
 *      close. 0 on time-out, failure, or a closed connection. Works on plain sockets without a
 *      session too. Buffered data is found through a socket table: SSL_Close clears the entry,
 *      a new SSL_StartUp on the same socket value replaces it, and an entry whose connection
 *      no longer matches the socket (its addresses differ) is never consulted.
      A limit of 0 answers at once, without waiting: nonzero when plaintext (or a whole
      record) is already held for the session or the socket has data now, 0 otherwise. The
      relay asks this before each of its own waits, so that data a read left buffered inside
      the library is delivered although nothing new arrives on the socket.
 *  SSL_Close(session, socket)  sends close_notify when the session is live and socket is the
 *      session's own connection, frees the session, and closes socket when it is not 0. It
 *      never touches a socket value remembered from SSL_StartUp (Windows reuses socket values
 *      at once). Returns 1 when a live session was closed, 0 otherwise (unknown session); the
 *      given socket is closed in both cases.
 *
 * Trust (read at every SSL_StartUp) comes from ssllib32.ini beside the DLL, section [TLS], which
 *  only an administrator can write. The environment may only tighten it: SSLLIB32_CAFILE,
 *  SSLLIB32_PINSHA256, SSLLIB32_INSECURE_SKIP_VERIFY=1 and SSLLIB32_INI (another ini path) are
 *  refused and logged; SSLLIB32_INSECURE_SKIP_VERIFY=0, SSLLIB32_HANDSHAKE_TIMEOUT and
 *  SSLLIB32_LOG override the file.
 *    CAFile=path         PEM (one or more certificates) or DER file of the CA(s) that issue
 *                        the hosts' certificates; when set, only these CAs are trusted as
 *                        roots (the system store is not used, and not changed). A relative
 *                        path is taken from the DLL's folder.
 *    PinSHA256=hex[,hex] SHA-256 fingerprints of accepted server certificates (colons and
 *                        blanks allowed). When set, the server's certificate must be one of
 *                        them and nothing else is checked.
 *    InsecureSkipVerify=1  lab use only: no check at all (pins included); a warning is
 *                        logged at every SSL_StartUp.
 *    HandshakeTimeout=s  time the whole handshake may take, seconds (default 10).
 *                                                                   env SSLLIB32_HANDSHAKE_TIMEOUT
 *    LogFile=path        diagnostics file (default ssllib32.log in the relay's log folder,
 *                        [LOG] Dir of .\config.ini or %ProgramData%\Pellarin\log).
 *                                                                   env SSLLIB32_LOG
 *  A value that cannot be used (a malformed fingerprint, an unreadable CA file, an
 *  InsecureSkipVerify other than 1/0/true/false/yes/no/on/off) makes SSL_StartUp fail, with
 *  the reason in the log; it never weakens the checks.
 *  Default (nothing set): the chain must lead to a root in the machine's trusted store (a
 *  user's own store does not count), for
 *  server authentication, and the host's IPv4 address (the connected peer) must be among the
 *  certificate's subject alternative names as an IP entry (the common name does not count).
 *  Revocation is not checked (hosts on closed networks cannot reach revocation lists).
 *  Diagnostics go to OutputDebugStringA and to the log file (rotated to .1 past 1 MiB).
 */
#ifndef PELLARIN_SSLLIB32_H
#define PELLARIN_SSLLIB32_H

#include <winsock2.h>
#include <basetsd.h>
#ifdef __cplusplus
extern "C" {
#endif
#define SSLAPI __stdcall
typedef INT_PTR SSL_SESSION;          /* 0 = no session; pointer-sized, never cut to 32 bits */
#define SSL_RECV_AGAIN (-2)           /* SSL_RecvData: nothing yet, connection still up; wait again */
SSL_SESSION SSLAPI SSL_StartUp(SOCKET* pSocket);        /* reads *pSocket once, keeps no pointer */
int SSLAPI SSL_SendData(SSL_SESSION hSession, const char* pData, int nLength);
int SSLAPI SSL_RecvData(SSL_SESSION hSession, char* pBuffer, int nCapacity);
int SSLAPI SSL_SelectTimeOut(SOCKET hSocket, int nSeconds);   /* limit in seconds (callers pass 15) */
int SSLAPI SSL_Close(SSL_SESSION hSession, SOCKET hSocket);
#ifdef __cplusplus
}
#endif

#endif /* PELLARIN_SSLLIB32_H */
