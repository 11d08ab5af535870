// A seeded corpus of realistic terminal requests and host answers, with the place of every
// card number known, for measuring the log's card masking (tools/maskbench, and a native test
// over a smaller run).
//
// Why generated: real traffic holds real card numbers and can never be kept. Card numbers here
// are made Luhn-valid from test BINs (411111, 555555, 378282, ...); everything else is what a
// terminal or a host sends around them: amounts, dates and times, terminal, merchant, business
// registration, approval and phone numbers, KEY=value fields, Hangul text, track 1 and 2, EMV
// TLV blocks (57, 5A and the 9F tags) and binary noise. The same seed gives the same corpus.
//
// What may change: the bytes that hold a card number's digits and the bytes of the track data
// behind its separator. Everything else is expected back as it was sent.
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct CorpusCard {
    bool bPacked = false;            // digits are nibbles (packed decimal), else ASCII bytes
    std::vector<size_t> digits;      // the card number's digits: byte offsets (ASCII) or nibble
                                     // indexes (packed), in order
    size_t nTrackBegin = 0;          // bytes of track data behind the number (may be masked)
    size_t nTrackEnd = 0;
};

struct CorpusMessage {
    const char* pszShape = "";       // the layout it was made from
    bool bFromTerminal = true;
    std::string strBytes;
    std::vector<CorpusCard> cards;
};

class MaskCorpus {
public:
    explicit MaskCorpus(uint32_t nSeed) : m_rng(nSeed) {}
    // The next message; shapes come round in turn, values are random.
    CorpusMessage Next();
    // The names of every shape, in the order Next uses them.
    static const std::vector<const char*>& Shapes();

private:
    CorpusMessage Make(size_t nShape);
    std::mt19937 m_rng;
    size_t m_nNext = 0;
};

// What masking did to one message: bytes changed that are not card data, and card digits that
// are still readable though neither among the first 6 nor the last 4.
struct MaskScore {
    uint64_t nBytesChangedOutside = 0;
    uint64_t nDigitsLeftReadable = 0;
};
MaskScore ScoreMasking(const CorpusMessage& message, const std::string& strMasked);
