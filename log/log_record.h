// The record every producer hands to the transaction log, and the message that carries it.
//
// A producer fills a record of its own (on its stack), sends WM_LOG_RECORD with the record's
// address and the block's byte count, and keeps the record unchanged until SendMessage
// returns. Records never cross threads as one shared object: the log window renders on the
// user-interface thread while the sender waits.
#pragma once
#include <string>

enum : int {
    LOG_STATUS = 0,      // a status text
    LOG_CAT_TO_VAN = 1,  // terminal bytes on their way to the host
    LOG_VAN_TO_CAT = 2,  // host bytes on their way to the terminal
};

constexpr unsigned WM_LOG_RECORD = 0x0400 + 2;  // wParam: count (0 for status), lParam: LogRecord*
constexpr int LOG_MAX_BLOCK = 4096;

struct LogRecord {
    int nKind = LOG_STATUS;
    std::string strText;  // code page 949; for blocks, the bytes up to the first zero byte
};

// The log text of a block: its bytes up to the first zero byte, never more than nCount bytes.
// A full 4096-byte block with no zero byte has no terminator inside its buffer, so the text is
// bounded by the count, not by a terminator.
inline std::string BlockText(const unsigned char* pBytes, int nCount)
{
    std::string strText;
    for (int i = 0; i < nCount && pBytes[i] != 0; ++i)
        strText.push_back(static_cast<char>(pBytes[i]));
    return strText;
}
