// The event log's rate limit: one event per cause (message id and subject) per minute, a
// dead host retried for minutes costs one event a minute, and the table of causes stays
// bounded without letting a known cause through early.
#include "log/event_throttle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t MINUTE = 60 * 1000;
constexpr std::uint32_t CONNECT_FAILED = 0x800000C8;  // a warning id, as the table numbers them
constexpr std::uint32_t PORT_LOST = 0xC0000065;       // an error id

TEST(EventThrottleTest, OneEventPerCausePerMinute)
{
    struct Row {
        std::uint32_t nId;
        const char* pszSubject;
        std::uint64_t nAtMs;
        bool bAdmitted;
    };
    // Played in order against one throttle.
    const Row rows[] = {
        {CONNECT_FAILED, "10.0.0.1:9000", 1000, true},             // first of its cause
        {CONNECT_FAILED, "10.0.0.1:9000", 1001, false},            // same cause at once
        {CONNECT_FAILED, "10.0.0.2:9000", 1002, true},             // another host
        {CONNECT_FAILED, "10.0.0.1:9001", 1003, true},             // another port of the host
        {PORT_LOST, "10.0.0.1:9000", 1004, true},                  // another id, same subject
        {CONNECT_FAILED, "10.0.0.1:9000", 1000 + MINUTE - 1, false},  // a minute less 1 ms
        {CONNECT_FAILED, "10.0.0.1:9000", 1000 + MINUTE, true},       // a minute later
        {CONNECT_FAILED, "10.0.0.1:9000", 1000 + MINUTE + 1, false},  // its minute starts again
        {CONNECT_FAILED, "10.0.0.2:9000", 1000 + MINUTE + 2, true},   // other causes keep theirs
        {CONNECT_FAILED, "", 5 * MINUTE, true},                       // no subject is a subject
        {CONNECT_FAILED, "", 5 * MINUTE + 1, false},
    };
    CEventThrottle throttle;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.pszSubject) + " at " + std::to_string(row.nAtMs));
        EXPECT_EQ(throttle.Admit(row.nId, row.pszSubject, row.nAtMs), row.bAdmitted);
    }
}

// A terminal asking every second for a host that refuses: ten minutes, ten events, each a
// minute after the last one that passed.
TEST(EventThrottleTest, DeadHostRetriedEverySecondLeavesOneEventAMinute)
{
    CEventThrottle throttle;
    std::vector<std::uint64_t> admittedAt;
    for (std::uint64_t t = 0; t < 10 * MINUTE; t += 1000)
        if (throttle.Admit(CONNECT_FAILED, "192.168.0.10:8000", t))
            admittedAt.push_back(t);
    std::vector<std::uint64_t> expected;
    for (std::uint64_t m = 0; m < 10; ++m)
        expected.push_back(m * MINUTE);
    EXPECT_EQ(admittedAt, expected);
}

// Hosts come from terminal frames: random bytes can name a new host every frame. At most
// MAX_CAUSES causes are remembered and pass in a minute; room is made only from causes whose
// minute is over, so a cause that is still held back stays held back.
TEST(EventThrottleTest, CausesAreBoundedAndOnlyExpiredOnesMakeRoom)
{
    const std::size_t nMax = CEventThrottle::MAX_CAUSES;
    auto host = [](std::size_t i) { return "10.1.0." + std::to_string(i) + ":9000"; };
    CEventThrottle throttle;
    for (std::size_t i = 0; i < nMax; ++i)
        ASSERT_TRUE(throttle.Admit(CONNECT_FAILED, host(i), i)) << i;

    EXPECT_FALSE(throttle.Admit(CONNECT_FAILED, host(nMax), 100)) << "table full, all young";
    EXPECT_FALSE(throttle.Admit(CONNECT_FAILED, host(0), 200)) << "a known cause stays held";

    // Host 0's minute is over (it passed at 0); every other cause is still young.
    EXPECT_TRUE(throttle.Admit(CONNECT_FAILED, host(nMax), MINUTE)) << "room from host 0";
    EXPECT_FALSE(throttle.Admit(CONNECT_FAILED, host(nMax + 1), MINUTE)) << "full again";
    EXPECT_FALSE(throttle.Admit(CONNECT_FAILED, host(1), MINUTE))
        << "host 1 passed at 1 ms: its minute is not over, dropping it must not reset it";
    EXPECT_TRUE(throttle.Admit(CONNECT_FAILED, host(1), MINUTE + 1));
}

}  // namespace
