// How much of a TLS record sits at the front of a buffer of received, undecrypted bytes.
//
// The wait operation must report data the TLS layer already holds: a whole record waiting in
// the session's input buffer is readable now, even though the socket itself has nothing more.
// A partial record is not (the rest must come from the socket first). Bytes that cannot start
// a record are reported as readable too, so that the reader meets the error at once instead of
// waiting for data that will never make them valid. No Windows header: tested natively.
#pragma once
#include <cstddef>
#include <cstdint>

enum class RecordState {
    Incomplete,  // empty, or the front record is not all there yet
    Whole,       // at least one whole record is at the front
    Invalid,     // the front bytes are not a TLS record header
};

// Largest record body TLS allows on the wire (2^14 plaintext plus 2048 of expansion).
constexpr std::size_t TLS_MAX_RECORD_BODY = 16384 + 2048;
constexpr std::size_t TLS_RECORD_HEADER = 5;

RecordState FrontRecordState(const std::uint8_t* p, std::size_t n);
// Header and body of the front record when it is whole, else 0.
std::size_t FrontRecordLength(const std::uint8_t* p, std::size_t n);
