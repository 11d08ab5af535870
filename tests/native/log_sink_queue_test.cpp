// The text sink's queue: line-feed conversion as a table, the one-outstanding-request rule,
// the bound and the line that stands for dropped text, producers racing a consumer (every
// line once and in order, or counted as dropped), and when a waiting flush inserts, with an
// injected clock (run under the sanitizers; the ThreadSanitizer build runs the same file).
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/flush_deferral.h"
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

// "... N줄 생략 ..." with N lines
std::wstring Dropped(int n)
{
    return L"... " + std::to_wstring(n) + L"\xC904 \xC0DD\xB7B5 ...\r\n";
}

// Starts nThreads producers that each append nLines lines "t:i" + LF (converted), posting
// through post, and waits for them.
template <class Post>
void Produce(SinkQueue& queue, int nThreads, int nLines, Post& post)
{
    std::vector<std::thread> producers;
    for (int t = 0; t < nThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < nLines; ++i) {
                const std::wstring strLine = std::to_wstring(t) + L":" + std::to_wstring(i) + L"\n";
                queue.Append(strLine.c_str(), true, post);
            }
        });
    }
    for (std::thread& p : producers)
        p.join();
}

// What the consumer saw: the lines "t:i" in order, and the lines the drop lines counted.
struct Shown {
    std::vector<std::pair<int, int>> lines;
    long long nCounted = 0;
    bool bTorn = false;
};

Shown ParseShown(const std::wstring& strShown)
{
    Shown shown;
    size_t nPos = 0;
    while (nPos < strShown.size()) {
        const size_t nEnd = strShown.find(L"\r\n", nPos);
        const std::wstring strLine = strShown.substr(nPos, nEnd - nPos);
        nPos = nEnd == std::wstring::npos ? strShown.size() : nEnd + 2;
        const size_t nColon = strLine.find(L':');
        const bool bDropLine = strLine.compare(0, 4, L"... ") == 0 &&
                               strLine + L"\r\n" == Dropped(std::stoi(strLine.substr(4)));
        if (bDropLine)
            shown.nCounted += std::stoi(strLine.substr(4));
        else if (nEnd == std::wstring::npos || nColon == std::wstring::npos)
            shown.bTorn = true;
        else
            shown.lines.emplace_back(std::stoi(strLine.substr(0, nColon)),
                                     std::stoi(strLine.substr(nColon + 1)));
    }
    return shown;
}

// Producers on several threads against a consumer that serves flush requests as the control's
// thread does (take the queue, work without the lock): every line arrives exactly once, each
// producer's lines in their order, never more than one request is outstanding, and no text is
// left queued without a request to fetch it.
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
            strShown += queue.Take();
        }
    });
    auto post = [&] {
        EXPECT_EQ(nPending.fetch_add(1), 0);
        return true;
    };
    Produce(queue, kThreads, kLines, post);
    bDone = true;
    consumer.join();
    EXPECT_EQ(queue.Peek(), L"");

    const Shown shown = ParseShown(strShown);
    ASSERT_FALSE(shown.bTorn);
    EXPECT_EQ(shown.nCounted, 0);
    std::vector<int> nNext(kThreads, 0);
    for (const auto& line : shown.lines)
        ASSERT_EQ(line.second, nNext[line.first]++) << "thread " << line.first;
    EXPECT_EQ(shown.lines.size(), size_t(kThreads) * kLines);
}

// What a flood looks like: level-99 lines of 4096-byte blocks (12,333 characters each) with
// nobody taking them. The queue stays within its bound (plus at most one piece), and the take
// answers one line for the dropped ones, then the newest lines whole and in order.
TEST(SinkQueueBound, AFloodKeepsTheNewestLinesAndCountsTheRest)
{
    const int kLines = 400;  // 4.9 million characters against a bound of 2 million
    SinkQueue queue;
    auto line = [](int i) {
        std::wstring str = std::to_wstring(i) + L" ";
        str.resize(12331, L'x');
        return str + L"\r\n";
    };
    for (int i = 0; i < kLines; ++i) {
        queue.Append(line(i).c_str(), false, [] { return true; });
        ASSERT_LE(queue.QueuedChars(), SINK_QUEUE_MAX_CHARS + SINK_QUEUE_PIECE_CHARS + 12333)
            << "after line " << i;
    }
    const std::wstring strTaken = queue.Take();
    const size_t nFirstEnd = strTaken.find(L"\r\n");
    ASSERT_NE(nFirstEnd, std::wstring::npos);
    const std::wstring strDropLine = strTaken.substr(0, nFirstEnd + 2);
    const std::wstring strPrefix = L"... ";
    const std::wstring strSuffix = L"\xC904 \xC0DD\xB7B5 ...\r\n";  // "줄 생략 ..."
    ASSERT_EQ(strDropLine.compare(0, strPrefix.size(), strPrefix), 0) << "no drop line first";
    ASSERT_GT(strDropLine.size(), strPrefix.size() + strSuffix.size());
    ASSERT_EQ(strDropLine.compare(strDropLine.size() - strSuffix.size(), strSuffix.size(), strSuffix), 0);
    const int nDropped = std::stoi(strDropLine.substr(strPrefix.size()));
    ASSERT_GT(nDropped, 0);
    ASSERT_LT(nDropped, kLines);
    std::wstring strKept;
    for (int i = nDropped; i < kLines; ++i)
        strKept += line(i);
    EXPECT_EQ(strTaken.substr(strDropLine.size()), strKept);
    EXPECT_EQ(queue.QueuedChars(), 0u);
    queue.Append(L"next\r\n", false, [] { return true; });
    EXPECT_EQ(queue.Take(), L"next\r\n") << "the count starts again after a take";
}

struct DropRow {
    const char* pszName;
    size_t nMaxChars;
    size_t nPieceChars;
    std::vector<const wchar_t*> appends;  // each with line feeds converted
    const wchar_t* pszTaken;
};


class SinkQueueDrops : public ::testing::TestWithParam<DropRow> {};

// How many lines the drop line counts, and which text goes: whole pieces, oldest first, a
// line cut between two pieces counted once.
TEST_P(SinkQueueDrops, TakeAnswersTheCountThenWhatIsLeft)
{
    const DropRow& row = GetParam();
    SinkQueue queue(row.nMaxChars, row.nPieceChars);
    for (const wchar_t* pszText : row.appends)
        queue.Append(pszText, true, [] { return true; });
    EXPECT_EQ(queue.Take(), row.pszTaken);
}

const DropRow kDropRows[] = {
    {"under_the_bound", 12, 1, {L"a1\n", L"a2\n", L"a3\n"}, L"a1\r\na2\r\na3\r\n"},
    {"oldest_lines_go", 12, 1, {L"a1\n", L"a2\n", L"a3\n", L"a4\n", L"a5\n"},
     L"... 2\xC904 \xC0DD\xB7B5 ...\r\na3\r\na4\r\na5\r\n"},
    // "x1 " and "x2\n" are one line, dropped in two steps: counted once.
    {"line_cut_between_pieces", 5, 1, {L"x1 ", L"x2\n", L"y\n"},
     L"... 1\xC904 \xC0DD\xB7B5 ...\r\ny\r\n"},
    // The rest of a line whose start went is still shown, after the count; the newest piece
    // stays even when it alone passes the bound.
    {"rest_of_a_cut_line_kept", 4, 1, {L"abc", L"def\n"},
     L"... 1\xC904 \xC0DD\xB7B5 ...\r\ndef\r\n"},
    // Appends share a piece until it is full; a dropped piece takes all its lines with it.
    {"pieces_of_several_lines", 10, 6, {L"aa\n", L"bb\n", L"cc\n", L"dd\n", L"ee\n"},
     L"... 4\xC904 \xC0DD\xB7B5 ...\r\nee\r\n"},
};
INSTANTIATE_TEST_SUITE_P(Rows, SinkQueueDrops, ::testing::ValuesIn(kDropRows),
                         [](const ::testing::TestParamInfo<DropRow>& info) { return info.param.pszName; });

// Producers that outrun the consumer against a small bound: none waits or fails, and every
// line is shown once, in its producer's order, or counted in a drop line.
TEST(SinkQueueBound, ProducersOutrunningTheConsumerLoseOnlyCountedLines)
{
    const int kThreads = 4;
    const int kLines = 3000;
    SinkQueue queue(600, 64);
    std::atomic<bool> bDone{false};
    std::wstring strShown;
    std::thread consumer([&] {
        while (!bDone.load()) {
            strShown += queue.Take();
            std::this_thread::yield();
        }
        strShown += queue.Take();
    });
    auto post = [] { return true; };
    Produce(queue, kThreads, kLines, post);
    bDone = true;
    consumer.join();

    const Shown shown = ParseShown(strShown);
    ASSERT_FALSE(shown.bTorn);
    std::vector<int> nNext(kThreads, 0);
    for (const auto& line : shown.lines) {
        ASSERT_GE(line.second, nNext[line.first]) << "thread " << line.first << " out of order";
        nNext[line.first] = line.second + 1;
    }
    EXPECT_EQ(static_cast<long long>(shown.lines.size()) + shown.nCounted,
              static_cast<long long>(kThreads) * kLines);
}

struct DeferralStep {
    bool bFollowing;
    bool bForced;
    std::uint32_t nNowMs;
    bool bInserts;
};

struct DeferralRow {
    const char* pszName;
    std::vector<DeferralStep> steps;
};

class SinkDeferral : public ::testing::TestWithParam<DeferralRow> {};

// Flushes in order with the time each comes at (period 500 ms): the first one that has to wait
// starts the clock, and the first flush one period later inserts even when no timer came.
TEST_P(SinkDeferral, InsertsAtTheLatestOnePeriodAfterTheFirstWait)
{
    FlushDeferral deferral(500);
    int nStep = 0;
    for (const DeferralStep& step : GetParam().steps) {
        EXPECT_EQ(deferral.Inserts(step.bFollowing, step.bForced, step.nNowMs), step.bInserts)
            << "step " << nStep;
        ++nStep;
    }
}

const DeferralRow kDeferralRows[] = {
    {"following_inserts_at_once", {{true, false, 0, true}, {true, false, 1, true}}},
    {"stream_while_scrolled_up",
     {{false, false, 1000, false}, {false, false, 1200, false}, {false, false, 1499, false},
      {false, false, 1500, true}, {false, false, 1501, false}, {false, false, 2001, true}}},
    {"timer_forces_and_starts_afresh",
     {{false, false, 0, false}, {false, true, 300, true}, {false, false, 700, false},
      {false, false, 1199, false}, {false, false, 1200, true}}},
    {"following_again_ends_the_wait",
     {{false, false, 0, false}, {true, false, 100, true}, {false, false, 450, false},
      {false, false, 600, false}, {false, false, 950, true}}},
    {"tick_count_wraps",
     {{false, false, 0xFFFFFF00u, false}, {false, false, 0x000000F3u, false},
      {false, false, 0x000000F4u, true}}},
};
INSTANTIATE_TEST_SUITE_P(Rows, SinkDeferral, ::testing::ValuesIn(kDeferralRows),
                         [](const ::testing::TestParamInfo<DeferralRow>& info) { return info.param.pszName; });

struct CutRow {
    const char* pszName;
    const wchar_t* pszText;
    size_t nFrom;
    size_t nMax;
    size_t nEnd;
};

class SinkInsertionEnd : public ::testing::TestWithParam<CutRow> {};

// One insertion's share of a take: whole lines where one fits, never half a surrogate pair.
TEST_P(SinkInsertionEnd, CutsAfterALineFeedWithinTheLimit)
{
    const CutRow& row = GetParam();
    EXPECT_EQ(InsertionEnd(row.pszText, row.nFrom, row.nMax), row.nEnd);
}

const CutRow kCutRows[] = {
    {"all_fits", L"ab\r\ncd\r\n", 0, 8, 8},
    {"rest_fits", L"ab\r\ncd\r\n", 4, 4, 8},
    {"after_the_last_line_feed", L"ab\r\ncd\r\nef\r\n", 0, 9, 8},
    {"line_feed_at_the_limit", L"ab\r\ncd\r\n", 0, 4, 4},
    {"from_the_middle", L"ab\r\ncd\r\nef\r\n", 4, 6, 8},
    {"no_line_feed_cuts_at_the_limit", L"abcdefgh", 0, 5, 5},
    {"line_feed_before_from_not_used", L"a\nbcdefgh", 2, 4, 6},
    {"surrogate_pair_kept_whole", L"abc\xD83D\xDE00xyz", 0, 4, 3},
    {"nothing_left", L"ab", 2, 4, 2},
};
INSTANTIATE_TEST_SUITE_P(Rows, SinkInsertionEnd, ::testing::ValuesIn(kCutRows),
                         [](const ::testing::TestParamInfo<CutRow>& info) { return info.param.pszName; });

}  // namespace
