// See tls_record.h: the record header is type (20..23), version (major 3), length (big endian).
#include "ssl/tls_record.h"

RecordState FrontRecordState(const std::uint8_t* p, std::size_t n) {
    if (n == 0) return RecordState::Incomplete;
    if (p[0] < 20 || p[0] > 23) return RecordState::Invalid;
    if (n >= 2 && p[1] != 3) return RecordState::Invalid;
    if (n < TLS_RECORD_HEADER) return RecordState::Incomplete;
    std::size_t body = (static_cast<std::size_t>(p[3]) << 8) | p[4];
    if (body > TLS_MAX_RECORD_BODY) return RecordState::Invalid;
    return n >= TLS_RECORD_HEADER + body ? RecordState::Whole : RecordState::Incomplete;
}

std::size_t FrontRecordLength(const std::uint8_t* p, std::size_t n) {
    if (FrontRecordState(p, n) != RecordState::Whole) return 0;
    return TLS_RECORD_HEADER + ((static_cast<std::size_t>(p[3]) << 8) | p[4]);
}
