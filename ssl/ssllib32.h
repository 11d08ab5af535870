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
 *  - SSL_SelectTimeOut takes its limit in seconds (the relay passes 15).
 *  - A session handle is an opaque number, never a pointer; 0 means "no session". A handle
 *    that was closed or never issued is refused with -1 (or ignored by SSL_Close): it is never
 *    dereferenced.
 *  - Threads: SSL_RecvData (on a receive thread) and SSL_SendData (on another thread) may run
 *    at the same time on one session. Sends through one session, and SSL_Close, are
 *    serialised; nothing is sent through a session once SSL_Close has begun on it.
 *
 * Operations:
 *  SSL_StartUp(pSocket)  reads *pSocket once (a connected TCP socket; the pointer is not kept)
 *      and performs a TLS 1.2-or-later client handshake on it, with a receive time-out so that
 *      a silent server cannot block it for ever (10 s unless configured; the socket's own
 *      time-out is put back afterwards). TLS 1.3 is offered where the platform has it; a
 *      session below TLS 1.2 is refused even if the platform agreed to it. Then verifies the
 *      server (see Trust below). Returns a session handle, or 0 on any failure (logged); on
 *      failure the socket stays open and belongs to the caller, who closes it.
 *  SSL_SendData(session, data, length)  encrypts and sends all bytes, in records of at most
 *      the negotiated size. Returns length, or -1 (unknown or closed session, bad arguments,
 *      send failure). length 0 sends nothing and returns 0.
 *  SSL_RecvData(session, buffer, capacity)  returns the number of decrypted bytes placed at
 *      the start of buffer (at most capacity; the rest of a record stays buffered for the next
 *      call); blocks in recv only when nothing is buffered. 0: the server sent close_notify
 *      (or another alert) or closed the connection in order. <0: error (including an unknown
 *      or closed session, a null buffer or a capacity below 1).
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
 * Trust (read at every SSL_StartUp; environment variables override the file):
 *  ssllib32.ini beside the DLL (or the file named by SSLLIB32_INI), section [TLS]:
 *    CAFile=path         PEM (one or more certificates) or DER file of the CA(s) that issue
 *                        the hosts' certificates; when set, only these CAs are trusted as
 *                        roots (the system store is not used, and not changed). A relative
 *                        path is taken from the DLL's folder.       env SSLLIB32_CAFILE
 *    PinSHA256=hex[,hex] SHA-256 fingerprints of accepted server certificates (colons and
 *                        blanks allowed). When set, the server's certificate must be one of
 *                        them and nothing else is checked.          env SSLLIB32_PINSHA256
 *    InsecureSkipVerify=1  lab use only: no check at all (pins included); a warning is
 *                        logged at every SSL_StartUp.               env SSLLIB32_INSECURE_SKIP_VERIFY
 *    HandshakeTimeout=s  receive time-out during the handshake, seconds (default 10).
 *                                                                   env SSLLIB32_HANDSHAKE_TIMEOUT
 *    LogFile=path        diagnostics file (default ssllib32.log beside the DLL).
 *                                                                   env SSLLIB32_LOG
 *  A value that cannot be used (a malformed fingerprint, an unreadable CA file, an
 *  InsecureSkipVerify other than 1/0/true/false/yes/no/on/off) makes SSL_StartUp fail, with
 *  the reason in the log; it never weakens the checks.
 *  Default (nothing set): the chain must lead to a root in the system's trusted store, for
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
SSL_SESSION SSLAPI SSL_StartUp(SOCKET* pSocket);        /* reads *pSocket once, keeps no pointer */
int SSLAPI SSL_SendData(SSL_SESSION hSession, const char* pData, int nLength);
int SSLAPI SSL_RecvData(SSL_SESSION hSession, char* pBuffer, int nCapacity);
int SSLAPI SSL_SelectTimeOut(SOCKET hSocket, int nSeconds);   /* limit in seconds (callers pass 15) */
int SSLAPI SSL_Close(SSL_SESSION hSession, SOCKET hSocket);
#ifdef __cplusplus
}
#endif

#endif /* PELLARIN_SSLLIB32_H */
