// The masking corpus: message layouts and the score of a masked copy; see corpus.h.
#include "tools/maskbench/corpus.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

struct Bin {
    const char* pszPrefix;
    size_t nLength;
};

// Test BINs only; the rest of each number is random, the last digit makes it Luhn-valid.
constexpr Bin TEST_BINS[] = {
    {"411111", 16}, {"555555", 16}, {"401288", 16}, {"601111", 16}, {"353011", 16},
    {"378282", 15}, {"371449", 15}, {"305693", 14}, {"422222", 13}, {"411111", 19},
};

const char STX = 0x02, ETX = 0x03, FS = 0x1C;
const char* const HANGUL_TEXTS[] = {"\xBD\xC2\xC0\xCE", "\xC1\xA4\xBB\xF3",
                                    "\xC7\xD1\xB5\xB5\xC3\xCA\xB0\xFA"};  // approved, normal, ...
const char* const NAMES[] = {"TEST/CARD", "KIM/MINSU", "LEE/JIWON MS", "HONG/GILDONG"};

// Builds one message and notes where its card numbers are.
class Builder {
public:
    explicit Builder(std::mt19937& rng) : m_rng(rng) {}

    int Rand(int nLow, int nHigh) { return std::uniform_int_distribution<int>(nLow, nHigh)(m_rng); }
    std::string Digits(size_t n, bool bNonZeroFirst = false)
    {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s.push_back(static_cast<char>('0' + Rand(i == 0 && bNonZeroFirst ? 1 : 0, 9)));
        return s;
    }
    std::string Pan()
    {
        const Bin& bin = TEST_BINS[Rand(0, static_cast<int>(std::size(TEST_BINS)) - 1)];
        std::string s = bin.pszPrefix + Digits(bin.nLength - 7);
        int nSum = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            int d = s[s.size() - 1 - i] - '0';
            if (i % 2 == 0) {
                d *= 2;
                if (d > 9)
                    d -= 9;
            }
            nSum += d;
        }
        s.push_back(static_cast<char>('0' + (10 - nSum % 10) % 10));
        return s;
    }
    std::string Expiry() { return Fmt("%02d%02d", Rand(24, 35), Rand(1, 12)); }
    std::string Amount() { return Fmt("%012d", Rand(1, 9999) * 100); }
    std::string DateTime()
    {
        return Fmt("2026%02d%02d%02d%02d%02d", Rand(1, 12), Rand(1, 28), Rand(0, 23), Rand(0, 59),
                   Rand(0, 59));
    }
    std::string Hangul() { return HANGUL_TEXTS[Rand(0, 2)]; }
    std::string Noise(size_t n)
    {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s.push_back(static_cast<char>(Rand(0, 255)));
        return s;
    }
    static std::string Fmt(const char* pszFormat, int a, int b = 0, int c = 0, int d = 0,
                           int e = 0)
    {
        char sz[64];
        std::snprintf(sz, sizeof sz, pszFormat, a, b, c, d, e);
        return sz;
    }

    void Text(const std::string& s) { m_msg.strBytes += s; }
    void Byte(int n) { m_msg.strBytes.push_back(static_cast<char>(n)); }

    // An ASCII card number, its digits in groups of the given sizes joined by cSep (one group:
    // no separator).
    void AsciiPan(const std::string& strPan, const std::vector<size_t>& groups = {},
                  char cSep = ' ')
    {
        CorpusCard card;
        size_t nDigit = 0;
        const std::vector<size_t> whole = {strPan.size()};
        const std::vector<size_t>& sizes = groups.empty() ? whole : groups;
        for (size_t g = 0; g < sizes.size(); ++g) {
            if (g > 0)
                m_msg.strBytes.push_back(cSep);
            for (size_t i = 0; i < sizes[g]; ++i) {
                card.digits.push_back(m_msg.strBytes.size());
                m_msg.strBytes.push_back(strPan[nDigit++]);
            }
        }
        m_msg.cards.push_back(card);
    }
    // Track data behind the last card number, written as text.
    void AsciiTrack(const std::string& strTrack)
    {
        m_msg.cards.back().nTrackBegin = m_msg.strBytes.size();
        m_msg.strBytes += strTrack;
        m_msg.cards.back().nTrackEnd = m_msg.strBytes.size();
    }
    // Packed decimal: the card number's digits, then strRest (hex digits: D and track data,
    // or F pad), padded with F to whole bytes.
    void Packed(const std::string& strPan, const std::string& strRest)
    {
        std::string strNibbles = strPan + strRest;
        if (strNibbles.size() % 2 != 0)
            strNibbles.push_back('F');
        CorpusCard card;
        card.bPacked = true;
        const size_t nFirst = m_msg.strBytes.size();
        for (size_t i = 0; i < strPan.size(); ++i)
            card.digits.push_back(nFirst * 2 + i);
        for (size_t i = 0; i < strNibbles.size(); i += 2)
            m_msg.strBytes.push_back(static_cast<char>(std::stoi(strNibbles.substr(i, 2), nullptr, 16)));
        card.nTrackBegin = nFirst + strPan.size() / 2;
        card.nTrackEnd = strRest.empty() || strRest[0] != 'D' ? card.nTrackBegin
                                                              : m_msg.strBytes.size();
        m_msg.cards.push_back(card);
    }
    // BCD of a digit string (even length).
    void Bcd(const std::string& strDigits)
    {
        for (size_t i = 0; i + 1 < strDigits.size(); i += 2)
            Byte((strDigits[i] - '0') << 4 | (strDigits[i + 1] - '0'));
    }
    // Expiry, service code (its first digit 1, 2, 5 or 6), discretionary data: with the
    // card number and the separator at most 37 characters, as on the magnetic stripe.
    std::string Track2Rest(size_t nPanDigits)
    {
        static const char SERVICE_FIRST[] = "1256";
        const int nMost = std::min(13, static_cast<int>(37 - 8 - nPanDigits));
        return Expiry() + SERVICE_FIRST[Rand(0, 3)] + Digits(2) +
               Digits(static_cast<size_t>(Rand(std::min(5, nMost), nMost)));
    }

    CorpusMessage Take(const char* pszShape, bool bFromTerminal)
    {
        m_msg.pszShape = pszShape;
        m_msg.bFromTerminal = bFromTerminal;
        return std::move(m_msg);
    }

private:
    std::mt19937& m_rng;
    CorpusMessage m_msg;
};

using MakeFn = CorpusMessage (*)(Builder&);

struct Shape {
    const char* pszName;
    MakeFn make;
};

// Terminal requests -------------------------------------------------------------------------

CorpusMessage FixedRequest(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Text("0200TID" + b.Digits(10) + "DT" + b.DateTime() + "PAN");
    b.AsciiPan(strPan);
    b.Text(std::string(19 - strPan.size(), ' ') + "EXP" + b.Expiry() + "AMT" + b.Amount() +
           "INS00");
    b.Byte(ETX);
    return b.Take("fixed_request_bare", true);
}

CorpusMessage GroupedRequest(Builder& b)
{
    const std::string strPan = b.Pan();
    std::vector<size_t> groups;
    if (strPan.size() == 15)
        groups = {4, 6, 5};
    else if (strPan.size() == 14)
        groups = {4, 6, 4};
    else
        for (size_t n = 0; n < strPan.size(); n += 4)
            groups.push_back(std::min<size_t>(4, strPan.size() - n));
    if (groups.back() < 3) {  // 13 digits: 4-4-5
        groups.pop_back();
        groups.back() += 1;
    }
    b.Byte(STX);
    b.Text("0200");
    b.Byte(FS);
    b.Text(b.Digits(10));
    b.Byte(FS);
    b.AsciiPan(strPan, groups, b.Rand(0, 1) ? ' ' : '-');
    b.Byte(FS);
    b.Text(b.Expiry());
    b.Byte(FS);
    b.Text(b.Amount());
    b.Byte(FS);
    b.Byte(ETX);
    return b.Take("fs_request_grouped", true);
}

CorpusMessage LengthPrefixRequest(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Text("0200");
    b.Byte(FS);
    b.Text(b.Digits(10));
    b.Byte(FS);
    b.Text(Builder::Fmt("%02d", static_cast<int>(strPan.size())));
    b.AsciiPan(strPan);
    b.Byte(FS);
    b.Text(b.Amount());
    b.Byte(ETX);
    return b.Take("length_prefixed_pan", true);
}

CorpusMessage PanExpiryRequest(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Text("0200");
    b.Byte(FS);
    b.AsciiPan(strPan);
    b.Text(b.Expiry());
    b.Byte(FS);
    b.Text(b.Amount());
    b.Byte(FS);
    b.Text(b.DateTime());
    b.Byte(ETX);
    return b.Take("pan_then_expiry", true);
}

CorpusMessage Track2Request(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Text("0200");
    b.Byte(FS);
    b.Text(";");
    b.AsciiPan(strPan);
    b.Text("=");
    b.AsciiTrack(b.Track2Rest(strPan.size()));
    b.Text("?");
    b.Byte(FS);
    b.Text(b.Amount());
    b.Byte(ETX);
    return b.Take("track2_ascii", true);
}

CorpusMessage Track1Request(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Text("0200");
    b.Byte(FS);
    b.Text("%B");
    b.AsciiPan(strPan);
    b.Text("^");
    b.AsciiTrack(std::string(NAMES[b.Rand(0, 3)]) + "^" + b.Track2Rest(strPan.size()));
    b.Text("?");
    b.Byte(FS);
    b.Text(b.Amount());
    b.Byte(ETX);
    return b.Take("track1_ascii", true);
}

CorpusMessage Track2HexRequest(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Text("0200");
    b.Byte(FS);
    b.Text("T2=");
    b.AsciiPan(strPan);
    b.Text("D");
    const std::string strRest = b.Track2Rest(strPan.size());
    b.AsciiTrack(strRest);
    if ((strPan.size() + 1 + strRest.size()) % 2 != 0)
        b.Text("F");
    b.Byte(FS);
    b.Text(b.Amount());
    b.Byte(ETX);
    return b.Take("track2_hex_text", true);
}

void HexTag(Builder& b, int nFirst, int nSecond = -1)
{
    b.Byte(nFirst);
    if (nSecond >= 0)
        b.Byte(nSecond);
}

CorpusMessage EmvRequest(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Byte(0x00);
    b.Byte(b.Rand(0x40, 0xC0));  // binary length: its first byte is often zero
    b.Text("0200");
    const int nOrder = b.Rand(0, 2);
    auto amounts = [&] {
        HexTag(b, 0x9F, 0x02);
        b.Byte(6);
        b.Bcd(b.Amount());
        HexTag(b, 0x9F, 0x03);
        b.Byte(6);
        b.Bcd("000000000000");
        HexTag(b, 0x9A);
        b.Byte(3);
        b.Bcd(b.DateTime().substr(2, 6));
        HexTag(b, 0x9C);
        b.Byte(1);
        b.Byte(0);
        HexTag(b, 0x5F, 0x2A);
        b.Byte(2);
        b.Bcd("0410");
        HexTag(b, 0x9F, 0x1A);
        b.Byte(2);
        b.Bcd("0410");
    };
    auto noise = [&] {
        HexTag(b, 0x82);
        b.Byte(2);
        b.Text(b.Noise(2));
        HexTag(b, 0x95);
        b.Byte(5);
        b.Text(b.Noise(5));
        HexTag(b, 0x9F, 0x36);
        b.Byte(2);
        b.Text(b.Noise(2));
        HexTag(b, 0x9F, 0x26);
        b.Byte(8);
        b.Text(b.Noise(8));
        const int n = b.Rand(7, 32);
        HexTag(b, 0x9F, 0x10);
        b.Byte(n);
        b.Text(b.Noise(static_cast<size_t>(n)));
    };
    auto card = [&] {
        const std::string strRest = "D" + b.Track2Rest(strPan.size());
        HexTag(b, 0x57);
        b.Byte(static_cast<int>((strPan.size() + strRest.size() + 1) / 2));
        b.Packed(strPan, strRest);
        HexTag(b, 0x5A);
        b.Byte(static_cast<int>((strPan.size() + 1) / 2));
        b.Packed(strPan, "");
        HexTag(b, 0x5F, 0x24);
        b.Byte(3);
        b.Bcd(b.Expiry() + "31");
        HexTag(b, 0x5F, 0x34);
        b.Byte(1);
        b.Byte(b.Rand(0, 2));
    };
    if (nOrder == 0) {
        card();
        amounts();
        noise();
    } else if (nOrder == 1) {
        amounts();
        card();
        noise();
    } else {
        noise();
        amounts();
        card();
    }
    b.Byte(ETX);
    return b.Take("emv_tlv_request", true);
}

CorpusMessage PackedFixedRequest(Builder& b)
{
    const std::string strPan = b.Pan();
    const std::string strRest = "D" + b.Track2Rest(strPan.size());
    const int nTrackBytes = static_cast<int>((strPan.size() + strRest.size() + 1) / 2);
    // Header: the binary length of what follows it, and the message type in BCD.
    b.Byte(STX);
    b.Byte(0x00);
    b.Byte(2 + 7 + 1 + nTrackBytes + 6 + 8 + 1);
    b.Bcd("0200");
    b.Bcd(b.DateTime());
    b.Byte(nTrackBytes);
    b.Packed(strPan, strRest);
    b.Bcd(b.Amount());
    b.Text(b.Noise(8));  // MAC
    b.Byte(ETX);
    return b.Take("packed_track2_fixed", true);
}

CorpusMessage ConnectRequest(Builder& b)
{
    b.Byte(b.Rand(0, 1) ? 0x21 : 0x25);
    b.Text(Builder::Fmt("%03d%03d%03d%03d", b.Rand(1, 223), b.Rand(0, 255), b.Rand(0, 255),
                        b.Rand(1, 254)) +
           Builder::Fmt("%04d", b.Rand(1000, 9999)));
    b.Text(b.Rand(0, 1) ? "0" : "1");
    return b.Take("connect_request", true);
}

// Host answers ------------------------------------------------------------------------------

CorpusMessage KeyValueAnswer(Builder& b)
{
    b.Byte(STX);
    b.Text("D1 0210 RC=00 CARD=");
    b.AsciiPan(b.Pan());
    b.Text(" AUTH=" + b.Digits(8) + " AMT=" + b.Amount() + " DATE=" + b.DateTime() + " TID=" +
           b.Digits(10) + " MID=" + b.Digits(10) + " BIZ=" + b.Digits(3) + "-" + b.Digits(2) +
           "-" + b.Digits(5) + " TEL=0" + b.Digits(1, true) + "-" + b.Digits(4) + "-" +
           b.Digits(4) + " MSG=" + b.Hangul());
    b.Byte(ETX);
    return b.Take("key_value_answer", false);
}

CorpusMessage KeyValueAnswerNoCard(Builder& b)
{
    b.Byte(STX);
    b.Text("D1 0210 RC=" + b.Digits(2) + " AUTH=" + b.Digits(8) + " AMT=" + b.Amount() +
           " APPROVED " + b.Hangul() + " TEL=010-" + b.Digits(4) + "-" + b.Digits(4) +
           " DATE=" + b.DateTime() + " CNT=" + b.Digits(4));
    b.Byte(FS);
    b.Text("EXP" + b.Expiry() + "AMT" + b.Amount());
    b.Byte(ETX);
    return b.Take("key_value_answer_no_card", false);
}

CorpusMessage IsoAnswer(Builder& b)
{
    const std::string strPan = b.Pan();
    b.Byte(STX);
    b.Text("0210 F2=" + Builder::Fmt("%02d", static_cast<int>(strPan.size())));
    b.AsciiPan(strPan);
    b.Text(" F3=000000 F4=" + b.Amount() + " F11=" + b.Digits(6) + " F12=" +
           b.DateTime().substr(8) + " F37=" + b.Digits(12) + " F38=" + b.Digits(6) +
           " F39=00 F41=" + b.Digits(8));
    b.Byte(ETX);
    return b.Take("iso_answer", false);
}

CorpusMessage EmvAnswer(Builder& b)
{
    b.Byte(STX);
    b.Byte(0x00);
    b.Byte(b.Rand(0x10, 0x60));
    b.Text("0210");
    HexTag(b, 0x8A);
    b.Byte(2);
    b.Text("00");
    HexTag(b, 0x91);
    b.Byte(10);
    b.Text(b.Noise(10));
    HexTag(b, 0x72);
    const int n = b.Rand(8, 40);
    b.Byte(n);
    b.Text(b.Noise(static_cast<size_t>(n)));
    b.Text("AUTH" + b.Digits(8));
    b.Bcd(b.Amount());
    b.Byte(ETX);
    return b.Take("emv_answer_noise", false);
}

CorpusMessage HostLikeConnect(Builder& b)
{
    b.Byte(0x21);
    b.AsciiPan(b.Pan());
    b.Text(" OK ");
    b.Text(b.Hangul());
    return b.Take("host_block_starting_like_connect", false);
}

CorpusMessage Noise(Builder& b)
{
    b.Text(b.Noise(static_cast<size_t>(b.Rand(16, 160))));
    return b.Take("binary_noise", b.Rand(0, 1) != 0);
}

const Shape SHAPES[] = {
    {"fixed_request_bare", FixedRequest},
    {"fs_request_grouped", GroupedRequest},
    {"length_prefixed_pan", LengthPrefixRequest},
    {"pan_then_expiry", PanExpiryRequest},
    {"track2_ascii", Track2Request},
    {"track1_ascii", Track1Request},
    {"track2_hex_text", Track2HexRequest},
    {"emv_tlv_request", EmvRequest},
    {"packed_track2_fixed", PackedFixedRequest},
    {"connect_request", ConnectRequest},
    {"key_value_answer", KeyValueAnswer},
    {"key_value_answer_no_card", KeyValueAnswerNoCard},
    {"iso_answer", IsoAnswer},
    {"emv_answer_noise", EmvAnswer},
    {"host_block_starting_like_connect", HostLikeConnect},
    {"binary_noise", Noise},
};

}  // namespace

const std::vector<const char*>& MaskCorpus::Shapes()
{
    static const std::vector<const char*> s_names = [] {
        std::vector<const char*> names;
        for (const Shape& shape : SHAPES)
            names.push_back(shape.pszName);
        return names;
    }();
    return s_names;
}

CorpusMessage MaskCorpus::Make(size_t nShape)
{
    Builder builder(m_rng);
    return SHAPES[nShape].make(builder);
}

CorpusMessage MaskCorpus::Next()
{
    const size_t nShape = m_nNext;
    m_nNext = (m_nNext + 1) % std::size(SHAPES);
    return Make(nShape);
}

MaskScore ScoreMasking(const CorpusMessage& message, const std::string& strMasked)
{
    MaskScore score;
    std::set<size_t> cardBytes;
    for (const CorpusCard& card : message.cards) {
        for (size_t nDigit : card.digits)
            cardBytes.insert(card.bPacked ? nDigit / 2 : nDigit);
        for (size_t n = card.nTrackBegin; n < card.nTrackEnd; ++n)
            cardBytes.insert(n);
        for (size_t i = 6; i + 4 < card.digits.size(); ++i) {
            const size_t n = card.digits[i];
            const bool bSame = card.bPacked
                ? ((static_cast<unsigned char>(strMasked[n / 2]) >> (n % 2 == 0 ? 4 : 0)) & 0xF) ==
                      ((static_cast<unsigned char>(message.strBytes[n / 2]) >> (n % 2 == 0 ? 4 : 0)) & 0xF)
                : strMasked[n] == message.strBytes[n];
            score.nDigitsLeftReadable += bSame ? 1 : 0;
        }
    }
    for (size_t n = 0; n < message.strBytes.size() && n < strMasked.size(); ++n) {
        if (strMasked[n] != message.strBytes[n] && cardBytes.count(n) == 0)
            ++score.nBytesChangedOutside;
    }
    return score;
}
