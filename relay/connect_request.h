// Recognising and parsing the terminal's connect request frame.
//
// A connect request names the host as 16 ASCII digits after its kind byte: four 3-digit
// address groups (bytes 1-12) and a 4-digit port (bytes 13-16). Recognition and parsing are
// two steps because the dispatcher drops any old connection between them: a frame that looks
// like a connect request always ends the old connection, even when its digits are bad.
//
// The digit test covers all 16 bytes. A zero byte among them fails it: a test that stopped at
// the first zero byte would let a frame with a half-filled address field through, and the
// relay would connect to whatever the parse made of the missing digits.
//
// Pure functions over the caller's bytes: no state, no Windows header, safe on any thread.
#pragma once

// Frame kinds that open a connection (byte 0 of a connect request).
constexpr unsigned char CONNECT_KIND_SSL_CR = 0x0D;    // SSL; also a valid byte 17
constexpr unsigned char CONNECT_KIND_SSL_BANG = 0x21;  // SSL; also a valid byte 17
constexpr unsigned char CONNECT_KIND_PLAIN = 0x25;     // plain TCP; byte 17 may be anything

constexpr int CONNECT_REQUEST_MIN = 18;  // kind, 16 digits, byte 17
constexpr int HOST_ADDR_SIZE = 16;       // "999.999.999.999" and its NUL fill it exactly

struct ConnectTarget {
    bool bSsl;                         // kinds 0x0D and 0x21
    char szHostAddr[HOST_ADDR_SIZE];   // "%d.%d.%d.%d", NUL-terminated, zero-padded
    int nHostPort;                     // 0 to 9999 (leading zeros allowed in the frame)
};

// 1 when every character before the terminating NUL is '0' to '9' (an empty text gives 1);
// 0 at the first other character. pszText must not be null.
int IsAllDigits(const char* pszText);

// True when the frame asks for a connection: byte 0 is 0x0D, 0x21 or 0x25; byte 17 is 0x0D or
// 0x21 unless byte 0 is 0x25; and nCount is at least 18. Reads nothing beyond nCount bytes.
bool IsConnectRequest(const unsigned char* pFrame, int nCount);

// Parses a frame that IsConnectRequest accepts. True, with *pOut filled, when bytes 1 to 16
// are all decimal digits; false (and *pOut untouched) otherwise, including for frames that
// are not connect requests. Address groups above 255 are kept as they are ("256.0.2.10"): the
// connect then fails and reports the address as parsed.
bool ParseConnectRequest(const unsigned char* pFrame, int nCount, ConnectTarget* pOut);
