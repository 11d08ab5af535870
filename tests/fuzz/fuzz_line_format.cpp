// Fuzz target: FormatLogLine on any level, kind, count and text. Input layout: byte 0 picks
// the level (0, 99, 20, -1 or the raw 32-bit value of bytes 1-4), byte 5 the kind (signed),
// bytes 6-9 the count (raw when byte 6 has its top bit set, else 0 to 4199), the rest the
// text. Besides the sanitizers it checks the line's frame: time stamp first, CR LF last, the
// status line exactly, and the length of a dump line from its count.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/line_format.h"
#include "log/log_record.h"

namespace {

void Check(bool bOk, const char* pszWhat)
{
    if (!bOk) {
        std::fprintf(stderr, "invariant broken: %s\n", pszWhat);
        std::abort();
    }
}

int32_t ReadInt(const uint8_t* p)
{
    uint32_t nValue = 0;
    std::memcpy(&nValue, p, sizeof nValue);
    return static_cast<int32_t>(nValue);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 10)
        return 0;
    static const int LEVELS[] = {LOG_LEVEL_SUMMARY, LOG_LEVEL_FULL, 20, -1};
    const int nLevel = pData[0] < 4 ? LEVELS[pData[0]] : ReadInt(pData + 1);
    const int nKind = static_cast<int8_t>(pData[5]);
    const int nCount = (pData[6] & 0x80) ? ReadInt(pData + 6)
                                         : ((pData[7] << 8) | pData[8]) % 4200;
    const std::string strText(reinterpret_cast<const char*>(pData + 10), nSize - 10);
    const char szStamp[] = "2024/01/02 03:04:05";

    const std::string strLine = FormatLogLine(nLevel, nKind, nCount, strText, szStamp);

    if (nKind != LOG_STATUS && nKind != LOG_CAT_TO_VAN && nKind != LOG_VAN_TO_CAT) {
        Check(strLine.empty(), "unknown kinds log nothing");
        return 0;
    }
    if (nKind == LOG_STATUS) {
        Check(strLine == szStamp + std::string(" ") + strText.c_str() + "\r\n", "status line");
        return 0;
    }
    if (strLine.empty()) {
        Check(nLevel == LOG_LEVEL_SUMMARY, "only the summary level drops blocks");
        return 0;
    }
    Check(strLine.compare(0, sizeof szStamp - 1, szStamp) == 0, "time stamp first");
    Check(strLine.size() >= 2 && strLine.compare(strLine.size() - 2, 2, "\r\n") == 0, "CR LF last");
    Check(strLine.size() <= 12333 + 16, "no line longer than a full 4096-byte dump");

    if (nLevel != LOG_LEVEL_SUMMARY) {
        // stamp, " [CAT->VAN] [", count, "] [", chars, "] [", hex, "]\r\n"
        const int nLimit = nLevel == LOG_LEVEL_FULL ? nCount : 20;
        const size_t nDump = static_cast<size_t>(std::clamp(std::min(nCount, nLimit), 0, 4096));
        const size_t nCountChars = static_cast<size_t>(std::snprintf(nullptr, 0, "%03d", nCount));
        const size_t nFixed = (sizeof szStamp - 1) + 13 + nCountChars + 3 + 3 + 3;
        const size_t nLabel = strLine.size() - nFixed - 3 * nDump;
        Check(nLabel == 0 || (nLabel == 5 && nCount <= 9), "dump line length");
        const std::string strHex = strLine.substr(strLine.size() - 3 - 2 * nDump, 2 * nDump);
        Check(strHex.find_first_not_of("0123456789abcdef") == std::string::npos, "hex digits");
    }
    return 0;
}
