// Fuzz target: MaskCardData on any bytes. Besides the sanitizers it checks what masking
// promises: the length never changes; a byte only changes into '*' or into a byte with an F
// nibble; and no card number standing alone survives whole: every run of 13 to 19 ASCII
// digits with a non-digit (or the block's edge) on each side that passes Luhn and starts
// with a digit other than 0 and is no date and time (YYYYMMDDhhmmss) has a changed digit
// afterwards (outside the 16 address digits of a terminal frame that starts like a connect
// request). The first input byte says where the block came from (even: the terminal), the
// rest is the block.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/card_mask.h"

namespace {

void Check(bool bOk, const char* pszWhat)
{
    if (!bOk) {
        std::fprintf(stderr, "invariant broken: %s\n", pszWhat);
        std::abort();
    }
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool StartsLikeConnectRequest(const std::string& s)
{
    if (s.size() < 17 || (s[0] != 0x0D && s[0] != 0x21 && s[0] != 0x25))
        return false;
    for (size_t i = 1; i < 17; ++i) {
        if (!IsDigit(s[i]))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize == 0)
        return 0;
    const bool bTerminal = pData[0] % 2 == 0;
    const std::string strIn(reinterpret_cast<const char*>(pData) + 1, nSize - 1);
    std::string strOut = strIn;
    MaskCardData(strOut, bTerminal);

    Check(strOut.size() == strIn.size(), "length unchanged");
    for (size_t i = 0; i < strIn.size(); ++i) {
        const unsigned char by = static_cast<unsigned char>(strOut[i]);
        Check(strOut[i] == strIn[i] || by == '*' || (by & 0xF0) == 0xF0 || (by & 0x0F) == 0x0F,
              "bytes only become '*' or get an F nibble");
    }

    const size_t nFrom = bTerminal && StartsLikeConnectRequest(strIn) ? 17 : 0;
    size_t i = 0;
    while (i < strIn.size()) {
        if (!IsDigit(strIn[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < strIn.size() && IsDigit(strIn[j]))
            ++j;
        const size_t nLen = j - i;
        if (i >= nFrom && nLen >= 13 && nLen <= 19 && strIn[i] != '0' &&
            !IsTimestampRun(&strIn[i], nLen)) {
            std::vector<unsigned char> digits;
            for (size_t k = i; k < j; ++k)
                digits.push_back(static_cast<unsigned char>(strIn[k] - '0'));
            if (PassesLuhn(digits.data(), digits.size()))
                Check(strOut.compare(i, nLen, strIn, i, nLen) != 0, "card number left whole");
        }
        i = j;
    }
    return 0;
}
