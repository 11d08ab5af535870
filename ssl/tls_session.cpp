// See tls_session.h for the threads and locks. The Schannel calls follow the usual client
// pattern: InitializeSecurityContext until SEC_E_OK (bytes past a finished handshake stay in
// the input buffer: the server's first answer may arrive with its Finished message), then
// EncryptMessage per record on the way out and DecryptMessage on the way in, handed one
// record at a time (decrypt_result.h says why, and reads its answer). Server-initiated
// renegotiation is refused under TLS 1.2 (a new certificate would go unchecked); under TLS 1.3
// the same signal carries post-handshake messages (session tickets), which are handed to
// InitializeSecurityContext.
#include "ssl/tls_session.h"

// SCH_CREDENTIALS and TLS_PARAMETERS are declared only with SCHANNEL_USE_BLACKLISTS, and use
// UNICODE_STRING from subauth.h.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log/event_log.h"
#include "ssl/cert_verify.h"
#include "ssl/decrypt_result.h"
#include "ssl/diag_log.h"
#include "ssl/ssllib32.h"
#include "ssl/tls_record.h"

namespace {

constexpr DWORD kIscFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                            ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                            ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                            ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kOldProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT |
                                SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
constexpr std::size_t kRecvChunk = 32 * 1024;
// A receive cancelled at its limit is waited for this long (the cancel repeated every
// kCancelSliceMs), then the socket is shut down and it is waited for as long again.
constexpr DWORD kCancelGraceMs = 1000;
constexpr DWORD kCancelSliceMs = 50;

std::string AddressText(const sockaddr_in& a) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&a.sin_addr);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], ntohs(a.sin_port));
    return text;
}

std::string StatusText(SECURITY_STATUS ss) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(ss));
    return text;
}

// TLS 1.2 and later only: SCH_CREDENTIALS where the platform knows it (the way to TLS 1.3 on
// current Windows), else the older structure with 1.2 and 1.3, else 1.2 alone.
bool AcquireCredentials(CredHandle* cred, std::string* why) {
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS |
                        SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry;
    TLS_PARAMETERS params{};
    params.grbitDisabledProtocols = kOldProtocols;
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = flags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &params;
    SECURITY_STATUS ss = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                                   SECPKG_CRED_OUTBOUND, nullptr, &current,
                                                   nullptr, nullptr, cred, &expiry);
    if (ss == SEC_E_OK) return true;
    for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                            DWORD(SP_PROT_TLS1_2_CLIENT)}) {
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.dwFlags = flags;
        older.grbitEnabledProtocols = protocols;
        ss = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                       SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr,
                                       cred, &expiry);
        if (ss == SEC_E_OK) return true;
    }
    *why = "no TLS 1.2 credentials (" + StatusText(ss) + ")";
    return false;
}

}  // namespace

CTlsSession::CTlsSession(SOCKET s) : m_hSocket(s), m_hRecvEvent(WSACreateEvent()) {}

CTlsSession::~CTlsSession() {
    // A receive the system never completed still owns the event, the OVERLAPPED and the
    // buffer: they are left to it.
    if (m_bRecvAbandoned) {
        static_cast<void>(m_pRecvOv.release());
        static_cast<void>(new std::vector<char>(std::move(m_recvChunk)));
    } else if (m_hRecvEvent != WSA_INVALID_EVENT) {
        WSACloseEvent(m_hRecvEvent);
    }
    if (m_bHaveCtx) DeleteSecurityContext(&m_ctx);
    if (m_bHaveCred) FreeCredentialsHandle(&m_cred);
}

std::shared_ptr<CTlsSession> CTlsSession::Start(SOCKET s, const TrustSettings& settings) {
    std::shared_ptr<CTlsSession> session(new CTlsSession(s));
    session->m_strLogFile = settings.strLogFile;
    if (session->m_hRecvEvent == WSA_INVALID_EVENT) {
        DiagLine(settings.strLogFile, "TLS start refused: no event (WSA error %d)", WSAGetLastError());
        return nullptr;
    }
    int len = sizeof(sockaddr_in);
    int len2 = sizeof(sockaddr_in);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&session->m_local), &len) != 0 ||
        getpeername(s, reinterpret_cast<sockaddr*>(&session->m_peer), &len2) != 0 ||
        session->m_peer.sin_family != AF_INET) {
        DiagLine(settings.strLogFile, "TLS start refused: socket %llu is not a connected IPv4 "
                 "socket (WSA error %d)", static_cast<unsigned long long>(s), WSAGetLastError());
        return nullptr;
    }
    const std::string peer = AddressText(session->m_peer);
    for (const std::string& name : settings.refused)
        DiagLine(settings.strLogFile, "%s: setting refused: %s from the environment (only "
                 "ssllib32.ini beside the DLL may loosen verification)", peer.c_str(), name.c_str());
    for (const std::string& problem : settings.problems)
        DiagLine(settings.strLogFile, "%s: setting not usable: %s", peer.c_str(), problem.c_str());
    if (settings.bInsecureSkipVerify)
        DiagLine(settings.strLogFile, "WARNING: %s: InsecureSkipVerify is set: the server's "
                 "certificate is NOT verified; this connection is not authenticated (lab use "
                 "only)", peer.c_str());
    if (settings.bInsecureSkipVerify) EventLog::Report(EventLog::VerificationOff(peer));
    if (!settings.problems.empty()) return nullptr;

    // The handshake as a whole must end within the time-out: each recv gets what is left of
    // it as the socket's receive time-out, and the caller's setting is put back after.
    DWORD oldTimeout = 0;
    int optLen = sizeof oldTimeout;
    getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&oldTimeout), &optLen);
    const ULONGLONG deadline =
        GetTickCount64() + static_cast<ULONGLONG>(settings.nHandshakeTimeoutSec) * 1000;

    std::string why;
    bool ok = false;
    if (AcquireCredentials(&session->m_cred, &why)) {
        session->m_bHaveCred = true;
        ok = session->Handshake(deadline, settings.nHandshakeTimeoutSec, &why);
    }
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&oldTimeout),
               sizeof oldTimeout);
    if (!ok) {
        DiagLine(settings.strLogFile, "%s: TLS handshake failed: %s", peer.c_str(), why.c_str());
        return nullptr;
    }

    // Wine negotiates TLS 1.1 whatever the credentials disable (measured): the protocol
    // actually agreed must be one of the allowed ones, whatever the platform. Anything else,
    // a protocol this code does not know included, is refused.
    SecPkgContext_ConnectionInfo info{};
    SECURITY_STATUS ss = QueryContextAttributesA(&session->m_ctx, SECPKG_ATTR_CONNECTION_INFO, &info);
    if (ss != SEC_E_OK) {
        DiagLine(settings.strLogFile, "%s: refused: protocol unknown (%s)", peer.c_str(),
                 StatusText(ss).c_str());
        return nullptr;
    }
    if (info.dwProtocol != SP_PROT_TLS1_2_CLIENT && info.dwProtocol != SP_PROT_TLS1_3_CLIENT) {
        DiagLine(settings.strLogFile, "%s: refused: protocol 0x%lX is not TLS 1.2 or 1.3",
                 peer.c_str(), static_cast<unsigned long>(info.dwProtocol));
        return nullptr;
    }
    session->m_dwProtocol = info.dwProtocol;
    ss = QueryContextAttributesA(&session->m_ctx, SECPKG_ATTR_STREAM_SIZES,
                                                 &session->m_sizes);
    if (ss != SEC_E_OK || session->m_sizes.cbMaximumMessage == 0) {
        DiagLine(settings.strLogFile, "%s: no record sizes (%s)", peer.c_str(),
                 StatusText(ss).c_str());
        return nullptr;
    }
    if (!VerifyServer(&session->m_ctx, settings, session->m_peer, &why)) {
        DiagLine(settings.strLogFile, "%s: server certificate rejected: %s", peer.c_str(),
                 why.c_str());
        EventLog::Report(EventLog::CertificateRejected(peer, why));
        return nullptr;
    }
    return session;
}

bool CTlsSession::Handshake(ULONGLONG deadline, int nSeconds, std::string* why) {
    ULONG attrs = 0;
    TimeStamp expiry;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    SECURITY_STATUS ss = InitializeSecurityContextA(&m_cred, nullptr, nullptr, kIscFlags, 0, 0,
                                                    nullptr, 0, &m_ctx, &outDesc, &attrs, &expiry);
    if (ss != SEC_I_CONTINUE_NEEDED) {
        *why = "no client hello (" + StatusText(ss) + ")";
        return false;
    }
    m_bHaveCtx = true;
    bool sent = SendAll(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
    FreeContextBuffer(out.pvBuffer);
    if (!sent) {
        *why = "send failed (WSA error " + std::to_string(WSAGetLastError()) + ")";
        return false;
    }

    std::vector<char> chunk(kRecvChunk);
    bool needData = true;
    for (;;) {
        if (needData) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                *why = "no complete handshake within " + std::to_string(nSeconds) + " s";
                return false;
            }
            DWORD left = static_cast<DWORD>(deadline - now);
            setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&left),
                       sizeof left);
            int r = recv(m_hSocket, chunk.data(), static_cast<int>(chunk.size()), 0);
            if (r == 0) {
                *why = "server closed the connection";
                return false;
            }
            if (r < 0) {
                int error = WSAGetLastError();
                *why = error == WSAETIMEDOUT
                           ? "no complete handshake within " + std::to_string(nSeconds) + " s"
                           : "recv failed (WSA error " + std::to_string(error) + ")";
                return false;
            }
            m_inbuf.insert(m_inbuf.end(), chunk.data(), chunk.data() + r);
        }
        SecBuffer in[2] = {{static_cast<ULONG>(m_inbuf.size()), SECBUFFER_TOKEN, m_inbuf.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        out = SecBuffer{0, SECBUFFER_TOKEN, nullptr};
        ss = InitializeSecurityContextA(&m_cred, &m_ctx, nullptr, kIscFlags, 0, 0, &inDesc, 0,
                                        nullptr, &outDesc, &attrs, &expiry);
        if (out.pvBuffer) {
            sent = out.cbBuffer == 0 || SendAll(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            FreeContextBuffer(out.pvBuffer);
            if (!sent) {
                *why = "send failed (WSA error " + std::to_string(WSAGetLastError()) + ")";
                return false;
            }
        }
        if (ss == SEC_E_INCOMPLETE_MESSAGE &&
            FrontRecordState(reinterpret_cast<const std::uint8_t*>(m_inbuf.data()),
                             m_inbuf.size()) != RecordState::Invalid) {
            needData = true;
            continue;
        }
        if (ss == SEC_E_INCOMPLETE_MESSAGE) {
            // Bytes that cannot start a TLS record (a server that speaks another protocol):
            // no more data can make them a handshake, so waiting for the time-out would only
            // hold the caller (the relay's user-interface thread) for nothing.
            *why = "the server's answer is not TLS";
            return false;
        }
        if (ss != SEC_E_OK && ss != SEC_I_CONTINUE_NEEDED) {
            *why = ss == SEC_I_INCOMPLETE_CREDENTIALS
                       ? "the server asks for a client certificate, which this library has not"
                       : "handshake refused (" + StatusText(ss) + ")";
            return false;
        }
        std::size_t keep = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
        m_inbuf.erase(m_inbuf.begin(), m_inbuf.end() - keep);
        if (ss == SEC_E_OK) return true;
        needData = m_inbuf.empty();
    }
}

bool CTlsSession::SendAll(const char* p, std::size_t n) {
    while (n > 0) {
        int chunk = static_cast<int>(std::min<std::size_t>(n, 1 << 20));
        int r = send(m_hSocket, p, chunk, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

int CTlsSession::Send(const char* pData, int nLength) {
    if (nLength < 0 || (!pData && nLength > 0)) return -1;
    std::lock_guard<std::mutex> sendLock(m_sendLock);
    std::string wire;
    {
        std::lock_guard<std::mutex> state(m_stateLock);
        if (m_bClosed) return -1;
        const std::size_t header = m_sizes.cbHeader, trailer = m_sizes.cbTrailer;
        std::vector<char> record;
        for (int done = 0; done < nLength;) {
            ULONG part = static_cast<ULONG>(
                std::min<std::size_t>(static_cast<std::size_t>(nLength - done), m_sizes.cbMaximumMessage));
            record.assign(header + part + trailer, 0);
            std::memcpy(record.data() + header, pData + done, part);
            SecBuffer b[4] = {{static_cast<ULONG>(header), SECBUFFER_STREAM_HEADER, record.data()},
                              {part, SECBUFFER_DATA, record.data() + header},
                              {static_cast<ULONG>(trailer), SECBUFFER_STREAM_TRAILER,
                               record.data() + header + part},
                              {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
            SECURITY_STATUS ss = EncryptMessage(&m_ctx, 0, &desc, 0);
            if (ss != SEC_E_OK) {
                DiagLine(m_strLogFile, "%s: encrypting failed (%s)", AddressText(m_peer).c_str(),
                         StatusText(ss).c_str());
                return -1;
            }
            // The trailer is often shorter than advertised: take each part at its real size.
            for (int i = 0; i < 3; ++i)
                wire.append(static_cast<const char*>(b[i].pvBuffer), b[i].cbBuffer);
            done += static_cast<int>(part);
        }
    }
    return SendAll(wire.data(), wire.size()) ? nLength : -1;
}

CTlsSession::Step CTlsSession::DecryptOne() {
    // The front record alone (the rest stays in m_inbuf): one record per call whatever the
    // platform would take, so an alert behind data is seen in a call of its own. Bytes that
    // do not make a record go whole, for DecryptMessage to refuse.
    const std::uint8_t* front = reinterpret_cast<const std::uint8_t*>(m_inbuf.data());
    std::size_t input = FrontRecordLength(front, m_inbuf.size());
    if (input == 0) input = m_inbuf.size();
    SecBuffer b[4] = {{static_cast<ULONG>(input), SECBUFFER_DATA, m_inbuf.data()},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    const std::uint8_t recordType = front[0];
    SECURITY_STATUS ss = DecryptMessage(&m_ctx, &desc, 0, nullptr);
    if (ss == SEC_E_INCOMPLETE_MESSAGE) return Step::NeedMore;
    if (ss != SEC_E_OK && ss != SEC_I_RENEGOTIATE && ss != SEC_I_CONTEXT_EXPIRED) {
        DiagLine(m_strLogFile, "%s: decrypting failed (%s)", AddressText(m_peer).c_str(),
                 StatusText(ss).c_str());
        return Step::Failed;
    }
    // The plaintext lies inside m_inbuf: its place is taken as an offset (a pointer outside
    // the input gives an offset past its end, which ReadDecryptOutcome refuses).
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(m_inbuf.data());
    std::vector<DecryptBuffer> buffers;
    for (int i = 1; i < 4; ++i) {
        if (b[i].BufferType == SECBUFFER_DATA)
            buffers.push_back({DecryptBuffer::Kind::Data,
                               reinterpret_cast<std::uintptr_t>(b[i].pvBuffer) - base,
                               b[i].cbBuffer});
        else if (b[i].BufferType == SECBUFFER_EXTRA)
            buffers.push_back({DecryptBuffer::Kind::Extra, 0, b[i].cbBuffer});
    }
    const DecryptOutcome out = ReadDecryptOutcome(
        ss == SEC_E_OK ? DecryptStatus::Ok
                       : ss == SEC_I_RENEGOTIATE ? DecryptStatus::Renegotiate
                                                 : DecryptStatus::ContextExpired,
        recordType, input, buffers);
    if (out.next == DecryptOutcome::Next::Failed) {
        DiagLine(m_strLogFile, "%s: decrypted data outside the record",
                 AddressText(m_peer).c_str());
        return Step::Failed;
    }
    for (const auto& piece : out.plain) m_plain.append(m_inbuf.data() + piece.first, piece.second);
    m_inbuf.erase(m_inbuf.begin(), m_inbuf.begin() + static_cast<std::ptrdiff_t>(out.consumed));
    if (out.next == DecryptOutcome::Next::PeerClosed) return Step::PeerClosed;
    if (out.next == DecryptOutcome::Next::PostHandshake) return Step::PostHandshake;
    return Step::Data;
}

bool CTlsSession::PostHandshakeMessage() {
    if (!(m_dwProtocol & SP_PROT_TLS1_3_CLIENT)) {
        DiagLine(m_strLogFile, "%s: the server asked to renegotiate; refused",
                 AddressText(m_peer).c_str());
        return false;
    }
    std::string token;
    {
        std::lock_guard<std::mutex> state(m_stateLock);
        if (m_bClosed) return false;
        SecBuffer in[2] = {{static_cast<ULONG>(m_inbuf.size()), SECBUFFER_TOKEN, m_inbuf.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        ULONG attrs = 0;
        TimeStamp expiry;
        SECURITY_STATUS ss = InitializeSecurityContextA(&m_cred, &m_ctx, nullptr, kIscFlags, 0, 0,
                                                        &inDesc, 0, nullptr, &outDesc, &attrs,
                                                        &expiry);
        if (out.pvBuffer) {
            token.assign(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            FreeContextBuffer(out.pvBuffer);
        }
        if (ss != SEC_E_OK) {
            DiagLine(m_strLogFile, "%s: post-handshake message refused (%s)",
                     AddressText(m_peer).c_str(), StatusText(ss).c_str());
            return false;
        }
        // Bytes the handshake layer did not take are records for DecryptMessage.
        std::size_t keep = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
        m_inbuf.erase(m_inbuf.begin(), m_inbuf.end() - std::min(keep, m_inbuf.size()));
    }
    if (token.empty()) return true;
    std::lock_guard<std::mutex> sendLock(m_sendLock);
    {
        std::lock_guard<std::mutex> state(m_stateLock);
        if (m_bClosed) return false;
    }
    return SendAll(token.data(), token.size());
}

// Reads from the socket only while nothing whole is held, and for no longer than the wait
// limit (see ReceiveWithin): the first receive of a call waits at most the limit (the caller
// has usually seen the socket readable, so it returns at once); the rest of a record started
// in this call is waited for only until the limit, counted from the call's start, has
// passed. A record that yields no plaintext (an empty record, a post-handshake message) sends
// the caller back to its own wait instead of into another receive.
// Every whole record already held is decrypted before the call returns, as long as the
// caller's buffer has room: a host that writes one record per byte would otherwise cost the
// caller a call (and a block of its own) per byte, slower than the records come. What stops
// the run (the peer's close, a record that fails) is answered by the next call, after the
// plaintext before it.
int CTlsSession::Recv(char* pBuffer, int nCapacity) {
    if (!pBuffer || nCapacity <= 0) return -1;
    std::lock_guard<std::mutex> readLock(m_readLock);
    if (m_bRecvAbandoned) return -1;
    m_recvChunk.resize(kRecvChunk);
    const DWORD limitMs = m_dwWaitLimitMs.load();
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    const std::size_t capacity = static_cast<std::size_t>(nCapacity);
    bool received = false;   // this call has already read from the socket
    bool emptyRecord = false;  // a record held nothing to hand out
    for (;;) {
        Step step = Step::NeedMore;
        // One record per hold of the state lock: a sender waits for one decryption at most.
        for (;;) {
            std::lock_guard<std::mutex> state(m_stateLock);
            if (m_bClosed) return -1;
            if (m_plain.size() >= capacity || m_bPeerClosed || m_bFailed ||
                FrontRecordState(reinterpret_cast<const std::uint8_t*>(m_inbuf.data()),
                                 m_inbuf.size()) == RecordState::Incomplete)
                break;
            const std::size_t before = m_plain.size();
            step = DecryptOne();
            if (step == Step::PeerClosed) m_bPeerClosed = true;
            if (step == Step::Failed) m_bFailed = true;
            if (step == Step::Data && m_plain.size() == before) emptyRecord = true;
            if (step != Step::Data) break;
        }
        {
            std::lock_guard<std::mutex> state(m_stateLock);
            if (m_bClosed) return -1;
            if (!m_plain.empty() && step != Step::PostHandshake) {
                std::size_t n = std::min(m_plain.size(), capacity);
                std::memcpy(pBuffer, m_plain.data(), n);
                m_plain.erase(0, n);
                return static_cast<int>(n);
            }
            if (m_bPeerClosed) return 0;
            if (m_bFailed) return -1;
            if (step != Step::PostHandshake && emptyRecord && m_inbuf.empty()) return SSL_RECV_AGAIN;
        }
        if (step == Step::PostHandshake) {
            if (!PostHandshakeMessage()) {
                std::lock_guard<std::mutex> state(m_stateLock);
                m_bFailed = true;
            }
            emptyRecord = true;
            continue;
        }
        // Nothing whole is held: wait on the socket, with no lock but the reader's own.
        DWORD timeout = limitMs;
        if (received) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                WSASetLastError(WSAETIMEDOUT);
                return -1;
            }
            timeout = static_cast<DWORD>(deadline - now);
        }
        int error = 0;
        int r = ReceiveWithin(timeout, &error);
        std::lock_guard<std::mutex> state(m_stateLock);
        if (m_bClosed) return -1;
        if (r < 0) {
            // Nothing ready on a socket that refuses to wait: the caller's wait is the place to
            // wait. Anything else (the limit passed, a cancelled receive, a reset) ends it.
            if (error == WSAEWOULDBLOCK) return SSL_RECV_AGAIN;
            WSASetLastError(error);
            return -1;
        }
        if (r == 0) {
            m_bPeerClosed = true;  // orderly close without close_notify
            return 0;
        }
        received = true;
        m_inbuf.insert(m_inbuf.end(), m_recvChunk.data(), m_recvChunk.data() + r);
    }
}

// One overlapped receive, waited for at most timeoutMs. Overlapped rather than a blocking
// recv with SO_RCVTIMEO: the caller's socket options stay as they were, and another thread
// can end a pending receive with CancelIoEx on the socket (Wine 8 leaves a blocking recv
// waiting until its time-out even though the cancel answers success; an overlapped one that
// is pending ends at once). The receive is always over before this returns: after the limit
// it is cancelled and its completion waited for on the session's own event, never through
// the socket, which another thread may have closed. So the system never writes into a
// buffer or an OVERLAPPED that is gone. Bytes that arrive as the time runs out are kept.
// The wait for a cancelled receive is bounded too: a cancel that lands while the receive is
// being started is lost (Wine), so it is repeated for kCancelGraceMs, then the socket is shut
// down (which ends a pending receive at once); a receive that outlives that as well is left
// with its OVERLAPPED, event and buffer (never freed), and the session reads no more.
int CTlsSession::ReceiveWithin(DWORD timeoutMs, int* error) {
    WSABUF buffer{static_cast<ULONG>(m_recvChunk.size()), m_recvChunk.data()};
    if (!m_pRecvOv) m_pRecvOv.reset(new WSAOVERLAPPED);
    WSAOVERLAPPED& ov = *m_pRecvOv;
    ov = WSAOVERLAPPED{};
    ov.hEvent = m_hRecvEvent;
    WSAResetEvent(m_hRecvEvent);
    DWORD got = 0, flags = 0;
    if (WSARecv(m_hSocket, &buffer, 1, &got, &flags, &ov, nullptr) == 0) return static_cast<int>(got);
    *error = WSAGetLastError();
    if (*error != WSA_IO_PENDING) return -1;
    const bool timedOut = WaitForSingleObject(m_hRecvEvent, timeoutMs) != WAIT_OBJECT_0;
    if (timedOut && !FinishCancelledReceive(&ov)) {
        m_bRecvAbandoned = true;
        *error = WSAETIMEDOUT;
        return -1;
    }
    if (WSAGetOverlappedResult(m_hSocket, &ov, &got, FALSE, &flags)) return static_cast<int>(got);
    *error = timedOut ? WSAETIMEDOUT : WSAGetLastError();
    return -1;
}

bool CTlsSession::FinishCancelledReceive(WSAOVERLAPPED* ov) {
    const ULONGLONG start = GetTickCount64();
    bool shut = false;
    for (;;) {
        CancelIoEx(reinterpret_cast<HANDLE>(m_hSocket), ov);
        if (WaitForSingleObject(m_hRecvEvent, kCancelSliceMs) == WAIT_OBJECT_0) return true;
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= 2 * kCancelGraceMs) return false;
        if (!shut && elapsed >= kCancelGraceMs) {
            shutdown(m_hSocket, SD_BOTH);
            shut = true;
        }
    }
}

void CTlsSession::SetWaitLimit(int nSeconds) {
    if (nSeconds > 0 && nSeconds <= kMaxWaitLimitSec)
        m_dwWaitLimitMs.store(static_cast<DWORD>(nSeconds) * 1000);
}

bool CTlsSession::HasBufferedData() {
    std::lock_guard<std::mutex> state(m_stateLock);
    if (m_bClosed) return false;
    return !m_plain.empty() || m_bPeerClosed || m_bFailed ||
           FrontRecordState(reinterpret_cast<const std::uint8_t*>(m_inbuf.data()), m_inbuf.size()) !=
               RecordState::Incomplete;
}

void CTlsSession::Close(bool bNotify) {
    std::lock_guard<std::mutex> sendLock(m_sendLock);
    std::string token;
    {
        std::lock_guard<std::mutex> state(m_stateLock);
        if (m_bClosed) return;
        m_bClosed = true;
        if (bNotify && m_bHaveCtx) {
            DWORD type = SCHANNEL_SHUTDOWN;
            SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
            SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
            if (ApplyControlToken(&m_ctx, &controlDesc) == SEC_E_OK) {
                SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
                SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
                ULONG attrs = 0;
                TimeStamp expiry;
                InitializeSecurityContextA(&m_cred, &m_ctx, nullptr, kIscFlags, 0, 0, nullptr, 0,
                                           nullptr, &outDesc, &attrs, &expiry);
                if (out.pvBuffer) {
                    token.assign(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
                    FreeContextBuffer(out.pvBuffer);
                }
            }
        }
        if (m_bHaveCtx) DeleteSecurityContext(&m_ctx);
        if (m_bHaveCred) FreeCredentialsHandle(&m_cred);
        m_bHaveCtx = m_bHaveCred = false;
        m_plain.clear();
        m_inbuf.clear();
    }
    if (!token.empty()) SendAll(token.data(), token.size());
}

bool CTlsSession::IsSameConnection(SOCKET s) const {
    sockaddr_in local{}, peer{};
    int len = sizeof local, len2 = sizeof peer;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) != 0 ||
        getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len2) != 0)
        return false;
    return local.sin_family == AF_INET && peer.sin_family == AF_INET &&
           local.sin_port == m_local.sin_port && local.sin_addr.s_addr == m_local.sin_addr.s_addr &&
           peer.sin_port == m_peer.sin_port && peer.sin_addr.s_addr == m_peer.sin_addr.s_addr;
}
