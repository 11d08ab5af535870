// Connect-request recognition and parse, and frame routing: every row of the frame tables and
// the edge cases around them (short frames, wrong byte 17, zero bytes and signs among the
// digits, groups above 255). Frames are allocated at their exact length, so a read past the
// count is an AddressSanitizer fault.
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "relay/connect_request.h"
#include "relay/frame_route.h"
#include "relay/frame_split.h"

namespace {

std::vector<unsigned char> Frame(const std::string& strBytes)
{
    return std::vector<unsigned char>(strBytes.begin(), strBytes.end());
}

const std::string kDigits = "192000002010" "7001";  // 192.0.2.10 port 7001

struct ConnectRow {
    const char* pszName;
    std::string strFrame;
    bool bRequest;       // IsConnectRequest
    bool bParsed;        // ParseConnectRequest
    bool bSsl;
    const char* pszAddr;
    int nPort;
};

const ConnectRow kConnectRows[] = {
    {"ssl_21_21", "\x21" + kDigits + "\x21", true, true, true, "192.0.2.10", 7001},
    {"ssl_0d_0d", "\x0d" + kDigits + "\x0d", true, true, true, "192.0.2.10", 7001},
    {"ssl_0d_21", "\x0d" + kDigits + "\x21", true, true, true, "192.0.2.10", 7001},
    {"ssl_21_0d_tail", "\x21" + kDigits + "\x0d" + "ignored tail", true, true, true, "192.0.2.10", 7001},
    {"plain_any_17", "\x25" + kDigits + "X", true, true, false, "192.0.2.10", 7001},
    {"plain_zero_17", "\x25" + kDigits + std::string(1, '\0'), true, true, false, "192.0.2.10", 7001},
    {"ssl_0d_25", "\x0d" + kDigits + "\x25", false, false, false, "", 0},
    {"ssl_21_25", "\x21" + kDigits + "\x25", false, false, false, "", 0},
    {"ssl_17_bytes", "\x21" + kDigits, false, false, false, "", 0},
    {"plain_17_bytes", "\x25" + kDigits, false, false, false, "", 0},
    {"other_kind", "\x02" + kDigits + "\x0d", false, false, false, "", 0},
    {"letter_in_group", "\x21" "19A000002010" "7001" "\x21", true, false, false, "", 0},
    {"sign_in_group", "\x25" "-01000002010" "7001" "X", true, false, false, "", 0},
    {"blank_in_port", "\x25" "192000002010" " 701" "X", true, false, false, "", 0},
    {"zero_inside_digits", "\x21" "192" + std::string(1, '\0') + "00002010" "7001" "\x21", true, false, false, "", 0},
    {"zero_ends_port", "\x25" "192000002010" "70" + std::string(2, '\0') + "X", true, false, false, "", 0},
    {"all_zero_bytes", "\x25" + std::string(17, '\0'), true, false, false, "", 0},
    {"group_256", "\x21" "256000002010" "7001" "\x21", true, true, true, "256.0.2.10", 7001},
    {"all_nines", "\x25" "999999999999" "9999" "X", true, true, false, "999.999.999.999", 9999},
    {"leading_zeros", "\x25" "000010001000" "0080" "X", true, true, false, "0.10.1.0", 80},
};

void PrintTo(const ConnectRow& row, std::ostream* pOs) { *pOs << row.pszName; }

class ConnectRequestTest : public ::testing::TestWithParam<ConnectRow> {};

TEST_P(ConnectRequestTest, RecognisesAndParses)
{
    const ConnectRow& row = GetParam();
    const std::vector<unsigned char> frame = Frame(row.strFrame);
    const int nCount = static_cast<int>(frame.size());
    EXPECT_EQ(IsConnectRequest(frame.data(), nCount), row.bRequest);

    ConnectTarget target;
    std::memset(&target, 0x5A, sizeof target);  // a failed parse must leave this alone
    const ConnectTarget untouched = target;
    ASSERT_EQ(ParseConnectRequest(frame.data(), nCount, &target), row.bParsed);
    if (!row.bParsed) {
        EXPECT_EQ(std::memcmp(&target, &untouched, sizeof target), 0);
        return;
    }
    EXPECT_EQ(target.bSsl, row.bSsl);
    char szExpected[HOST_ADDR_SIZE] = {};  // the address field is zero-padded to its end
    std::strcpy(szExpected, row.pszAddr);
    EXPECT_EQ(std::memcmp(target.szHostAddr, szExpected, HOST_ADDR_SIZE), 0) << target.szHostAddr;
    EXPECT_EQ(target.nHostPort, row.nPort);
}

INSTANTIATE_TEST_SUITE_P(Frames, ConnectRequestTest, ::testing::ValuesIn(kConnectRows),
                         [](const auto& info) { return std::string(info.param.pszName); });

TEST(ConnectRequest, CountGovernsNotTheBuffer)
{
    // An 18-byte request seen with a count of 17 is not a request; a full 4096-byte frame is.
    std::vector<unsigned char> frame = Frame("\x21" + kDigits + "\x21");
    EXPECT_FALSE(IsConnectRequest(frame.data(), 17));
    frame.resize(4096, 0xFF);
    ConnectTarget target;
    EXPECT_TRUE(ParseConnectRequest(frame.data(), 4096, &target));
    EXPECT_STREQ(target.szHostAddr, "192.0.2.10");
}

TEST(IsAllDigits, Texts)
{
    const struct { const char* pszText; int nExpected; } rows[] = {
        {"", 1}, {"0123456789", 1}, {"12a", 0}, {"/", 0}, {":", 0}, {" 1", 0},
        {"1\xB0", 0}, {"+1", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsAllDigits(row.pszText), row.nExpected) << '"' << row.pszText << '"';
}

TEST(RouteFrame, EveryFirstByte)
{
    const std::map<int, FrameRoute> special = {
        {0x10, ROUTE_CLOSE}, {0x19, ROUTE_CLOSE},
        {0x0D, ROUTE_NONE}, {0x21, ROUTE_NONE}, {0x25, ROUTE_NONE},
    };
    for (int by = 0; by < 256; ++by) {
        const auto it = special.find(by);
        const FrameRoute expected = it == special.end() ? ROUTE_SEND : it->second;
        EXPECT_EQ(RouteFrame(static_cast<unsigned char>(by)), expected) << "byte " << by;
    }
}

// A burst cut into frames: the lengths FirstFrameLength gives, applied one after the other.
struct SplitRow {
    const char* pszName;
    std::string strBurst;
    std::vector<int> frames;
};

const std::string kRequest = "\x25" + kDigits + "X";
const std::string kTlsRequest = "\x21" + kDigits + "\x21";

const SplitRow kSplitRows[] = {
    {"dle_alone", "\x10", {1}},
    {"dle_then_request", "\x10" + kRequest, {1, 18}},
    {"eom_then_tls_request", "\x19" + kTlsRequest, {1, 18}},
    {"dle_eom_dle", "\x10\x19\x10", {1, 1, 1}},
    {"eom_then_message", "\x19\x02" "AB\x03", {1, 4}},
    {"dle_then_zero_bytes", "\x10" + std::string(3, '\0'), {1, 3}},
    {"request_alone", kRequest, {18}},
    {"request_then_message", kRequest + "\x02" "AB\x03", {18, 4}},
    {"request_then_ack", kTlsRequest + "\x06", {18, 1}},
    {"request_then_letter_t", kRequest + "T0123", {18, 5}},
    {"request_then_dle", kRequest + "\x10", {18, 1}},
    {"request_then_request", kRequest + kTlsRequest, {18, 18}},
    {"request_then_request_then_eom", kTlsRequest + kRequest + "\x19", {18, 18, 1}},
    {"bad_digits_then_dle", "\x25" "19A000002010" "7001" "X" "\x10", {18, 1}},
    // Bytes a request ignores: filler, or a frame the relay would not act on.
    {"request_then_crlf", kRequest + "\r\n", {20}},
    {"request_then_zero", kRequest + std::string(1, '\0'), {19}},
    {"request_then_text", kTlsRequest + "ignored tail", {30}},
    {"request_then_short_request", kRequest + kRequest.substr(0, 17), {35}},
    {"request_then_eot", kRequest + "\x04", {19}},
    // Not a request (byte 17, length): no length known, the whole burst.
    {"wrong_check_byte_then_dle", "\x21" + kDigits + "\x25" "\x10", {19}},
    {"short_request_then_dle", "\x21" + kDigits + "\x10", {18}},
    // A message runs to the end of the burst, whatever it holds.
    {"message_with_dle_inside", "\x02" "A\x10" + kRequest, {21}},
    {"eot_then_dle", "\x04\x10", {2}},
};

void PrintTo(const SplitRow& row, std::ostream* pOs) { *pOs << row.pszName; }

class FrameSplitTest : public ::testing::TestWithParam<SplitRow> {};

TEST_P(FrameSplitTest, CutsWhereTheFirstFrameEnds)
{
    const SplitRow& row = GetParam();
    std::vector<int> frames;
    size_t nAt = 0;
    while (nAt < row.strBurst.size()) {
        // Each rest in a buffer of its exact length: a read past it is an ASan fault.
        const std::vector<unsigned char> rest = Frame(row.strBurst.substr(nAt));
        const int nLength = FirstFrameLength(rest.data(), static_cast<int>(rest.size()));
        ASSERT_GE(nLength, 1);
        ASSERT_LE(nLength, static_cast<int>(rest.size()));
        frames.push_back(nLength);
        nAt += static_cast<size_t>(nLength);
    }
    EXPECT_EQ(frames, row.frames);
}

INSTANTIATE_TEST_SUITE_P(Bursts, FrameSplitTest, ::testing::ValuesIn(kSplitRows),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
