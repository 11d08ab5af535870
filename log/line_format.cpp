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
constexpr int LABEL_CHARS = 5;

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

// The bytes of one block as the formatter sees them: the record's text up to its first zero
// byte, at most nCount and at most LOG_MAX_BLOCK bytes, then zeros.
class BlockView {
public:
    BlockView(const std::string& strText, int nCount)
    {
        const size_t nLimit = static_cast<size_t>(std::clamp(nCount, 0, LOG_MAX_BLOCK));
        const size_t nScan = std::min(strText.size(), nLimit);
        const void* pZero = std::memchr(strText.data(), 0, nScan);
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
                     const char* pszTimestamp)
{
    static const char HEX_DIGITS[] = "0123456789abcdef";

    const int nLimit = nLevel == LOG_LEVEL_FULL ? nCount : LOG_DUMP_LIMIT;
    const int nDump = std::clamp(std::min(nCount, nLimit), 0, LOG_MAX_BLOCK);

    // Character field: the label of a short control block, then the bytes themselves, with
    // 0x00 and 0x7F shown as '.'. Its width never exceeds the line's precision (the limit, plus
    // the label's 5 characters for short blocks), so it is always written whole.
    std::string strChars;
    strChars.reserve(static_cast<size_t>(nDump) + LABEL_CHARS);
    if (nCount <= SHORT_BLOCK_MAX) {
        if (const ControlName* pControl = FindControl(block.ByteAt(0)))
            strChars = pControl->pszLabel;
    }
    std::string strHex;
    strHex.reserve(static_cast<size_t>(nDump) * 2);
    for (int i = 0; i < nDump; ++i) {
        const unsigned char by = block.ByteAt(i);
        strChars.push_back(by == 0x00 || by == 0x7F ? '.' : static_cast<char>(by));
        strHex.push_back(HEX_DIGITS[by >> 4]);
        strHex.push_back(HEX_DIGITS[by & 0x0F]);
    }

    std::string strLine;
    strLine.reserve(std::strlen(pszTimestamp) + 32 + strChars.size() + strHex.size());
    strLine = pszTimestamp;
    strLine += DirectionTag(nKind);
    AppendCount(strLine, nCount);
    strLine += "] [";
    strLine += strChars;
    strLine += "] [";
    strLine += strHex;
    strLine += "]\r\n";
    return strLine;
}

// The current local time. On Windows the 64-bit clock is asked for by name: the 32-bit mingw
// runtime's default time_t is 32 bits wide and would run out in January 2038.
bool LocalNow(std::tm* pOut)
{
#ifdef _WIN32
    const __time64_t tNow = _time64(nullptr);
    return tNow != -1 && _localtime64_s(pOut, &tNow) == 0;
#else
    const std::time_t tNow = std::time(nullptr);
    return tNow != static_cast<std::time_t>(-1) && localtime_r(&tNow, pOut) != nullptr;
#endif
}

}  // namespace

std::string FormatLogLine(int nLevel, int nKind, int nCount, const std::string& strText,
                          const char* pszTimestamp)
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

    const BlockView block(strText, nCount);
    if (nLevel == LOG_LEVEL_SUMMARY)
        return SummaryLine(nKind, nCount, block, pszTimestamp);
    return DumpLine(nLevel, nKind, nCount, block, pszTimestamp);
}

void FormatTimestamp(char* pszOut)
{
    static const char UNKNOWN_TIME[] = "0000/00/00 00:00:00";
    static_assert(sizeof UNKNOWN_TIME == LOG_TIMESTAMP_CHARS + 1, "time stamp width");

    std::tm tmLocal = {};
    if (!LocalNow(&tmLocal) ||
        std::strftime(pszOut, LOG_TIMESTAMP_CHARS + 1, "%Y/%m/%d %H:%M:%S", &tmLocal) !=
            static_cast<size_t>(LOG_TIMESTAMP_CHARS)) {
        std::memcpy(pszOut, UNKNOWN_TIME, sizeof UNKNOWN_TIME);
    }
}
