// Card data masking: one table of blocks and what the log may show of them, written out by
// hand (well-known test card numbers only). True positives in ASCII (plain, grouped, track 1
// and 2, behind a length prefix, before an expiry, hex-text track 2) and packed decimal
// (track 2, tag 5A), the 12/13/19/20-digit boundaries, and the bytes that must stay: amounts,
// dates, approval numbers, tags, Luhn failures, text that reads as packed digits, connect
// requests (terminal frames only).
#include <string>

#include <gtest/gtest.h>

#include "log/card_mask.h"
#include "log/log_record.h"

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

struct MaskRow {
    const char* pszName;
    std::string strIn;
    std::string strOut;  // "" = unchanged
    bool bFromHost = false;
};

std::string Hex(const char* pszHex)
{
    std::string s;
    for (const char* p = pszHex; p[0] != '\0' && p[1] != '\0'; p += 2)
        s.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
    return s;
}

const MaskRow kMaskRows[] = {
    // ASCII card numbers.
    {"plain_16", "4111111111111111", "411111******1111"},
    {"in_text", "A5555555555554444B6011111111111117", "A555555******4444B601111******1117"},
    {"blanks", "PAN=4111 1111 1111 1111;", "PAN=4111 11** **** 1111;"},
    {"hyphens", "4012-8888-8888-1881", "4012-88**-****-1881"},
    {"amex_uneven_groups", "3782 822463 10005", "3782 82**** *0005"},
    {"after_terminal_id", "TID 12345678 4111111111111111", "TID 12345678 411111******1111"},
    {"trailing_separator", "4111111111111111- ", "411111******1111- "},
    // Boundaries: 12 and 20 Luhn-valid digits stay, 13 and 19 are masked.
    {"digits_12", "411111111117", ""},
    {"digits_13", "4222222222222", "422222***2222"},
    {"digits_19", "4111111111111111110", "411111*********1110"},
    {"digits_20", "41111111111111111115", ""},
    {"double_blank_splits", "4111  1111 1111 1111", ""},
    // Not card numbers.
    {"luhn_fails", "4111111111111112", ""},
    {"amount_12", "AMT=000000010000", ""},
    {"zero_padded_13", "0000000000000", ""},
    {"date_time", "20261208 153012", ""},
    {"connect_request", "\x21" "1270000000012006" "\x21", ""},
    {"ascii_digits_before_equals", "12345678901234=", ""},
    // Track data.
    {"track2", ";4111111111111111=25121010000012300000?5",
     ";411111******1111=********************?5"},
    {"track1", "%B4111111111111111^TEST/CARD^2512101000000000?",
     "%B411111******1111^**************************?"},
    {"track2_length_prefix", "374111111111111111=2512101?", "37411111******1111=*******?"},
    {"track2_ends_at_control", "4111111111111111=2512\x1cNEXT", "411111******1111=****\x1cNEXT"},
    // Packed decimal: track 2 equivalent data, masked with F up to the end of the field.
    {"bcd_track2",
     Bytes({0x41, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0xD2, 0x51, 0x21, 0x01, 0x12, 0x34,
            0x56, 0x7F}),
     Bytes({0x41, 0x11, 0x11, 0xFF, 0xFF, 0xFF, 0x11, 0x11, 0xDF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
            0xFF, 0xFF})},
    {"bcd_after_tag_57",
     Bytes({0x57, 0x10, 0x41, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0xD2, 0x51, 0x21, 0x01,
            0x12, 0x34, 0x56, 0x7F, 0x5F, 0x20}),
     Bytes({0x57, 0x10, 0x41, 0x11, 0x11, 0xFF, 0xFF, 0xFF, 0x11, 0x11, 0xDF, 0xFF, 0xFF, 0xFF,
            0xFF, 0xFF, 0xFF, 0xFF, 0x5F, 0x20})},
    {"bcd_amex_odd",
     Bytes({0x37, 0x82, 0x82, 0x24, 0x63, 0x10, 0x00, 0x5D, 0x25, 0x12, 0x10, 0x1F}),
     Bytes({0x37, 0x82, 0x82, 0xFF, 0xFF, 0xF0, 0x00, 0x5D, 0xFF, 0xFF, 0xFF, 0xFF})},
    {"bcd_field_ends_at_hex_letter",
     Bytes({0x41, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0xD2, 0x51, 0x21, 0x01, 0xAB, 0x12}),
     Bytes({0x41, 0x11, 0x11, 0xFF, 0xFF, 0xFF, 0x11, 0x11, 0xDF, 0xFF, 0xFF, 0xFF, 0xAB, 0x12})},
    // 16 + D + 25 decimal nibbles: the field ends 38 nibbles after the first digit.
    {"bcd_longest_field",
     Bytes({0x41, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0xD2, 0x51, 0x21, 0x23, 0x89, 0x12,
            0x34, 0x56, 0x78, 0x91, 0x23, 0x45, 0x67}),
     Bytes({0x41, 0x11, 0x11, 0xFF, 0xFF, 0xFF, 0x11, 0x11, 0xDF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x45, 0x67})},
    {"bcd_13_luhn_fails", Bytes({0x42, 0x22, 0x22, 0x22, 0x22, 0x22, 0x3D, 0x25, 0x12}), ""},
    {"bcd_12_nibbles", Bytes({0x41, 0x11, 0x11, 0x11, 0x11, 0x17, 0xD2, 0x51}), ""},
    {"bcd_without_separator", Bytes({0x41, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x25}), ""},
    // A host's answer: the card number masked, the approval number after it as sent (its
    // letters and digits read as decimal nibbles and '=' as the separator D).
    {"answer_key_value", "\x02" "D1 0210 RC=00 CARD=5555555555554444 AUTH=83215507\x03",
     "\x02" "D1 0210 RC=00 CARD=555555******4444 AUTH=83215507\x03", true},
    {"fields_next_to_each_other", "EXP2512AMT000000023000 TID=1234567890 F4=000000015000", ""},
    {"emv_tag_57_then_amount_tag",
     Hex("5710" "4111111111111111d251210112345678" "9f0206000000023000"),
     Hex("5710" "411111ffffff1111dfffffffffffffff" "9f0206000000023000")},
    // Inside a longer run, where its layout says so; never a bare window of a longer run.
    {"length_prefix", "PAN164111111111111111;", "PAN16411111******1111;"},
    {"expiry_behind", "C41111111111111112512 ", "C411111******11112512 "},
    {"prefix_and_expiry", "1641111111111111112512", "16411111******11112512"},
    {"prefix_not_its_length", "154111111111111111", ""},
    {"month_13_no_expiry", "41111111111111112513", ""},
    {"timestamp_14", "DATE=20261208153001", ""},
    {"date_blank_time", "20261208 153001", ""},
    {"track2_hex_text", "574111111111111111D25121010000012300000F",
     "57411111******1111D********************F"},
    {"track2_rest_digits_only", "4111111111111111=2512101 AMT=000000023000",
     "411111******1111=******* AMT=000000023000"},
    // Packed: tag 5A (F pad of an odd length stays), and track 2 whose field length byte
    // stops the masking before a packed amount.
    {"tag_5a", Hex("5a084111111111111111" "5f3401"), Hex("5a08411111ffffff1111" "5f3401")},
    {"tag_5a_amex_padded", Hex("5a08378282246310005f"), Hex("5a08378282fffff0005f")},
    {"tag_5a_not_padded_with_f", Hex("5a084111111111111111"), Hex("5a08411111ffffff1111")},
    {"tag_5a_length_too_long", Hex("5a0b41111111111111111fffff"), ""},
    {"bcd_field_length_byte", Hex("0210" "4111111111111111d251210112345678" "000000023000"),
     Hex("0210" "411111ffffff1111dfffffffffffffff" "000000023000")},
    {"bcd_after_tag_57_zero_bytes", Hex("5710" "4000000000000002d25121010000001f"),
     Hex("5710" "400000ffffff0002dfffffffffffffff")},
    // Packed digits need a track behind the D (expiry month 01..12, a service code) and,
    // without a length byte, a run of their own that is not text and ends in an F pad.
    {"bcd_no_expiry_behind", Hex("4111111111111111d2513101ff"), ""},
    {"bcd_service_code_0", Hex("4111111111111111d2512001ff"), ""},
    {"bcd_printable_text", "XUUUUUUDD\xD2\x51\x21\x01\xFF", ""},
    {"bcd_after_length_byte_printable", "\x10UUUUUUDD\xD2\x51\x21\x01\x12\x34\x56\x7F",
     "\x10UUU\xFF\xFF\xFF" "DD\xDF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"},
    {"bcd_mid_block_without_pad", Hex("aa4111111111111111d2512101234568cc"), ""},
    // Mid-block, the F pad fills a fixed-width field: to its 19th byte, or to the block's end.
    {"bcd_mid_block_field_of_19_bytes", Hex("aa4111111111111111d25121011234567890123fcc"),
     Hex("aa411111ffffff1111dfffffffffffffffffffffcc")},
    {"bcd_mid_block_pad_to_block_end", Hex("aa4111111111111111d251210123456fff"),
     Hex("aa411111ffffff1111dfffffffffffffff")},
    // A field between separators: FS before it, FS or ETX right behind its F pad.
    {"bcd_between_separators", Hex("1c4111111111111111d25121011234567f03"),
     Hex("1c411111ffffff1111dfffffffffffffff03")},
    {"bcd_after_fs_before_binary", Hex("1c4111111111111111d25121011234567f9f"), ""},
    // Binary bytes that read as a packed track with a lone F behind it, which is no pad: EMV
    // tags (5F34 01 02, 82 02 ..., 95 05 ... 9F36) and noise.
    {"bcd_lone_f_of_a_tag", Hex("5f3401028202056d950591126fa9d19f3602"), ""},
    {"bcd_lone_f_in_noise", Hex("95a41d43482577617094d8006933f2f175"), ""},
    // A length byte whose field ends before the expiry date and service code: the tail of a
    // packed track split across two blocks, then a packed amount and a MAC.
    {"bcd_field_too_short_for_track",
     Hex("9447377d35022011862220210941000000800400d540317177cfb80a03"), ""},
    // Bytes 5A and a length at the end of binary data, then "AUTH" and digits as text.
    {"tag_5a_runs_on_into_text", Hex("c95a09644231" "41555448" "3632313239353632" "000000896500"),
     ""},
    {"tag_5a_then_tag_57", Hex("5a085555555555554444" "57115555555555554444d2512101123456789f"),
     Hex("5a08555555ffffff4444" "5711555555ffffff4444dfffffffffffffffff")},
    // The connect-request exemption holds for terminal frames only.
    {"host_block_like_connect_request", "!4111111111111111!", "!411111******1111!", true},
};

class MaskTable : public ::testing::TestWithParam<MaskRow> {};

TEST_P(MaskTable, ShowsOnlyWhatTheLogMay)
{
    const MaskRow& row = GetParam();
    std::string strBytes = row.strIn;
    MaskCardData(strBytes, !row.bFromHost);
    EXPECT_EQ(strBytes, row.strOut.empty() ? row.strIn : row.strOut);
}

INSTANTIATE_TEST_SUITE_P(Blocks, MaskTable, ::testing::ValuesIn(kMaskRows),
                         [](const ::testing::TestParamInfo<MaskRow>& info) {
                             return std::string(info.param.pszName);
                         });

// What the log renders of a record: blocks masked within their count, status texts never.
TEST(MaskedLogText, MasksBlocksWithinTheirCountAndLeavesStatusTexts)
{
    const std::string strCard = "4111111111111111";
    EXPECT_EQ(MaskedLogText(LOG_CAT_TO_VAN, 16, strCard), "411111******1111");
    EXPECT_EQ(MaskedLogText(LOG_VAN_TO_CAT, 16, strCard), "411111******1111");
    // A count that cuts the number leaves too few digits to be one, and shows no more.
    EXPECT_EQ(MaskedLogText(LOG_CAT_TO_VAN, 10, strCard), "4111111111");
    EXPECT_EQ(MaskedLogText(LOG_STATUS, 0, strCard), strCard);
    // Blocks are taken by their count: the zero bytes of a packed card number end nothing.
    const std::string strPacked = Hex("5a084000000000000002");
    const std::string strBlock = BlockText(
        reinterpret_cast<const unsigned char*>(strPacked.data()), static_cast<int>(strPacked.size()));
    EXPECT_EQ(MaskedLogText(LOG_VAN_TO_CAT, 10, strBlock), Hex("5a08400000ffffff0002"));
}

}  // namespace
