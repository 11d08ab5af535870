// The watch loop's back-off: a vanished device must cost a bounded number of unpaused wakes,
// end the thread after about two seconds, and a working device must never be given up on.
#include "serial/watch_backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr unsigned G = CWatchBackoff::GIVE_UP;

std::vector<unsigned> EmptyWakes(CWatchBackoff& backoff, int nCount)
{
    std::vector<unsigned> pauses;
    for (int i = 0; i < nCount; ++i)
        pauses.push_back(backoff.EmptyWake());
    return pauses;
}

TEST(WatchBackoffTest, EmptyStreakPausesDoublingThenGivesUpAfterTwoSeconds)
{
    CWatchBackoff backoff;
    // Three free wakes; 10 ms doubling to a 250 ms cap; given up once 2060 ms (>= 2000)
    // have been paused; and given up for good.
    const std::vector<unsigned> expected = {0,   0,   0,   10,  20,  40,  80,  160, 250,
                                            250, 250, 250, 250, 250, 250, G,   G};
    EXPECT_EQ(EmptyWakes(backoff, static_cast<int>(expected.size())), expected);
}

TEST(WatchBackoffTest, DeliveryStartsTheCountAfresh)
{
    struct Row {
        int nEmptyBefore; // empty wakes before the delivery
    };
    // Just before the first pause, in the middle of the pauses, and just before giving up.
    for (const Row& row : {Row{3}, Row{6}, Row{15}}) {
        SCOPED_TRACE(row.nEmptyBefore);
        CWatchBackoff fresh;
        CWatchBackoff backoff;
        EmptyWakes(backoff, row.nEmptyBefore);
        backoff.Delivered();
        EXPECT_EQ(EmptyWakes(backoff, 17), EmptyWakes(fresh, 17));
    }
}

} // namespace
