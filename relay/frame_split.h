// Where the first frame of a terminal burst ends.
//
// The serial line ends a burst at 100 ms of silence, so two frames the terminal wrote without
// that pause (a terminal that does not wait, a USB adapter's latency timer, a line that stalls
// and then delivers everything at once) reach the dispatcher as one burst. Handled by its
// first byte alone, the burst would lose its second frame: a connect request behind a DLE
// would be dropped with the close. Where the first frame's length follows from its own bytes,
// the burst is cut there and the rest is handled as the next frame:
//  - DLE (0x10) and EOM (0x19) are one byte each;
//  - a connect request is 18 bytes (kind, 16 digits, check byte). Bytes after them are
//    ignored by the request itself, and a terminal may append filler there, so the rest is
//    a frame of its own only when it starts as one the relay acts on: DLE, EOM, another
//    connect request, or a message kind (0x02, ACK, NAK, 'I', 'T'). Any other rest stays
//    part of the request, as before.
// Every other frame (a message, a frame of another first byte) runs to the end of the burst:
// the relay does not read messages, and a DLE, EOM or a request kind may be part of one.
//
// Pure function over the caller's bytes: no state, no Windows header.
#pragma once

// The length of the first frame among the nCount bytes at pBurst: 1 to nCount (0 when
// nCount is 0 or less). Reads nothing beyond nCount bytes.
int FirstFrameLength(const unsigned char* pBurst, int nCount);
