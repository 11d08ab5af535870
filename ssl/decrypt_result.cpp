// See decrypt_result.h. Windows reports the peer's close_notify as SEC_I_CONTEXT_EXPIRED;
// Wine 8 answers SEC_E_OK with no data, and the record's type tells it from an empty data
// record. On SEC_I_RENEGOTIATE only the EXTRA buffer counts: whatever a data buffer holds then
// is no application data.
#include "ssl/decrypt_result.h"

DecryptOutcome ReadDecryptOutcome(DecryptStatus status, std::uint8_t recordType,
                                  std::size_t inputSize,
                                  const std::vector<DecryptBuffer>& buffers) {
    DecryptOutcome out;
    std::size_t extra = 0, plainBytes = 0;
    for (const DecryptBuffer& b : buffers) {
        if (b.kind == DecryptBuffer::Kind::Extra) {
            extra = b.size < inputSize ? b.size : inputSize;
        } else if (b.size > 0 && status != DecryptStatus::Renegotiate) {
            if (b.offset > inputSize || b.size > inputSize - b.offset) {
                out.next = DecryptOutcome::Next::Failed;
                out.plain.clear();
                return out;
            }
            out.plain.emplace_back(b.offset, b.size);
            plainBytes += b.size;
        }
    }
    out.consumed = inputSize - extra;
    if (status == DecryptStatus::Renegotiate)
        out.next = DecryptOutcome::Next::PostHandshake;
    else if (status == DecryptStatus::ContextExpired ||
             (plainBytes == 0 && recordType == TLS_ALERT_RECORD))
        out.next = DecryptOutcome::Next::PeerClosed;
    return out;
}
