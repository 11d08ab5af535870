// Log line layouts: every example of the line formats as a row (expected lines written out as
// bytes, Hangul as explicit code page 949 escapes), blocks at the 4096-byte limit and beyond
// it, and the time stamp against an independent conversion in a fixed time zone.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "log/line_format.h"
#include "log/log_record.h"

namespace {

const char kT[] = "2024/03/05 07:08:09";
const std::string kJeonmun = "\xC0\xFC\xB9\xAE\xBC\xF6\xBD\xC5";  // the name of a message block
const std::string k25 = "0123456789ABCDEFGHIJKLMNO";

struct LineRow {
    const char* pszName;
    int nLevel, nKind, nCount;
    std::string strText;
    std::string strExpected;  // after the time stamp, without CR LF; "" = no line
};

const LineRow kLineRows[] = {
    {"sum_ack", 0, 1, 1, "\x06", " [CAT->VAN] [001] [ACK]"},
    {"sum_eot_van", 0, 2, 1, "\x04", " [CAT<-VAN] [001] [EOT]"},
    {"sum_enq", 0, 1, 1, "\x05", " [CAT->VAN] [001] [ENQ]"},
    {"sum_dle", 0, 1, 1, "\x10", " [CAT->VAN] [001] [DLE]"},
    {"sum_nak", 0, 1, 1, "\x15", " [CAT->VAN] [001] [NAK]"},
    {"sum_eom", 0, 1, 1, "\x19", " [CAT->VAN] [001] [EOM]"},
    {"sum_message", 0, 2, 25, k25, " [CAT<-VAN] [025] [" + kJeonmun + "]"},
    {"sum_ten_from_ack", 0, 1, 10, "\x06" "123456789", " [CAT->VAN] [010] [" + kJeonmun + "]"},
    {"sum_unknown", 0, 1, 9, "ABCDEFGHI", " [CAT->VAN] [009] [Unkown : 41]"},
    {"sum_unknown_high", 0, 2, 2, "\xAB" "c", " [CAT<-VAN] [002] [Unkown : ab]"},
    {"sum_count_zero", 0, 1, 0, "", " [CAT->VAN] [000] [Unkown : 00]"},
    {"sum_leading_zero_byte", 0, 1, 5, "", " [CAT->VAN] [005] [Unkown : 00]"},
    {"sum_connect_0d", 0, 1, 1, "\x0d", ""},
    {"sum_connect_21_long", 0, 1, 18, "\x21" "1920000020107001" "\x21", ""},
    {"sum_connect_25_van", 0, 2, 30, "\x25" "anything", ""},
    {"sum_count_4096", 0, 1, 4096, "\x06", " [CAT->VAN] [4096] [" + kJeonmun + "]"},
    {"full_ack", 99, 1, 1, "\x06", " [CAT->VAN] [001] [ACK :\x06] [06]"},
    {"full_message", 99, 2, 25, k25,
     " [CAT<-VAN] [025] [" + k25 + "] [303132333435363738394142434445464748494a4b4c4d4e4f]"},
    {"level5_message", 5, 2, 25, k25,
     " [CAT<-VAN] [025] [0123456789ABCDEFGHIJ] [303132333435363738394142434445464748494a]"},
    {"negative_level", -1, 1, 21, "abcdefghijklmnopqrstu",
     " [CAT->VAN] [021] [abcdefghijklmnopqrst] [6162636465666768696a6b6c6d6e6f7071727374]"},
    {"full_count_zero", 99, 1, 0, "", " [CAT->VAN] [000] [] []"},
    {"full_stx_etx", 99, 1, 6, "\x02" "TEST" "\x03", " [CAT->VAN] [006] [\x02" "TEST" "\x03] [025445535403]"},
    {"full_del_and_zero", 99, 1, 3, std::string("A\x7f\0", 3), " [CAT->VAN] [003] [A..] [417f00]"},
    {"full_zero_fill", 99, 1, 5, "A", " [CAT->VAN] [005] [A....] [4100000000]"},
    {"full_text_past_zero", 99, 1, 4, std::string("A\0BC", 4), " [CAT->VAN] [004] [A...] [41000000]"},
    {"full_text_past_count", 99, 2, 3, "ABCDEF", " [CAT<-VAN] [003] [ABC] [414243]"},
    {"full_crlf_high", 99, 1, 4, "\r\n\xC0\xFC", " [CAT->VAN] [004] [\r\n\xC0\xFC] [0d0ac0fc]"},
    {"full_connect_kind", 99, 1, 1, "\x21", " [CAT->VAN] [001] [!] [21]"},
    {"full_eot_nine", 99, 1, 9, "\x04" "abcdefgh", " [CAT->VAN] [009] [EOT :\x04" "abcdefgh] [046162636465666768]"},
    {"full_ack_ten_no_label", 99, 1, 10, "\x06" "123456789", " [CAT->VAN] [010] [\x06" "123456789] [06313233343536373839]"},
    {"level5_nak", 5, 1, 1, "\x15", " [CAT->VAN] [001] [NAK :\x15] [15]"},
    {"status_level0", 0, 0, 0, "\xC1\xA2\xBC\xD3 192.0.2.10:7001", " \xC1\xA2\xBC\xD3 192.0.2.10:7001"},
    {"status_level99", 99, 0, 0, "port open", " port open"},
    {"status_level5_connect_text", 5, 0, 0, "%s\x21", " %s\x21"},
    {"status_stops_at_nul", 0, 0, 0, std::string("ab\0cd", 5), " ab"},
    {"kind3_level0", 0, 3, 1, "\x06", ""},
    {"kind3_level99", 99, 3, 1, "\x06", ""},
    {"kind_negative", 5, -1, 1, "A", ""},
};

void PrintTo(const LineRow& row, std::ostream* pOs) { *pOs << row.pszName; }

class LineFormatTest : public ::testing::TestWithParam<LineRow> {};

TEST_P(LineFormatTest, Layout)
{
    const LineRow& row = GetParam();
    const std::string strExpected =
        row.strExpected.empty() ? std::string() : kT + row.strExpected + "\r\n";
    EXPECT_EQ(FormatLogLine(row.nLevel, row.nKind, row.nCount, row.strText, kT), strExpected);
}

INSTANTIATE_TEST_SUITE_P(Rows, LineFormatTest, ::testing::ValuesIn(kLineRows),
                         [](const auto& info) { return std::string(info.param.pszName); });

// The daily file's line of a record: every byte of the block in the hex field (past a zero
// byte too), every byte outside 0x20..0x7E as '.' in the character field; status and summary
// lines as in the window.
const LineRow kFileRows[] = {
    {"file_past_zero", 99, 1, 5, std::string("A\0BC\0", 5), " [CAT->VAN] [005] [A.BC.] [4100424300]"},
    {"file_controls_crlf_high", 99, 2, 7, "\x02" "\r\n\x7f\xC0\xFC" "\x03",
     " [CAT<-VAN] [007] [......." "] [020d0a7fc0fc03]"},
    {"file_label", 99, 1, 1, "\x06", " [CAT->VAN] [001] [ACK :.] [06]"},
    {"file_level5", 5, 1, 22, std::string(2, '\0') + k25,
     " [CAT->VAN] [022] [..0123456789ABCDEFGH] [0000303132333435363738394142434445464748]"},
    {"file_summary", 0, 2, 25, k25, " [CAT<-VAN] [025] [" + kJeonmun + "]"},
    {"file_status_hangul", 0, 0, 0, "\xC1\xA2\xBC\xD3 OK", " \xC1\xA2\xBC\xD3 OK"},
};

class FileLineTest : public ::testing::TestWithParam<LineRow> {};

TEST_P(FileLineTest, Layout)
{
    const LineRow& row = GetParam();
    EXPECT_EQ(FormatFileLine(row.nLevel, row.nKind, row.nCount, row.strText, kT),
              kT + row.strExpected + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, FileLineTest, ::testing::ValuesIn(kFileRows),
                         [](const auto& info) { return std::string(info.param.pszName); });

std::string HexOf(const std::string& strBytes)
{
    std::string strHex;
    char szByte[3];
    for (unsigned char by : strBytes) {
        std::snprintf(szByte, sizeof szByte, "%02x", by);
        strHex += szByte;
    }
    return strHex;
}

TEST(LineFormat, FullBlockWithoutZeroByte)
{
    // 4096 bytes 0x01..0xFF repeating, 0x7F among them: the longest line there is.
    std::string strBlock;
    for (int i = 0; i < 4096; ++i)
        strBlock.push_back(static_cast<char>(i % 255 + 1));
    std::string strChars = strBlock;
    for (char& ch : strChars)
        ch = ch == '\x7f' ? '.' : ch;
    const std::string strLine = FormatLogLine(99, 1, 4096, strBlock, kT);
    EXPECT_EQ(strLine.size(), 12333u);
    EXPECT_EQ(strLine, kT + std::string(" [CAT->VAN] [4096] [") + strChars + "] [" +
                           HexOf(strBlock) + "]\r\n");
}

TEST(LineFormat, CountAboveBlockSizeDumpsFirst4096Bytes)
{
    const std::string strText(5000, 'A');
    const std::string strPrefix = kT + std::string(" [CAT<-VAN] [5000] [");
    EXPECT_EQ(FormatLogLine(99, 2, 5000, strText, kT),
              strPrefix + std::string(4096, 'A') + "] [" + HexOf(std::string(4096, 'A')) + "]\r\n");
    EXPECT_EQ(FormatLogLine(7, 2, 5000, strText, kT),
              strPrefix + std::string(20, 'A') + "] [" + HexOf(std::string(20, 'A')) + "]\r\n");
    EXPECT_EQ(FormatLogLine(0, 2, 5000, strText, kT), strPrefix + kJeonmun + "]\r\n");
    // A short text under a huge count: zeros to the 4096th byte, nothing read beyond the text.
    EXPECT_EQ(FormatLogLine(99, 1, 0x7fffffff, "AB", kT),
              kT + std::string(" [CAT->VAN] [2147483647] [AB") + std::string(4094, '.') + "] [4142" +
                  std::string(8188, '0') + "]\r\n");
}

TEST(LineFormat, NegativeCountDumpsNothing)
{
    EXPECT_EQ(FormatLogLine(99, 1, -1, "ABC", kT), kT + std::string(" [CAT->VAN] [-01] [] []\r\n"));
}

// Time-zone control for the test: the platform's own calls, so that the conversion under test
// and the expected value come from different routes (local time versus UTC plus an offset).
void SetZone(const char* pszTz)
{
#ifdef _WIN32
    _putenv_s("TZ", pszTz ? pszTz : "");
    _tzset();
#else
    if (pszTz) setenv("TZ", pszTz, 1); else unsetenv("TZ");
    tzset();
#endif
}

std::string UtcPlus9(std::time_t t)
{
    const std::time_t tShifted = t + 9 * 3600;
    std::tm tmUtc = {};
#ifdef _WIN32
    gmtime_s(&tmUtc, &tShifted);
#else
    gmtime_r(&tShifted, &tmUtc);
#endif
    char sz[64];
    std::snprintf(sz, sizeof sz, "%04d/%02d/%02d %02d:%02d:%02d", tmUtc.tm_year + 1900,
                  tmUtc.tm_mon + 1, tmUtc.tm_mday, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec);
    return sz;
}

TEST(FormatTimestamp, LocalTimeInFixedZone)
{
    // "KST-9" is nine hours east of UTC (the sign is inverted in TZ notation).
    const char* pszOldTz = std::getenv("TZ");
    const std::string strOldTz = pszOldTz ? pszOldTz : "";
    SetZone("KST-9");
    char szOut[32];
    std::memset(szOut, 0x55, sizeof szOut);
    const std::time_t tBefore = std::time(nullptr);
    FormatTimestamp(szOut);
    const std::time_t tAfter = std::time(nullptr);
    SetZone(pszOldTz ? strOldTz.c_str() : nullptr);

    ASSERT_EQ(std::strlen(szOut), 19u);
    EXPECT_TRUE(szOut == UtcPlus9(tBefore) || szOut == UtcPlus9(tAfter)) << szOut;
    for (size_t i = 20; i < sizeof szOut; ++i)
        EXPECT_EQ(szOut[i], 0x55) << "wrote past the NUL at " << i;
}

}  // namespace
