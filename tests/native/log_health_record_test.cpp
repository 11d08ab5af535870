// The health figures: days split at local midnight by the caller's clock, counts from other
// threads never lost or counted twice across a split, and the texts a support desk reads.
#include "log/health_record.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

HealthStamp At(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond)
{
    HealthStamp stamp;
    stamp.nYear = nYear;
    stamp.nMonth = nMonth;
    stamp.nDay = nDay;
    stamp.nHour = nHour;
    stamp.nMinute = nMinute;
    stamp.nSecond = nSecond;
    return stamp;
}

TEST(HealthRecordTest, MidnightEndsTheDayAndTheNextDayStartsFromNothing)
{
    CHealthRecord record;
    HealthDay day;
    record.Start(At(2026, 12, 31, 22, 0, 0));
    record.Add(HEALTH_TERMINAL_FRAMES);
    record.Add(HEALTH_TERMINAL_BYTES, 57);
    EXPECT_FALSE(record.RollDay(At(2026, 12, 31, 23, 59, 59), day));

    ASSERT_TRUE(record.RollDay(At(2027, 1, 1, 0, 0, 0), day));  // year end, too
    EXPECT_EQ(HealthDateText(day.date), "2026-12-31");
    EXPECT_EQ(day.figures[HEALTH_TERMINAL_FRAMES], 1u);
    EXPECT_EQ(day.figures[HEALTH_TERMINAL_BYTES], 57u);
    EXPECT_FALSE(record.RollDay(At(2027, 1, 1, 0, 0, 1), day));

    record.Add(HEALTH_TERMINAL_FRAMES, 2);
    const HealthDay today = record.Today();
    EXPECT_EQ(HealthDateText(today.date), "2027-01-01");
    EXPECT_EQ(today.figures[HEALTH_TERMINAL_FRAMES], 2u);
    EXPECT_EQ(today.figures[HEALTH_TERMINAL_BYTES], 0u);
    EXPECT_EQ(record.Totals()[HEALTH_TERMINAL_FRAMES], 3u);
}

TEST(HealthRecordTest, AClockPutBackOrADayMissedDoesNotConfuseTheDays)
{
    CHealthRecord record;
    HealthDay day;
    EXPECT_FALSE(record.RollDay(At(2026, 5, 2, 0, 0, 0), day)) << "not started yet";
    record.Start(At(2026, 5, 2, 9, 0, 0));
    record.Add(HEALTH_PORT_LOSSES);
    EXPECT_FALSE(record.RollDay(At(2026, 5, 1, 23, 0, 0), day)) << "clock put back";
    // A PC asleep over two midnights: one summary, for the day the counts belong to.
    ASSERT_TRUE(record.RollDay(At(2026, 5, 4, 8, 0, 0), day));
    EXPECT_EQ(HealthDateText(day.date), "2026-05-02");
    EXPECT_EQ(day.figures[HEALTH_PORT_LOSSES], 1u);
    EXPECT_EQ(HealthDateText(record.Today().date), "2026-05-04");
}

TEST(HealthRecordTest, CountsFromOtherThreadsAddUpOverTheDaysRolledMeanwhile)
{
    CHealthRecord record;
    record.Start(At(2026, 1, 1, 0, 0, 0));
    constexpr int kThreads = 4, kCounts = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&record] {
            for (int i = 0; i < kCounts; ++i)
                record.Add(HEALTH_HOST_BYTES, 3);
        });
    std::uint64_t nSummed = 0;
    HealthDay day;
    for (int d = 2; d <= 28; ++d)
        if (record.RollDay(At(2026, 1, d, 0, 0, 0), day))
            nSummed += day.figures[HEALTH_HOST_BYTES];
    for (std::thread& thread : threads)
        thread.join();
    nSummed += record.Today().figures[HEALTH_HOST_BYTES];
    EXPECT_EQ(nSummed, 3u * kThreads * kCounts);
    EXPECT_EQ(record.Totals()[HEALTH_HOST_BYTES], 3u * kThreads * kCounts);
}

TEST(HealthRecordTest, SummaryLineNamesEveryFigureInItsPlace)
{
    HealthDay day;
    day.date.nYear = 2026, day.date.nMonth = 7, day.date.nDay = 4;
    for (int i = 0; i < HEALTH_COUNTER_COUNT; ++i)
        day.figures[i] = 100 + i;
    EXPECT_EQ(DailySummaryLine(day),
              "일일 요약: 2026-07-04 단말 프레임 100 (101바이트), 호스트 블록 102 (103바이트), "
              "접속 TCP 104 TLS 105, 접속오류 #1 106 #2 107 #3 108, 종료 DLE 109 EOM 110 "
              "호스트 111 송신실패 112, 포트 끊김 113 재연결 114, 로그 생략 115줄");
}

TEST(HealthRecordTest, TimeSinceStartAndLastConnection)
{
    struct Case {
        HealthStamp from, to;
        const char* pszDuration;
    };
    const Case cases[] = {
        {At(2026, 3, 1, 10, 0, 0), At(2026, 3, 1, 10, 0, 59), "0일 00:00:59"},
        {At(2026, 2, 28, 23, 59, 59), At(2026, 3, 1, 0, 0, 0), "0일 00:00:01"},
        {At(2028, 2, 28, 12, 0, 0), At(2028, 3, 1, 13, 1, 1), "2일 01:01:01"},  // leap year
        {At(2026, 12, 31, 0, 0, 0), At(2027, 1, 2, 0, 0, 0), "2일 00:00:00"},
        {At(2026, 3, 1, 10, 0, 0), At(2026, 3, 1, 9, 0, 0), "0일 00:00:00"},  // clock put back
    };
    for (const Case& c : cases)
        EXPECT_EQ(HealthDurationText(HealthSecondsBetween(c.from, c.to)), c.pszDuration)
            << HealthTimeText(c.from) << " .. " << HealthTimeText(c.to);

    CHealthRecord record;
    record.Start(At(2026, 3, 1, 8, 0, 0));
    EXPECT_EQ(HealthAboutText(record, At(2026, 3, 2, 9, 30, 5)),
              "실행 시간: 1일 01:30:05\n마지막 접속: 없음");
    record.MarkServed(At(2026, 3, 2, 9, 7, 3));
    EXPECT_EQ(HealthAboutText(record, At(2026, 3, 2, 9, 30, 5)),
              "실행 시간: 1일 01:30:05\n마지막 접속: 2026-03-02 09:07:03");
}

}  // namespace
