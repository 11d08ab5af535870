// Card data masking; see card_mask.h for what counts as a card number and what is masked.
//
// Two passes over the block: ASCII first, then packed decimal, byte-aligned and never inside
// printable text. The '*' the ASCII pass writes is printable text too, so what it masked is
// never read again as packed digits.
#include "log/card_mask.h"

#include <algorithm>
#include <vector>

#include "log/log_record.h"

namespace {

constexpr size_t PAN_MIN = 13;
constexpr size_t PAN_MAX = 19;
constexpr size_t KEEP_FIRST = 6;
constexpr size_t KEEP_LAST = 4;
constexpr size_t TRACK2_REST_MAX = 40;   // characters after '=' or 'D' masked at most
constexpr size_t TRACK1_REST_MAX = 79;   // characters after '^' masked at most
constexpr size_t PACKED_TRACK_BYTES = 19;  // the longest track 2 equivalent data
constexpr unsigned char NIBBLE_SEPARATOR = 0xD;
constexpr unsigned char NIBBLE_PAD = 0xF;
constexpr size_t CONNECT_ADDRESS_END = 17;  // bytes 1 to 16 of a connect request: the address
constexpr unsigned char TAG_PAN = 0x5A;     // EMV: application primary account number
constexpr size_t TAG_PAN_MIN_BYTES = 7;
constexpr size_t TAG_PAN_MAX_BYTES = 10;
constexpr size_t GROUP_FIRST = 4;           // grouped numbers: the first group's digits
constexpr size_t GROUP_MIN = 3;             // and every other group's
constexpr size_t GROUP_MAX = 6;
constexpr size_t EXPIRY_DIGITS = 4;
constexpr size_t PREFIX_DIGITS = 2;
constexpr size_t SERVICE_CODE_DIGITS = 3;
// Packed card number lengths, the common ones first: the order decides between two lengths
// that fit the same separator when no length byte tells.
constexpr size_t PACKED_LENGTH_ORDER[] = {16, 15, 19, 14, 13, 17, 18};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsPrintable(unsigned char by)
{
    return by >= 0x20 && by <= 0x7E;
}

int DigitsValue(const std::string& s, size_t nAt, size_t nDigits)
{
    int nValue = 0;
    for (size_t i = 0; i < nDigits; ++i)
        nValue = nValue * 10 + (s[nAt + i] - '0');
    return nValue;
}

// A terminal frame that starts like a connect request carries the host's address in bytes 1
// to 16.
bool StartsLikeConnectRequest(const std::string& s)
{
    if (s.size() < CONNECT_ADDRESS_END)
        return false;
    const unsigned char byKind = static_cast<unsigned char>(s[0]);
    if (byKind != 0x0D && byKind != 0x21 && byKind != 0x25)
        return false;
    return std::all_of(s.begin() + 1, s.begin() + CONNECT_ADDRESS_END, IsDigit);
}

bool IsCardNumber(const std::vector<unsigned char>& digits)
{
    return digits.size() >= PAN_MIN && digits.size() <= PAN_MAX && digits[0] != 0 &&
           PassesLuhn(digits.data(), digits.size());
}

// -- ASCII --------------------------------------------------------------------------------

struct Group {
    size_t nBegin;  // first digit
    size_t nEnd;    // one past the last digit
    size_t Size() const { return nEnd - nBegin; }
};

bool IsCardNumberAt(const std::string& s, const std::vector<size_t>& positions)
{
    std::vector<unsigned char> digits;
    digits.reserve(positions.size());
    for (size_t nPos : positions)
        digits.push_back(static_cast<unsigned char>(s[nPos] - '0'));
    return IsCardNumber(digits);
}

std::vector<size_t> Span(size_t nBegin, size_t nEnd)
{
    std::vector<size_t> positions;
    for (size_t p = nBegin; p < nEnd; ++p)
        positions.push_back(p);
    return positions;
}

void MaskMiddle(std::string& s, const std::vector<size_t>& positions)
{
    for (size_t i = KEEP_FIRST; i + KEEP_LAST < positions.size(); ++i)
        s[positions[i]] = '*';
}

// YYMM with a month of 01 to 12, as four ASCII digits at nAt.
bool IsExpiryAt(const std::string& s, size_t nAt)
{
    if (nAt + EXPIRY_DIGITS > s.size() ||
        !std::all_of(s.begin() + nAt, s.begin() + nAt + EXPIRY_DIGITS, IsDigit))
        return false;
    const int nMonth = DigitsValue(s, nAt + 2, 2);
    return nMonth >= 1 && nMonth <= 12;
}

// The track separator after a run ending at nSep: '=', '^', or 'D' with an expiry behind it.
bool IsTrackSeparatorAt(const std::string& s, size_t nSep)
{
    if (nSep >= s.size())
        return false;
    return s[nSep] == '=' || s[nSep] == '^' || (s[nSep] == 'D' && IsExpiryAt(s, nSep + 1));
}

// Masks the track data behind the separator at nSep. Answers the position after it.
size_t MaskTrackRest(std::string& s, size_t nSep)
{
    const bool bTrack1 = s[nSep] == '^';
    const size_t nLimit = nSep + 1 + (bTrack1 ? TRACK1_REST_MAX : TRACK2_REST_MAX);
    size_t j = nSep + 1;
    for (; j < s.size() && j < nLimit; ++j) {
        const unsigned char by = static_cast<unsigned char>(s[j]);
        if (bTrack1 ? by == '?' || by < 0x20 : !IsDigit(s[j]))
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

// Groups g..h (h > g) laid out as a grouped card number is printed.
bool IsGroupedLayout(const std::vector<Group>& groups, size_t g, size_t h)
{
    if (groups[g].Size() != GROUP_FIRST)
        return false;
    for (size_t k = g + 1; k <= h; ++k) {
        if (groups[k].Size() < GROUP_MIN || groups[k].Size() > GROUP_MAX)
            return false;
    }
    return true;
}

// The card number that ends where a track separator follows the group: the longest
// Luhn-valid 13 to 19 final digits of that group. Empty when there is none.
std::vector<size_t> TrackCardNumber(const std::string& s, const Group& group)
{
    for (size_t n = std::min(group.Size(), PAN_MAX); n >= PAN_MIN; --n) {
        std::vector<size_t> positions = Span(group.nEnd - n, group.nEnd);
        if (IsCardNumberAt(s, positions))
            return positions;
    }
    return {};
}

// The card number one run of digits holds by its layout alone (see card_mask.h): the whole
// run, or the run behind its length prefix and/or before a closing expiry date.
std::vector<size_t> RunCardNumber(const std::string& s, const Group& group)
{
    const size_t nSize = group.Size();
    if (nSize >= PAN_MIN && nSize <= PAN_MAX && !IsTimestampRun(&s[group.nBegin], nSize)) {
        std::vector<size_t> positions = Span(group.nBegin, group.nEnd);
        if (IsCardNumberAt(s, positions))
            return positions;
    }
    const bool bPrefixFits = nSize >= PREFIX_DIGITS &&
        DigitsValue(s, group.nBegin, PREFIX_DIGITS) == static_cast<int>(nSize - PREFIX_DIGITS);
    const bool bExpiryEnds = nSize > EXPIRY_DIGITS && IsExpiryAt(s, group.nEnd - EXPIRY_DIGITS);
    const size_t nPrefixed = group.nBegin + PREFIX_DIGITS;
    struct Frame { bool bUse; size_t nBegin, nEnd; };
    const Frame frames[] = {
        {bPrefixFits, nPrefixed, group.nEnd},
        {bExpiryEnds, group.nBegin, group.nEnd - EXPIRY_DIGITS},
        {bExpiryEnds && nSize > PREFIX_DIGITS + EXPIRY_DIGITS &&
             DigitsValue(s, group.nBegin, PREFIX_DIGITS) ==
                 static_cast<int>(nSize - PREFIX_DIGITS - EXPIRY_DIGITS),
         nPrefixed, group.nEnd - EXPIRY_DIGITS},
    };
    for (const Frame& frame : frames) {
        if (!frame.bUse || frame.nEnd - frame.nBegin < PAN_MIN ||
            frame.nEnd - frame.nBegin > PAN_MAX)
            continue;
        std::vector<size_t> positions = Span(frame.nBegin, frame.nEnd);
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
        // Grouped numbers: the longest window of whole groups from g first.
        size_t nDigits = 0;
        for (size_t k = g; k < groups.size(); ++k)
            nDigits += groups[k].Size();
        for (size_t h = groups.size(); h-- > g + 1;) {
            if (nDigits >= PAN_MIN && nDigits <= PAN_MAX && IsGroupedLayout(groups, g, h)) {
                const std::vector<size_t> positions = DigitsOf(groups, g, h);
                if (IsCardNumberAt(s, positions)) {
                    MaskMiddle(s, positions);
                    if (h == nLast && IsTrackSeparatorAt(s, groups[h].nEnd))
                        nResume = std::max(nResume, MaskTrackRest(s, groups[h].nEnd));
                    g = h + 1;
                    bFound = true;
                    break;
                }
            }
            nDigits -= groups[h].Size();
            if (nDigits < PAN_MIN)
                break;
        }
        if (bFound)
            continue;
        // One group: before a track separator, or by its own layout.
        const size_t nSep = groups[g].nEnd;
        const bool bTrack = g == nLast && IsTrackSeparatorAt(s, nSep);
        std::vector<size_t> positions =
            bTrack ? TrackCardNumber(s, groups[g]) : RunCardNumber(s, groups[g]);
        if (!positions.empty()) {
            MaskMiddle(s, positions);
            if (bTrack)
                nResume = std::max(nResume, MaskTrackRest(s, nSep));
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
    unsigned char Byte(size_t nByte) const { return static_cast<unsigned char>(m_s[nByte]); }
    unsigned char At(size_t k) const
    {
        const unsigned char by = Byte(k / 2);
        return k % 2 == 0 ? by >> 4 : by & 0x0F;
    }
    void SetF(size_t k)
    {
        m_s[k / 2] = static_cast<char>(Byte(k / 2) | (k % 2 == 0 ? 0xF0 : 0x0F));
    }
    void MaskMiddle(size_t nStart, size_t nDigits)
    {
        for (size_t k = nStart + KEEP_FIRST; k + KEEP_LAST < nStart + nDigits; ++k)
            SetF(k);
    }
    bool IsCardNumberAt(size_t nStart, size_t nDigits) const
    {
        std::vector<unsigned char> digits;
        for (size_t k = nStart; k < nStart + nDigits; ++k)
            digits.push_back(At(k));
        return IsCardNumber(digits);
    }

private:
    std::string& m_s;
};

// The packed digits nibbles [nStart, nSep) are text: every byte holding one of them is
// printable ASCII (a length byte before them says otherwise; the caller asks that first).
bool ReadsAsText(const Nibbles& nib, size_t nStart, size_t nSep)
{
    for (size_t b = nStart / 2; b <= (nSep - 1) / 2; ++b) {
        if (!IsPrintable(nib.Byte(b)))
            return false;
    }
    return true;
}

// The field length the byte before a packed card number of nDigits starting at nStart gives
// (in bytes, from nStart), or 0 when that byte cannot be one.
size_t FieldLengthBefore(const Nibbles& nib, size_t nStart, size_t nDigits)
{
    if (nStart < 2)
        return 0;
    const size_t nLength = nib.Byte(nStart / 2 - 1);
    // The digits, the separator, the expiry date and the service code: a field too short for
    // them is not track 2.
    const size_t nNeeded = (nDigits + 1 + EXPIRY_DIGITS + SERVICE_CODE_DIGITS + 1) / 2;
    if (nLength < nNeeded || nLength > PACKED_TRACK_BYTES || nStart + 2 * nLength > nib.Size())
        return 0;
    return nLength;
}

// The field of nField bytes from nStart holds track data to its end: decimal nibbles behind
// the separator at nSep, at most one F pad at the end.
bool FieldIsTrackData(const Nibbles& nib, size_t nStart, size_t nSep, size_t nField)
{
    size_t nEnd = nStart + 2 * nField;
    if (nib.At(nEnd - 1) == NIBBLE_PAD)
        --nEnd;
    for (size_t k = nSep + 1; k < nEnd; ++k) {
        if (nib.At(k) > 9)
            return false;
    }
    return true;
}

// The track from nStart (separator at nSep) fills a fixed-width field: its decimal nibbles end
// in an F pad that runs on to the field's 19th byte (a fixed-width track field holds the
// longest track, 37 characters) or to the block's end. A lone F behind a decimal run is no
// such pad: the first byte of an EMV tag (9F, 5F) or any binary byte gives one.
bool TrackPaddedToFieldWidth(const Nibbles& nib, size_t nStart, size_t nSep)
{
    const size_t nLimit = nStart + 2 * PACKED_TRACK_BYTES;
    size_t k = nSep + 1;
    while (k < nib.Size() && k < nLimit && nib.At(k) <= 9)
        ++k;
    if (k >= nib.Size() || k >= nLimit)
        return false;
    for (; k < nib.Size() && k < nLimit; ++k) {
        if (nib.At(k) != NIBBLE_PAD)
            return false;
    }
    return true;
}

// The track from nStart (separator at nSep) is a field of its own between delimiters: STX or
// a field separator before it and, right behind the F pad that ends its last byte, a field
// separator, ETX or the block's end. FS-separated messages carry packed track 2 so, with no
// length byte and no fixed width.
bool TrackInDelimitedField(const Nibbles& nib, size_t nStart, size_t nSep)
{
    constexpr unsigned char STX = 0x02, ETX = 0x03, FS = 0x1C;
    if (nStart < 2)
        return false;
    const unsigned char byBefore = nib.Byte(nStart / 2 - 1);
    if (byBefore != STX && byBefore != FS)
        return false;
    size_t k = nSep + 1;
    while (k < nib.Size() && nib.At(k) <= 9)
        ++k;
    if (k >= nib.Size() || nib.At(k) != NIBBLE_PAD || k % 2 != 1)
        return false;
    if (k + 1 >= nib.Size())
        return true;
    const unsigned char byAfter = nib.Byte((k + 1) / 2);
    return byAfter == FS || byAfter == ETX;
}

// Tries the packed card numbers that end before the separator nibble at nSep, nRun decimal
// nibbles preceding it. Answers the nibble after the masked field, or 0 when nothing was
// masked.
size_t MaskPackedAt(Nibbles& nib, size_t nSep, size_t nRun, size_t nScanStart)
{
    // Track 2 goes on with the expiry date (YYMM, a month of 01 to 12) and the service code,
    // whose first digit says where the card may be used (1, 2, 5, 6, 7 or 9).
    if (nSep + 1 + EXPIRY_DIGITS + SERVICE_CODE_DIGITS > nib.Size())
        return 0;
    for (size_t k = nSep + 1; k <= nSep + EXPIRY_DIGITS + SERVICE_CODE_DIGITS; ++k) {
        if (nib.At(k) > 9)
            return 0;
    }
    const int nMonth = nib.At(nSep + 3) * 10 + nib.At(nSep + 4);
    const unsigned char byService = nib.At(nSep + 1 + EXPIRY_DIGITS);
    if (nMonth < 1 || nMonth > 12 || byService == 0 || byService == 3 || byService == 4 ||
        byService == 8)
        return 0;
    size_t nBestDigits = 0;
    size_t nBestField = 0;
    for (int nPass = 0; nPass < 2 && nBestDigits == 0; ++nPass) {
        for (size_t nDigits : PACKED_LENGTH_ORDER) {
            if (nDigits > nRun || (nSep - nDigits) % 2 != 0)
                continue;
            const size_t nStart = nSep - nDigits;
            const size_t nField = FieldLengthBefore(nib, nStart, nDigits);
            if ((nPass == 0) != (nField != 0) || !nib.IsCardNumberAt(nStart, nDigits))
                continue;
            // Without a length byte the number must stand at the start of its decimal run and
            // not read as text; with one, the field must hold track data to its end.
            if (nField == 0 && (nDigits != nRun || ReadsAsText(nib, nStart, nSep) ||
                                (nStart != nScanStart &&
                                 !TrackPaddedToFieldWidth(nib, nStart, nSep) &&
                                 !TrackInDelimitedField(nib, nStart, nSep))))
                continue;
            if (nField != 0 && !FieldIsTrackData(nib, nStart, nSep, nField))
                continue;
            nBestDigits = nDigits;
            nBestField = nField;
            break;
        }
    }
    if (nBestDigits == 0)
        return 0;
    const size_t nStart = nSep - nBestDigits;
    nib.MaskMiddle(nStart, nBestDigits);
    const size_t nLimit = nStart + 2 * (nBestField != 0 ? nBestField : PACKED_TRACK_BYTES);
    size_t k = nSep + 1;
    for (; k < nib.Size() && k < nLimit && nib.At(k) <= 9; ++k)
        nib.SetF(k);
    return k;
}

// The value that ends before byte nNext runs on into ASCII text: its last byte is an ASCII
// letter or digit and the next one an ASCII digit. No EMV tag is 0x30 to 0x39, so such a
// value is the front of a text field ("AUTH" and digits read as decimal nibbles) that binary
// bytes 5A and a length happen to stand before.
bool RunsOnIntoText(const Nibbles& nib, size_t nNext)
{
    if (nNext >= nib.Size() / 2)
        return false;
    const unsigned char byLast = nib.Byte(nNext - 1);
    const bool bLastAlnum = (byLast >= '0' && byLast <= '9') || (byLast >= 'A' && byLast <= 'Z') ||
                            (byLast >= 'a' && byLast <= 'z');
    return bLastAlnum && IsDigit(static_cast<char>(nib.Byte(nNext)));
}

// The card number in the value of tag 5A at byte nTag. Answers the byte after the value, or 0
// when there is none.
size_t MaskTagPanAt(Nibbles& nib, size_t nTag)
{
    const size_t nBytes = nTag + 1 < nib.Size() / 2 ? nib.Byte(nTag + 1) : 0;
    const size_t nValue = nTag + 2;
    if (nBytes < TAG_PAN_MIN_BYTES || nBytes > TAG_PAN_MAX_BYTES ||
        nValue + nBytes > nib.Size() / 2)
        return 0;
    const size_t nStart = nValue * 2;
    const size_t nEnd = nStart + nBytes * 2;
    size_t nDigits = 0;
    while (nStart + nDigits < nEnd && nib.At(nStart + nDigits) <= 9)
        ++nDigits;
    for (size_t k = nStart + nDigits; k < nEnd; ++k) {
        if (nib.At(k) != NIBBLE_PAD)
            return 0;
    }
    if (!nib.IsCardNumberAt(nStart, nDigits) || RunsOnIntoText(nib, nValue + nBytes))
        return 0;
    nib.MaskMiddle(nStart, nDigits);
    return nValue + nBytes;
}

void MaskPacked(std::string& s, size_t nFromByte)
{
    Nibbles nib(s);
    size_t nRun = 0;  // decimal nibbles directly before k
    size_t k = nFromByte * 2;
    while (k < nib.Size()) {
        if (k % 2 == 0 && nib.Byte(k / 2) == TAG_PAN) {
            const size_t nNext = MaskTagPanAt(nib, k / 2);
            if (nNext != 0) {
                k = nNext * 2;
                nRun = 0;
                continue;
            }
        }
        const unsigned char v = nib.At(k);
        if (v == NIBBLE_SEPARATOR && nRun >= PAN_MIN) {
            const size_t nNext = MaskPackedAt(nib, k, nRun, nFromByte * 2);
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

bool IsTimestampRun(const char* pDigits, size_t nDigits)
{
    if (nDigits != 14)
        return false;
    const auto value = [pDigits](size_t nAt, size_t nWidth) {
        int n = 0;
        for (size_t i = nAt; i < nAt + nWidth; ++i)
            n = n * 10 + (pDigits[i] - '0');
        return n;
    };
    const int nYear = value(0, 4), nMonth = value(4, 2), nDay = value(6, 2);
    return nYear >= 1900 && nYear <= 2099 && nMonth >= 1 && nMonth <= 12 && nDay >= 1 &&
           nDay <= 31 && value(8, 2) <= 23 && value(10, 2) <= 59 && value(12, 2) <= 59;
}

void MaskCardData(std::string& strBytes, bool bTerminalFrame)
{
    const size_t nFrom =
        bTerminalFrame && StartsLikeConnectRequest(strBytes) ? CONNECT_ADDRESS_END : 0;
    MaskAscii(strBytes, nFrom);
    MaskPacked(strBytes, nFrom);
}

std::string MaskedLogText(int nKind, int nCount, const std::string& strText)
{
    if (nKind == LOG_STATUS)
        return strText;
    const size_t nShown = static_cast<size_t>(std::clamp(nCount, 0, LOG_MAX_BLOCK));
    std::string strCopy = strText.substr(0, nShown);
    MaskCardData(strCopy, nKind == LOG_CAT_TO_VAN);
    return strCopy;
}
