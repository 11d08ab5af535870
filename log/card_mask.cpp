// Card data masking; see card_mask.h for what counts as a card number and what is masked.
//
// Two passes over the block: ASCII first, so that the '*' it writes (0x2A, a non-decimal low
// nibble) breaks the packed-decimal runs an ASCII digit string would otherwise look like; then
// packed decimal, nibble by nibble.
#include "log/card_mask.h"

#include <algorithm>
#include <vector>

#include "log/log_record.h"

namespace {

constexpr size_t PAN_MIN = 13;
constexpr size_t PAN_MAX = 19;
constexpr size_t KEEP_FIRST = 6;
constexpr size_t KEEP_LAST = 4;
constexpr size_t TRACK2_REST_MAX = 40;   // characters after '=' masked at most
constexpr size_t TRACK1_REST_MAX = 79;   // characters after '^' masked at most
constexpr size_t PACKED_TRACK_NIBBLES = 38;  // 19 bytes of track 2 equivalent data
constexpr unsigned char NIBBLE_SEPARATOR = 0xD;
constexpr size_t CONNECT_ADDRESS_END = 17;  // bytes 1 to 16 of a connect request: the address

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A block that starts like a connect request carries the host's address in bytes 1 to 16.
bool StartsLikeConnectRequest(const std::string& s)
{
    if (s.size() < CONNECT_ADDRESS_END)
        return false;
    const unsigned char byKind = static_cast<unsigned char>(s[0]);
    if (byKind != 0x0D && byKind != 0x21 && byKind != 0x25)
        return false;
    return std::all_of(s.begin() + 1, s.begin() + CONNECT_ADDRESS_END, IsDigit);
}

// -- ASCII --------------------------------------------------------------------------------

struct Group {
    size_t nBegin;  // first digit
    size_t nEnd;    // one past the last digit
};

// 13 to 19 digits that pass Luhn and do not start with 0 (no card issuer's number does; a
// zero-padded amount or counter often does).
bool IsCardNumber(const std::vector<unsigned char>& digits)
{
    return digits.size() >= PAN_MIN && digits.size() <= PAN_MAX && digits[0] != 0 &&
           PassesLuhn(digits.data(), digits.size());
}

bool IsCardNumberAt(const std::string& s, const std::vector<size_t>& positions)
{
    std::vector<unsigned char> digits;
    digits.reserve(positions.size());
    for (size_t nPos : positions)
        digits.push_back(static_cast<unsigned char>(s[nPos] - '0'));
    return IsCardNumber(digits);
}

void MaskMiddle(std::string& s, const std::vector<size_t>& positions)
{
    for (size_t i = KEEP_FIRST; i + KEEP_LAST < positions.size(); ++i)
        s[positions[i]] = '*';
}

// Masks the track data after a card number that ends just before nSep, when nSep holds '='
// or '^'. Answers the position after the masked data (nSep when there is no track data).
size_t MaskTrackRest(std::string& s, size_t nSep)
{
    if (nSep >= s.size() || (s[nSep] != '=' && s[nSep] != '^'))
        return nSep;
    const size_t nLimit = nSep + 1 + (s[nSep] == '=' ? TRACK2_REST_MAX : TRACK1_REST_MAX);
    size_t j = nSep + 1;
    for (; j < s.size() && j < nLimit; ++j) {
        const unsigned char by = static_cast<unsigned char>(s[j]);
        if (by == '?' || by < 0x20)
            break;
        s[j] = '*';
    }
    return j;
}

// Digit positions of groups g..h.
std::vector<size_t> DigitsOf(const std::vector<Group>& groups, size_t g, size_t h)
{
    std::vector<size_t> positions;
    for (size_t k = g; k <= h; ++k) {
        for (size_t p = groups[k].nBegin; p < groups[k].nEnd; ++p)
            positions.push_back(p);
    }
    return positions;
}

// The card number that ends where a track separator follows the last group: the longest
// Luhn-valid 13 to 19 final digits of that group. Empty when there is none.
std::vector<size_t> TrackCardNumber(const std::string& s, const Group& last)
{
    const size_t nLen = last.nEnd - last.nBegin;
    for (size_t n = std::min(nLen, PAN_MAX); n >= PAN_MIN; --n) {
        std::vector<size_t> positions;
        for (size_t p = last.nEnd - n; p < last.nEnd; ++p)
            positions.push_back(p);
        if (IsCardNumberAt(s, positions))
            return positions;
    }
    return {};
}

// Masks the card numbers among one run of digit groups; answers where scanning goes on.
size_t MaskRun(std::string& s, const std::vector<Group>& groups)
{
    size_t nResume = groups.back().nEnd;
    const size_t nLast = groups.size() - 1;
    size_t g = 0;
    while (g < groups.size()) {
        bool bFound = false;
        size_t nDigits = 0;
        for (size_t k = g; k < groups.size(); ++k)
            nDigits += groups[k].nEnd - groups[k].nBegin;
        // Longest window of whole groups from g first.
        for (size_t h = groups.size(); h-- > g;) {
            if (nDigits >= PAN_MIN && nDigits <= PAN_MAX) {
                const std::vector<size_t> positions = DigitsOf(groups, g, h);
                if (IsCardNumberAt(s, positions)) {
                    MaskMiddle(s, positions);
                    const size_t nTrackEnd = MaskTrackRest(s, groups[h].nEnd);
                    if (h == nLast)
                        nResume = std::max(nResume, nTrackEnd);
                    g = h + 1;
                    bFound = true;
                    break;
                }
            }
            nDigits -= groups[h].nEnd - groups[h].nBegin;
            if (nDigits < PAN_MIN)
                break;
        }
        if (bFound)
            continue;
        const size_t nSep = groups[g].nEnd;
        if (g == nLast && nSep < s.size() && (s[nSep] == '=' || s[nSep] == '^')) {
            const std::vector<size_t> positions = TrackCardNumber(s, groups[g]);
            if (!positions.empty()) {
                MaskMiddle(s, positions);
                nResume = std::max(nResume, MaskTrackRest(s, nSep));
            }
        }
        ++g;
    }
    return nResume;
}

void MaskAscii(std::string& s, size_t nFrom)
{
    size_t i = nFrom;
    while (i < s.size()) {
        if (!IsDigit(s[i])) {
            ++i;
            continue;
        }
        std::vector<Group> groups;
        size_t p = i;
        for (;;) {
            size_t q = p;
            while (q < s.size() && IsDigit(s[q]))
                ++q;
            groups.push_back({p, q});
            if (q + 1 < s.size() && (s[q] == ' ' || s[q] == '-') && IsDigit(s[q + 1])) {
                p = q + 1;
                continue;
            }
            break;
        }
        i = MaskRun(s, groups);
    }
}

// -- Packed decimal -----------------------------------------------------------------------

class Nibbles {
public:
    explicit Nibbles(std::string& s) : m_s(s) {}
    size_t Size() const { return m_s.size() * 2; }
    unsigned char At(size_t k) const
    {
        const unsigned char by = static_cast<unsigned char>(m_s[k / 2]);
        return k % 2 == 0 ? by >> 4 : by & 0x0F;
    }
    void SetF(size_t k)
    {
        m_s[k / 2] = static_cast<char>(static_cast<unsigned char>(m_s[k / 2]) |
                                       (k % 2 == 0 ? 0xF0 : 0x0F));
    }
    // True when every whole byte in nibbles [nBegin, nEnd) is an ASCII digit (and there is one).
    bool WholeBytesAreAsciiDigits(size_t nBegin, size_t nEnd) const
    {
        const size_t nFirst = (nBegin + 1) / 2;
        const size_t nStop = nEnd / 2;
        if (nFirst >= nStop)
            return false;
        return std::all_of(m_s.begin() + nFirst, m_s.begin() + nStop, IsDigit);
    }

private:
    std::string& m_s;
};

// Tries the card numbers that end before the separator nibble at nSep, nRun decimal nibbles
// preceding it. Answers the nibble after the masked field, or 0 when nothing was masked.
size_t MaskPackedAt(Nibbles& nib, size_t nSep, size_t nRun)
{
    for (size_t n = std::min(nRun, PAN_MAX); n >= PAN_MIN; --n) {
        const size_t nStart = nSep - n;
        if (nib.WholeBytesAreAsciiDigits(nStart, nSep))
            continue;
        std::vector<unsigned char> digits;
        for (size_t k = nStart; k < nSep; ++k)
            digits.push_back(nib.At(k));
        if (!IsCardNumber(digits))
            continue;
        for (size_t k = nStart + KEEP_FIRST; k + KEEP_LAST < nSep; ++k)
            nib.SetF(k);
        const size_t nLimit = nStart + PACKED_TRACK_NIBBLES;
        size_t k = nSep + 1;
        for (; k < nib.Size() && k < nLimit && nib.At(k) <= 9; ++k)
            nib.SetF(k);
        return k;
    }
    return 0;
}

void MaskPacked(std::string& s, size_t nFromByte)
{
    Nibbles nib(s);
    size_t nRun = 0;  // decimal nibbles directly before k
    size_t k = nFromByte * 2;
    while (k < nib.Size()) {
        const unsigned char v = nib.At(k);
        if (v == NIBBLE_SEPARATOR && nRun >= PAN_MIN) {
            const size_t nNext = MaskPackedAt(nib, k, nRun);
            if (nNext != 0) {
                k = nNext;
                nRun = 0;
                continue;
            }
        }
        nRun = v <= 9 ? nRun + 1 : 0;
        ++k;
    }
}

}  // namespace

bool PassesLuhn(const unsigned char* pDigits, size_t nDigits)
{
    unsigned nSum = 0;
    for (size_t i = 0; i < nDigits; ++i) {
        unsigned d = pDigits[nDigits - 1 - i];
        if (i % 2 == 1) {
            d *= 2;
            if (d > 9)
                d -= 9;
        }
        nSum += d;
    }
    return nDigits > 0 && nSum % 10 == 0;
}

void MaskCardData(std::string& strBytes)
{
    const size_t nFrom = StartsLikeConnectRequest(strBytes) ? CONNECT_ADDRESS_END : 0;
    MaskAscii(strBytes, nFrom);
    MaskPacked(strBytes, nFrom);
}

std::string MaskedLogText(int nKind, int nCount, const std::string& strText)
{
    if (nKind == LOG_STATUS)
        return strText;
    const size_t nShown = static_cast<size_t>(std::clamp(nCount, 0, LOG_MAX_BLOCK));
    std::string strCopy = strText.substr(0, nShown);
    MaskCardData(strCopy);
    return strCopy;
}
