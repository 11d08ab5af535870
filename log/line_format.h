// Rendering one log record as one line of the transaction log.
//
// Three layouts: a status line (time stamp and text), a summary line that names a block of
// terminal or host bytes without showing them (level 0), and a dump line with a character
// field and a hex field (level 99: every byte; any other level: the first 20). Every line
// ends in CR LF. Texts are code page 949 bytes.
//
// The formatter works on a copy of the block in a zero-filled 4096-byte buffer, so a block
// whose text stops at a zero byte dumps zeros from there to its count, and a count above 4096
// dumps its first 4096 bytes. The result is built in a std::string: no fixed line buffer to
// overrun, whatever level, kind, count or text arrives.
//
// No state and no Windows header: the log window calls it on its own thread.
#pragma once
#include <string>

constexpr int LOG_MAX_LINES = 5000;        // lines between two automatic clears of the window
constexpr int LOG_DUMP_LIMIT = 20;         // bytes dumped at levels other than 0 and 99
constexpr int LOG_LEVEL_SUMMARY = 0;       // blocks named, not shown
constexpr int LOG_LEVEL_FULL = 99;         // blocks dumped whole
constexpr int LOG_TIMESTAMP_CHARS = 19;    // "YYYY/MM/DD hh:mm:ss"

// The line for one record, or "" when nothing is logged (a connect request block at level 0,
// an unknown kind). nCount is the block's byte count (0 for status records); strText is the
// status text, or the block's bytes up to its first zero byte. pszTimestamp is the text that
// FormatTimestamp wrote (not null). This is the window's line: a block's bytes show up to its
// first zero byte (zeros from there on), every other byte placed unchanged.
std::string FormatLogLine(int nLevel, int nKind, int nCount, const std::string& strText,
                          const char* pszTimestamp);

// The same record's line in the daily file: the same layout, but a block's every byte is
// shown (zero bytes and what follows them included), and in the character field every byte
// outside 0x20 to 0x7E (controls, CR, LF, 0x7F, 0x80 to 0xFF) is '.', so the line is one line
// of text that decodes as code page 949. Status and summary lines are the window's.
std::string FormatFileLine(int nLevel, int nKind, int nCount, const std::string& strText,
                           const char* pszTimestamp);

// Writes the current local date and time as "%Y/%m/%d %H:%M:%S": 19 characters and a NUL,
// so pszOut needs LOG_TIMESTAMP_CHARS + 1 bytes. Safe on any thread. Should the clock or the
// local-time conversion fail, writes "0000/00/00 00:00:00" rather than nothing.
void FormatTimestamp(char* pszOut);
