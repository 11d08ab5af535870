// The text sink's queue: line-feed conversion as a table, the one-outstanding-request rule,
// and producers racing a consumer that removes only what it copied (run under the
// sanitizers; the ThreadSanitizer build runs the same file).
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/sink_queue.h"

namespace {

struct ConvertRow {
    const char* pszName;
    const wchar_t* pszText;
    bool bConvert;
    const wchar_t* pszQueued;
};

const ConvertRow kConvertRows[] = {
    {"lf_converted", L"a\nb", true, L"a\r\nb"},
    {"crlf_gets_second_cr", L"a\r\nb", true, L"a\r\r\nb"},
    {"lf_unconverted", L"a\nb", false, L"a\nb"},
    {"crlf_unconverted", L"a\r\nb", false, L"a\r\nb"},
    {"only_lfs", L"\n\n\n", true, L"\r\n\r\n\r\n"},
    {"lone_cr_kept", L"a\rb", true, L"a\rb"},
    {"hangul_and_lf", L"\xC811\xC18D\n", true, L"\xC811\xC18D\r\n"},
    {"empty", L"", true, L""},
};

class SinkQueueConvert : public ::testing::TestWithParam<ConvertRow> {};

TEST_P(SinkQueueConvert, QueuesTextAsConverted)
{
    const ConvertRow& row = GetParam();
    SinkQueue queue;
    queue.Append(L"x", false, [] { return true; });
    queue.Append(row.pszText, row.bConvert, [] { return true; });
    EXPECT_EQ(queue.Peek(), std::wstring(L"x") + row.pszQueued);
}

INSTANTIATE_TEST_SUITE_P(Rows, SinkQueueConvert, ::testing::ValuesIn(kConvertRows),
                         [](const ::testing::TestParamInfo<ConvertRow>& info) { return info.param.pszName; });

// One request per flush: appends after the first do not post until a flush has taken the
// queue; an empty text posts too; a null text neither queues nor posts; a refused post leaves
// no request outstanding, so the next append tries again.
TEST(SinkQueue, PostsOnceUntilTaken)
{
    SinkQueue queue;
    int nPosts = 0;
    auto post = [&] { ++nPosts; return true; };

    queue.Append(nullptr, true, post);
    EXPECT_EQ(nPosts, 0);
    queue.Append(L"", true, post);
    EXPECT_EQ(nPosts, 1);
    queue.Append(L"a", true, post);
    queue.Append(L"b", true, post);
    EXPECT_EQ(nPosts, 1);
    EXPECT_EQ(queue.Take(), L"ab");
    queue.Append(L"c", true, post);
    EXPECT_EQ(nPosts, 2);

    SinkQueue refused;
    int nTries = 0;
    auto refuse = [&] { ++nTries; return false; };
    refused.Append(L"a", true, refuse);
    refused.Append(L"b", true, refuse);
    EXPECT_EQ(nTries, 2);
    EXPECT_FALSE(refused.FlushPosted());
    EXPECT_EQ(refused.Peek(), L"ab");
}

// Producers on several threads against a consumer that serves flush requests as the control's
// thread does (take, work without the lock, remove what it took): every line arrives exactly
// once, each producer's lines in their order, never more than one request is outstanding, and
// no text is left queued without a request to fetch it.
TEST(SinkQueue, ProducersRacingAFlushLoseNothing)
{
    const int kThreads = 4;
    const int kLines = 2000;
    SinkQueue queue;
    std::atomic<int> nPending{0};  // posted requests not yet served
    std::atomic<bool> bDone{false};
    std::wstring strShown;

    std::thread consumer([&] {
        while (!(bDone.load() && nPending.load() == 0)) {
            if (nPending.load() == 0) {
                std::this_thread::yield();
                continue;
            }
            nPending.fetch_sub(1);
            const std::wstring strCopy = queue.Take();
            strShown += strCopy;
            queue.Remove(strCopy.size());
        }
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::wstring strLine = std::to_wstring(t) + L":" + std::to_wstring(i) + L"\n";
                queue.Append(strLine.c_str(), true, [&] {
                    EXPECT_EQ(nPending.fetch_add(1), 0);
                    return true;
                });
            }
        });
    }
    for (std::thread& p : producers)
        p.join();
    bDone = true;
    consumer.join();
    EXPECT_EQ(queue.Peek(), L"");

    std::vector<int> nNext(kThreads, 0);
    size_t nPos = 0;
    int nLinesSeen = 0;
    while (nPos < strShown.size()) {
        const size_t nEnd = strShown.find(L"\r\n", nPos);
        ASSERT_NE(nEnd, std::wstring::npos);
        const std::wstring strLine = strShown.substr(nPos, nEnd - nPos);
        const size_t nColon = strLine.find(L':');
        ASSERT_NE(nColon, std::wstring::npos) << "torn line";
        const int t = std::stoi(strLine.substr(0, nColon));
        const int i = std::stoi(strLine.substr(nColon + 1));
        ASSERT_EQ(i, nNext[t]) << "thread " << t;
        ++nNext[t];
        ++nLinesSeen;
        nPos = nEnd + 2;
    }
    EXPECT_EQ(nLinesSeen, kThreads * kLines);
}

}  // namespace
