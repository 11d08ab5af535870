// Window-procedure thunk encodings, byte for byte, including a 32-bit jump backwards (the
// displacement wraps) and addresses whose bytes are all different, so a swapped or shifted
// field shows. The 32-bit thunk cannot run in the native build; the x86_64 one runs in every
// hooked window of the Windows tests.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "log/thunk_code.h"

namespace {

std::vector<uint8_t> Bytes(const void* p, size_t n)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

struct Thunk32Row {
    const char* pszName;
    uint32_t slot, object, target;
    std::vector<uint8_t> expected;
};

class ThunkCode32 : public ::testing::TestWithParam<Thunk32Row> {};

TEST_P(ThunkCode32, EncodesMovAndRelativeJump)
{
    const Thunk32Row& row = GetParam();
    const Thunk32 code = MakeThunk32(row.slot, row.object, row.target);
    EXPECT_EQ(Bytes(&code, sizeof code), row.expected);
}

const Thunk32Row kThunk32Rows[] = {
    // 0x00402000 - (0x00401000 + 13) = 0x00000FF3
    {"forward", 0x00401000u, 0x12345678u, 0x00402000u,
     {0xC7, 0x44, 0x24, 0x04, 0x78, 0x56, 0x34, 0x12, 0xE9, 0xF3, 0x0F, 0x00, 0x00}},
    // 0x00401000 - (0x10000000 + 13) = -0x0FBFF00D = 0xF0400FF3
    {"backward", 0x10000000u, 0x00A1B2C3u, 0x00401000u,
     {0xC7, 0x44, 0x24, 0x04, 0xC3, 0xB2, 0xA1, 0x00, 0xE9, 0xF3, 0x0F, 0x40, 0xF0}},
    // A target right behind the thunk: displacement 0.
    {"adjacent", 0x7FFE0000u, 0xDEADBEEFu, 0x7FFE000Du,
     {0xC7, 0x44, 0x24, 0x04, 0xEF, 0xBE, 0xAD, 0xDE, 0xE9, 0x00, 0x00, 0x00, 0x00}},
};
INSTANTIATE_TEST_SUITE_P(Rows, ThunkCode32, ::testing::ValuesIn(kThunk32Rows),
                         [](const ::testing::TestParamInfo<Thunk32Row>& info) { return info.param.pszName; });

TEST(ThunkCode64, EncodesTwoAbsoluteMovesAndJumpThroughRax)
{
    const Thunk64 code = MakeThunk64(0x0000000140A1B2C3ull, 0x00007FF612345678ull);
    const std::vector<uint8_t> expected = {
        0x48, 0xB9, 0xC3, 0xB2, 0xA1, 0x40, 0x01, 0x00, 0x00, 0x00,
        0x48, 0xB8, 0x78, 0x56, 0x34, 0x12, 0xF6, 0x7F, 0x00, 0x00,
        0xFF, 0xE0};
    EXPECT_EQ(Bytes(&code, sizeof code), expected);
}

}  // namespace
