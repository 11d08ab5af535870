// The daily log file's rules with dates and times handed in: the file of a line's day, the day
// change at midnight and year end, parts, which files retention deletes, when a failed folder
// is tried again, and the [LOG] values that cannot be used.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log_file_rules.h"

namespace {

int Day(const char* pszTimestamp)
{
    int nDays = -1;
    EXPECT_TRUE(DayOfTimestamp(pszTimestamp, &nDays)) << pszTimestamp;
    return nDays;
}

TEST(LogFileName, IsTheLocalDateOfTheLine)
{
    const struct {
        const char* pszStamp;
        int nPart;
        const char* pszName;
    } rows[] = {
        {"2026/12/08 13:51:34", 0, "pellarin-20261208.log"},
        {"2026/12/08 00:00:00", 2, "pellarin-20261208-2.log"},
        {"2024/02/29 23:59:59", 0, "pellarin-20240229.log"},
        {"2038/01/19 03:14:08", 11, "pellarin-20380119-11.log"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(LogFileName(Day(row.pszStamp), row.nPart), row.pszName);
        int nDays = 0, nPart = -1;
        ASSERT_TRUE(ParseLogFileName(row.pszName, &nDays, &nPart)) << row.pszName;
        EXPECT_EQ(nDays, Day(row.pszStamp));
        EXPECT_EQ(nPart, row.nPart);
    }
}

TEST(LogFileName, DayChangesAtMidnightAndYearEnd)
{
    EXPECT_EQ(Day("2026/12/08 23:59:59"), Day("2026/12/08 00:00:00"));
    EXPECT_EQ(Day("2026/12/09 00:00:00"), Day("2026/12/08 23:59:59") + 1);
    EXPECT_EQ(Day("2027/01/01 00:00:00"), Day("2026/12/31 23:59:59") + 1);
    EXPECT_EQ(Day("2024/03/01 00:00:00"), Day("2024/02/28 12:00:00") + 2);  // leap day between
}

TEST(LogFileName, StampsWithoutADateGiveNoDay)
{
    for (const char* pszStamp : {"0000/00/00 00:00:00", "2026/02/30 10:00:00", "2026-12-08 10:00",
                                 "2026/12/0", ""}) {
        int nDays = 0;
        EXPECT_FALSE(DayOfTimestamp(pszStamp, &nDays)) << pszStamp;
    }
}

TEST(LogFileName, OtherNamesAreNotLogFiles)
{
    for (const char* pszName :
         {"pellarin-20261208.txt", "pellarin-2026120.log", "pellarin-20261208-0.log",
          "pellarin-20261208-01.log", "pellarin-20261208-.log", "other-20261208.log",
          "pellarin-20261308.log", "pellarin-20261208-1x.log", "config.ini"}) {
        int nDays = 0, nPart = 0;
        EXPECT_FALSE(ParseLogFileName(pszName, &nDays, &nPart)) << pszName;
    }
}

// Retention: a file goes only when both its name's day and its last write are more than
// KeepDays back; a file named after today stays with a status line; a run that would delete
// every log file (a clock set ahead) deletes none, with a status line.
struct RetentionRow {
    const char* pszName;
    std::vector<LogFileEntry> files;  // write days as offsets from today, fixed below
    int nKeepDays;
    std::vector<std::string> expired;
    std::vector<const char*> notes;   // each note contains this
};

TEST(LogFileRetention, NeverTrustsTheClockAlone)
{
    const int nToday = Day("2026/12/08 10:00:00");
    const auto file = [nToday](const char* pszName, int nWrittenDaysAgo) {
        return LogFileEntry{pszName, nToday - nWrittenDaysAgo};
    };
    const RetentionRow rows[] = {
        {"by_name_and_write",
         {file("pellarin-20261208.log", 0), file("pellarin-20260909.log", 90),
          file("pellarin-20260908.log", 91), file("pellarin-20260908-3.log", 91),
          file("pellarin-20200101.txt", 3000), file("notes-20200101.log", 3000)},
         90, {"pellarin-20260908.log", "pellarin-20260908-3.log"}, {}},
        {"keep_one_day",
         {file("pellarin-20261208.log", 0), file("pellarin-20260909.log", 90),
          file("pellarin-20260908.log", 91)},
         1, {"pellarin-20260909.log", "pellarin-20260908.log"}, {}},
        {"old_name_recent_write",
         {file("pellarin-20261208.log", 0), file("pellarin-20200101.log", 3)}, 90, {}, {}},
        {"recent_name_old_write",
         {file("pellarin-20261208.log", 0), file("pellarin-20261201.log", 400)}, 90, {}, {}},
        {"named_in_the_future",
         {file("pellarin-20261208.log", 0), file("pellarin-20301209.log", -1460),
          file("pellarin-20301210.log", 500)},
         90, {}, {"pellarin-20301209.log 외 1개"}},
        {"clock_set_years_ahead",
         {file("pellarin-20261207.log", 1500), file("pellarin-20261206.log", 1501)}, 90, {},
         {"2개 모두 90일"}},
    };
    for (const RetentionRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        const int nDay = std::string(row.pszName) == "clock_set_years_ahead" ? nToday + 1500
                                                                              : nToday;
        std::vector<LogFileEntry> files = row.files;
        for (LogFileEntry& entry : files)
            entry.nWriteDay += nDay - nToday;
        const RetentionPlan plan = PlanRetention(files, nDay, row.nKeepDays);
        EXPECT_EQ(plan.expired, row.expired);
        ASSERT_EQ(plan.notes.size(), row.notes.size());
        for (size_t i = 0; i < row.notes.size(); ++i)
            EXPECT_NE(plan.notes[i].find(row.notes[i]), std::string::npos) << plan.notes[i];
    }
}

TEST(LogFileParts, NextPartOnlyWhenALineWouldPassTheLimit)
{
    EXPECT_FALSE(NeedsNextPart(0, 500, 100));  // an empty file takes even a longer line
    EXPECT_FALSE(NeedsNextPart(50, 50, 100));
    EXPECT_TRUE(NeedsNextPart(50, 51, 100));
}

TEST(LogFileRetry, AfterSixtySecondsOrOnAnotherDay)
{
    const int nDay = Day("2026/12/08 23:59:00");
    const uint64_t nFail = 5000;
    EXPECT_FALSE(ShouldRetryFolder(nDay, nFail, nDay, nFail));
    EXPECT_FALSE(ShouldRetryFolder(nDay, nFail, nDay, nFail + 59999));
    EXPECT_TRUE(ShouldRetryFolder(nDay, nFail, nDay, nFail + 60000));
    EXPECT_TRUE(ShouldRetryFolder(nDay, nFail, nDay + 1, nFail + 1));
}

struct SettingsRow {
    const char* pszName;
    LogIniValues values;
    std::string strDir;
    int nKeepDays, nMaxFileMB;
    bool bMask;
    const char* pszNote;  // the one status line must contain this; null: no status line
};

const SettingsRow kSettingsRows[] = {
    {"defaults", {}, "", 90, 100, true, nullptr},
    {"all_set", {"D:\\logs", "30", " 5 ", "1"}, "D:\\logs", 30, 5, true, nullptr},
    {"relative_dir", {"log", "", "", ""}, "log", 90, 100, true, nullptr},
    {"dir_bad_char", {"C:\\a|b", "", "", ""}, "", 90, 100, true, "Dir=C:\\a|b"},
    {"keep_text", {"", "abc", "", ""}, "", 90, 100, true, "KeepDays=abc"},
    {"keep_zero", {"", "0", "", ""}, "", 90, 100, true, "KeepDays=0"},
    {"keep_negative", {"", "-5", "", ""}, "", 90, 100, true, "KeepDays=-5"},
    {"max_too_big", {"", "", "5000", ""}, "", 90, 100, true, "MaxFileMB=5000"},
    {"max_overflow", {"", "", "99999999999999999999", ""}, "", 90, 100, true, "MaxFileMB="},
    {"mask_off", {"", "", "", "0"}, "", 90, 100, false, "MaskCardNumbers=0"},
    {"mask_unusable", {"", "", "", "no"}, "", 90, 100, true, "MaskCardNumbers=no"},
};

class SettingsTable : public ::testing::TestWithParam<SettingsRow> {};

TEST_P(SettingsTable, UnusableValueTakesDefaultWithOneStatusLine)
{
    const SettingsRow& row = GetParam();
    std::vector<std::string> notes;
    const LogSettings settings = ParseLogSettings(row.values, &notes);
    EXPECT_EQ(settings.strDir, row.strDir);
    EXPECT_EQ(settings.nKeepDays, row.nKeepDays);
    EXPECT_EQ(settings.nMaxFileMB, row.nMaxFileMB);
    EXPECT_EQ(settings.bMaskCards, row.bMask);
    if (row.pszNote == nullptr) {
        EXPECT_TRUE(notes.empty()) << notes.front();
    } else {
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_NE(notes[0].find(row.pszNote), std::string::npos) << notes[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Values, SettingsTable, ::testing::ValuesIn(kSettingsRows),
                         [](const ::testing::TestParamInfo<SettingsRow>& info) {
                             return std::string(info.param.pszName);
                         });

}  // namespace
