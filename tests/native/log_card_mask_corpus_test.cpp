// Card masking over the generated corpus (tools/maskbench/corpus.h): every shape of message,
// single blocks, both goals at once. The benchmark runs the same corpus a million times over
// and prints the figures; this keeps a slice of it from regressing.
#include <string>

#include <gtest/gtest.h>

#include "log/card_mask.h"
#include "tools/maskbench/corpus.h"

namespace {

TEST(MaskCorpus, EveryShapeMaskedExactly)
{
    MaskCorpus corpus(7);
    const size_t nMessages = 40 * MaskCorpus::Shapes().size() * 50;
    for (size_t n = 0; n < nMessages; ++n) {
        const CorpusMessage message = corpus.Next();
        std::string strMasked = message.strBytes;
        MaskCardData(strMasked, message.bFromTerminal);
        const MaskScore score = ScoreMasking(message, strMasked);
        ASSERT_EQ(score.nBytesChangedOutside, 0u) << message.pszShape << " message " << n;
        ASSERT_EQ(score.nDigitsLeftReadable, 0u) << message.pszShape << " message " << n;
    }
}

}  // namespace
