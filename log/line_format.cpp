// Log line formatting and the time stamp; see line_format.h for the three layouts.
//
// The block is read through ByteAt, which answers 0 beyond the text the record carries: the
// same view a zero-filled 4096-byte copy of the text would give, without the copy. The dump
// never reads more than LOG_MAX_BLOCK bytes, whatever count arrives.
#include "log/line_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log/log_record.h"

namespace {

// Control bytes of the terminal protocol: their names in summary lines and their 5-character
// labels at the head of a short block's character field.
struct ControlName {
    unsigned char byValue;
    const char* pszSummary;
    const char* pszLabel;
};

constexpr ControlName CONTROL_NAMES[] = {
    {0x04, "EOT", "EOT :"}, {0x05, "ENQ", "ENQ :"}, {0x06, "ACK", "ACK :"},
    {0x10, "DLE", "DLE :"}, {0x15, "NAK", "NAK :"}, {0x19, "EOM", "EOM :"},
};

// Blocks of at most this many bytes are named (and labelled) after their first byte; longer
// ones are messages.
constexpr int SHORT_BLOCK_MAX = 9;

const ControlName* FindControl(unsigned char by)
{
    for (const ControlName& name : CONTROL_NAMES) {
        if (name.byValue == by)
            return &name;
    }
    return nullptr;
}

bool IsConnectRequestKind(unsigned char by)
{
    return by == 0x0D || by == 0x21 || by == 0x25;
}

// Where a line goes: the window shows a block as its text up to the first zero byte, with
// every other byte placed unchanged; the daily file shows every byte, non-printable ones as
// '.' in the character field, so a record stays one line of code page 949 text.
enum class LineStyle { Window, File };

// The bytes of one block as the formatter sees them: the record's bytes, at most nCount and at
// most LOG_MAX_BLOCK, then zeros; for the window only up to the first zero byte.
class BlockView {
public:
    BlockView(const std::string& strText, int nCount, LineStyle style)
    {
        const size_t nLimit = static_cast<size_t>(std::clamp(nCount, 0, LOG_MAX_BLOCK));
        const size_t nScan = std::min(strText.size(), nLimit);
        const void* pZero =
            style == LineStyle::Window ? std::memchr(strText.data(), 0, nScan) : nullptr;
        m_pText = strText.data();
        m_nText = pZero ? static_cast<size_t>(static_cast<const char*>(pZero) - m_pText) : nScan;
    }
    unsigned char ByteAt(int i) const
    {
        return static_cast<size_t>(i) < m_nText ? static_cast<unsigned char>(m_pText[i]) : 0;
    }

private:
    const char* m_pText;
    size_t m_nText;
};

// The two lower-case hex digits of every byte value, built once.
struct HexTable {
    char digits[256][2];
};

const HexTable& Hex()
{
    static const HexTable s_table = [] {
        static const char DIGITS[] = "0123456789abcdef";
        HexTable table = {};
        for (int i = 0; i < 256; ++i) {
            table.digits[i][0] = DIGITS[i >> 4];
            table.digits[i][1] = DIGITS[i & 0x0F];
        }
        return table;
    }();
    return s_table;
}

const char* DirectionTag(int nKind)
{
    return nKind == LOG_CAT_TO_VAN ? " [CAT->VAN] [" : " [CAT<-VAN] [";
}

void AppendCount(std::string& strLine, int nCount)
{
    char szCount[16];
    std::snprintf(szCount, sizeof szCount, "%03d", nCount);
    strLine += szCount;
}

std::string SummaryLine(int nKind, int nCount, const BlockView& block, const char* pszTimestamp)
{
    const unsigned char byFirst = block.ByteAt(0);
    // Connect requests carry the host's address: not shown in the summary log.
    if (IsConnectRequestKind(byFirst))
        return std::string();

    std::string strName;
    if (nCount > SHORT_BLOCK_MAX) {
        strName = "전문수신";
    } else if (const ControlName* pControl = FindControl(byFirst)) {
        strName = pControl->pszSummary;
    } else {
        char szName[32];
        std::snprintf(szName, sizeof szName, "Unkown : %02x", byFirst);
        strName = szName;
    }

    std::string strLine = pszTimestamp;
    strLine += DirectionTag(nKind);
    AppendCount(strLine, nCount);
    strLine += "] [";
    strLine += strName;
    strLine += "]\r\n";
    return strLine;
}

std::string DumpLine(int nLevel, int nKind, int nCount, const BlockView& block,
                     const char* pszTimestamp, LineStyle style)
{
    const int nLimit = nLevel == LOG_LEVEL_FULL ? nCount : LOG_DUMP_LIMIT;
    const size_t nDump = static_cast<size_t>(std::clamp(std::min(nCount, nLimit), 0, LOG_MAX_BLOCK));

    // Character field: the label of a short control block, then the bytes themselves, with
    // 0x00 and 0x7F shown as '.'. Its width never exceeds the line's precision (the limit, plus
    // the label's 5 characters for short blocks), so it is always written whole.
    const char* pszLabel = "";
    if (nCount <= SHORT_BLOCK_MAX) {
        if (const ControlName* pControl = FindControl(block.ByteAt(0)))
            pszLabel = pControl->pszLabel;
    }

    std::string strLine = pszTimestamp;
    strLine += DirectionTag(nKind);
    AppendCount(strLine, nCount);
    strLine += "] [";
    strLine += pszLabel;
    // Both fields are written in place into the line, sized once: a level-99 line of a full
    // block holds some 12,300 characters.
    const size_t nChars = strLine.size();
    const size_t nHex = nChars + nDump + 3;  // after "] ["
    strLine.resize(nHex + 2 * nDump);
    char* pChars = &strLine[nChars];
    char* pHex = &strLine[nHex];
    pChars[nDump] = ']';
    pChars[nDump + 1] = ' ';
    pChars[nDump + 2] = '[';
    const HexTable& hex = Hex();
    for (size_t i = 0; i < nDump; ++i) {
        const unsigned char by = block.ByteAt(static_cast<int>(i));
        const bool bDot =
            style == LineStyle::File ? by < 0x20 || by > 0x7E : by == 0x00 || by == 0x7F;
        pChars[i] = bDot ? '.' : static_cast<char>(by);
        pHex[2 * i] = hex.digits[by][0];
        pHex[2 * i + 1] = hex.digits[by][1];
    }
    strLine += "]\r\n";
    return strLine;
}

// The current time in seconds. On Windows the 64-bit clock is asked for by name: the 32-bit
// mingw runtime's default time_t is 32 bits wide and would run out in January 2038.
#ifdef _WIN32
using Seconds = __time64_t;
Seconds Now()
{
    return _time64(nullptr);
}
bool ToLocal(Seconds tNow, std::tm* pOut)
{
    return _localtime64_s(pOut, &tNow) == 0;
}
#else
using Seconds = std::time_t;
Seconds Now()
{
    return std::time(nullptr);
}
bool ToLocal(Seconds tNow, std::tm* pOut)
{
    return localtime_r(&tNow, pOut) != nullptr;
}
#endif

// The last second this thread wrote and its text: the local-time conversion costs more than
// the rest of a summary line, and a stream of records asks for the same second many times.
struct TimestampCache {
    Seconds tSecond = -1;
    char szText[LOG_TIMESTAMP_CHARS + 1] = {0};
};

}  // namespace

namespace {

std::string FormatLine(int nLevel, int nKind, int nCount, const std::string& strText,
                       const char* pszTimestamp, LineStyle style)
{
    if (nKind == LOG_STATUS) {
        std::string strLine = pszTimestamp;
        strLine += ' ';
        strLine += strText.c_str();  // up to the first NUL
        strLine += "\r\n";
        return strLine;
    }
    if (nKind != LOG_CAT_TO_VAN && nKind != LOG_VAN_TO_CAT)
        return std::string();

    const BlockView block(strText, nCount, style);
    if (nLevel == LOG_LEVEL_SUMMARY)
        return SummaryLine(nKind, nCount, block, pszTimestamp);
    return DumpLine(nLevel, nKind, nCount, block, pszTimestamp, style);
}

}  // namespace

std::string FormatLogLine(int nLevel, int nKind, int nCount, const std::string& strText,
                          const char* pszTimestamp)
{
    return FormatLine(nLevel, nKind, nCount, strText, pszTimestamp, LineStyle::Window);
}

std::string FormatFileLine(int nLevel, int nKind, int nCount, const std::string& strText,
                           const char* pszTimestamp)
{
    return FormatLine(nLevel, nKind, nCount, strText, pszTimestamp, LineStyle::File);
}

void FormatTimestamp(char* pszOut)
{
    static const char UNKNOWN_TIME[] = "0000/00/00 00:00:00";
    static_assert(sizeof UNKNOWN_TIME == LOG_TIMESTAMP_CHARS + 1, "time stamp width");

    thread_local TimestampCache s_cache;
    const Seconds tNow = Now();
    if (tNow != -1 && tNow == s_cache.tSecond) {
        std::memcpy(pszOut, s_cache.szText, sizeof s_cache.szText);
        return;
    }
    std::tm tmLocal = {};
    if (tNow == -1 || !ToLocal(tNow, &tmLocal) ||
        std::strftime(pszOut, LOG_TIMESTAMP_CHARS + 1, "%Y/%m/%d %H:%M:%S", &tmLocal) !=
            static_cast<size_t>(LOG_TIMESTAMP_CHARS)) {
        std::memcpy(pszOut, UNKNOWN_TIME, sizeof UNKNOWN_TIME);
        s_cache.tSecond = -1;
        return;
    }
    s_cache.tSecond = tNow;
    std::memcpy(s_cache.szText, pszOut, sizeof s_cache.szText);
}
