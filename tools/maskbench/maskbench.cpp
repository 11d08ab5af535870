// maskbench: the log's card masking over a generated corpus (corpus.h). Prints, per message
// shape and in all: bytes changed that are not card data (goal 0), card digits left readable
// beyond the first 6 and the last 4 (goal 0 within one block; messages split across two blocks
// at a point inside a card number are counted apart, since each block alone holds too few
// digits to be a card number), and the masking throughput in MB/s. Figures only: it never
// fails on them. tools/maskbench.sh builds and runs it (optimised, no sanitizers).
//
//   maskbench [--messages N] [--seed S] [--show N]
// --show N prints the first N messages whose masking missed a goal, as sent and as masked (split
// messages: only where bytes outside card data changed, since their digits are counted apart).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "log/card_mask.h"
#include "tools/maskbench/corpus.h"

namespace {

// The masker of an older tree took no direction (tools/maskbench.sh --before builds against it).
void Mask(std::string& strBytes, bool bFromTerminal)
{
#ifdef MASKBENCH_ONE_ARGUMENT_API
    (void)bFromTerminal;
    MaskCardData(strBytes);
#else
    MaskCardData(strBytes, bFromTerminal);
#endif
}

struct Tally {
    uint64_t nMessages = 0, nCards = 0, nBytes = 0;
    MaskScore score;
    void Add(const CorpusMessage& message, const MaskScore& s)
    {
        ++nMessages;
        nCards += message.cards.size();
        nBytes += message.strBytes.size();
        score.nBytesChangedOutside += s.nBytesChangedOutside;
        score.nDigitsLeftReadable += s.nDigitsLeftReadable;
    }
};

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

void PrintRow(const char* pszName, const Tally& tally)
{
    std::printf("| %-34s | %9llu | %9llu | %14llu | %15llu |\n", pszName,
                static_cast<unsigned long long>(tally.nMessages),
                static_cast<unsigned long long>(tally.nCards),
                static_cast<unsigned long long>(tally.score.nBytesChangedOutside),
                static_cast<unsigned long long>(tally.score.nDigitsLeftReadable));
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t nMessages = 1000000;
    uint32_t nSeed = 22;
    uint64_t nShow = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--messages") == 0)
            nMessages = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--seed") == 0)
            nSeed = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (std::strcmp(argv[i], "--show") == 0)
            nShow = std::strtoull(argv[i + 1], nullptr, 10);
    }

    MaskCorpus corpus(nSeed);
    std::map<std::string, Tally> byShape;
    Tally total, split;
    double dSeconds = 0;
    for (uint64_t n = 0; n < nMessages; ++n) {
        const CorpusMessage message = corpus.Next();
        std::string strMasked = message.strBytes;
        const auto tStart = std::chrono::steady_clock::now();
        Mask(strMasked, message.bFromTerminal);
        dSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        const MaskScore score = ScoreMasking(message, strMasked);
        byShape[message.pszShape].Add(message, score);
        if (nShow > 0 && (score.nBytesChangedOutside > 0 || score.nDigitsLeftReadable > 0)) {
            --nShow;
            std::printf("%s\n  sent   %s\n  masked %s\n", message.pszShape,
                        HexOf(message.strBytes).c_str(), HexOf(strMasked).c_str());
        }
        total.Add(message, score);

        // The same message split across two blocks inside its first card number.
        if (message.cards.empty())
            continue;
        const CorpusCard& card = message.cards.front();
        const size_t nFirst = card.bPacked ? card.digits.front() / 2 : card.digits.front();
        const size_t nLast = card.bPacked ? card.digits.back() / 2 : card.digits.back();
        const size_t nCut = nFirst + 1 + n % (nLast - nFirst);
        std::string strHead = message.strBytes.substr(0, nCut);
        std::string strTail = message.strBytes.substr(nCut);
        Mask(strHead, message.bFromTerminal);
        Mask(strTail, message.bFromTerminal);
        const std::string strSplit = strHead + strTail;
        const MaskScore splitScore = ScoreMasking(message, strSplit);
        split.Add(message, splitScore);
        if (nShow > 0 && splitScore.nBytesChangedOutside > 0) {
            --nShow;
            std::printf("%s, split after byte %zu\n  sent   %s\n  masked %s\n", message.pszShape,
                        nCut, HexOf(message.strBytes).c_str(), HexOf(strSplit).c_str());
        }
    }

    std::printf("card masking over %llu generated messages (seed %u)\n\n",
                static_cast<unsigned long long>(nMessages), nSeed);
    std::printf("| %-34s | %9s | %9s | %14s | %15s |\n", "shape", "messages", "cards",
                "bytes changed", "digits readable");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(16, '-').c_str(),
                std::string(17, '-').c_str());
    for (const char* pszShape : MaskCorpus::Shapes())
        PrintRow(pszShape, byShape[pszShape]);
    PrintRow("all, one block each", total);
    PrintRow("split inside a card number", split);
    std::printf("\nbytes changed outside card data (goal 0): %llu\n",
                static_cast<unsigned long long>(total.score.nBytesChangedOutside +
                                                split.score.nBytesChangedOutside));
    std::printf("card digits readable beyond first 6 / last 4, one block (goal 0): %llu\n",
                static_cast<unsigned long long>(total.score.nDigitsLeftReadable));
    std::printf("card digits readable beyond first 6 / last 4, split blocks: %llu of %llu cards' "
                "middle digits\n",
                static_cast<unsigned long long>(split.score.nDigitsLeftReadable),
                static_cast<unsigned long long>(split.nCards));
    std::printf("masking throughput: %.1f MB/s (%llu bytes in %.3f s)\n",
                dSeconds > 0 ? static_cast<double>(total.nBytes) / dSeconds / 1e6 : 0.0,
                static_cast<unsigned long long>(total.nBytes), dSeconds);
    return 0;
}
