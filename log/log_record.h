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
    // Code page 949. A status text up to its first NUL; a block's bytes, all of them (zero
    // bytes included, the count is in wParam).
    std::string strText;
};

// The log text of a block: its nCount bytes as they crossed the line. A zero byte is data
// (binary lengths and amounts hold them), so it ends nothing here: the window's line stops
// showing bytes at the first one, the daily file shows them all.
inline std::string BlockText(const unsigned char* pBytes, int nCount)
{
    return nCount > 0 ? std::string(reinterpret_cast<const char*>(pBytes),
                                    static_cast<size_t>(nCount))
                      : std::string();
}
