// What one DecryptMessage call means for the reader: the plaintext to hand out, how much of
// the input is done with, and whether the session goes on, has ended (the peer's close_notify
// or another alert) or carries a post-handshake message.
//
// Why it is apart and platform-free: Schannel answers differently on Windows and under Wine,
// and some answers cannot be produced on demand by the platform at hand (a data buffer beside
// SEC_I_RENEGOTIATE, plaintext beside SEC_I_CONTEXT_EXPIRED). The Win32 caller maps the status
// and the buffers it got back; these rules are table-tested natively with each such answer.
// The caller hands DecryptMessage the front record alone, so a close_notify behind data in the
// same read is met in a call of its own, whatever a platform would decrypt in one call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// SEC_E_OK, SEC_I_CONTEXT_EXPIRED, SEC_I_RENEGOTIATE: every other status is a failure.
enum class DecryptStatus { Ok, ContextExpired, Renegotiate };

// One output buffer: plaintext (where it lies in the input) or the undecrypted rest (its size;
// it ends where the input ends). Other kinds (stream header, trailer) are not passed.
struct DecryptBuffer {
    enum class Kind { Data, Extra } kind;
    std::size_t offset;  // Data only: from the start of the input
    std::size_t size;
};

struct DecryptOutcome {
    enum class Next {
        More,           // go on reading
        PeerClosed,     // the host ended the session: hand out the plaintext first, then 0
        PostHandshake,  // the rest of the input goes to the handshake layer
        Failed,         // a plaintext buffer outside the input
    } next = Next::More;
    std::vector<std::pair<std::size_t, std::size_t>> plain;  // (offset, size), in order
    std::size_t consumed = 0;  // input bytes done with, from its start
};

constexpr std::uint8_t TLS_ALERT_RECORD = 21;  // record type of alerts (close_notify is one)

// status: the call's answer; recordType: the first byte of the input (the record's type, an
// alert visible under TLS 1.2, always 23 under TLS 1.3); inputSize: bytes handed to the call.
DecryptOutcome ReadDecryptOutcome(DecryptStatus status, std::uint8_t recordType,
                                  std::size_t inputSize, const std::vector<DecryptBuffer>& buffers);
