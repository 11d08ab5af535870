// The daily log file's rules, apart from the file system: the [LOG] settings of config.ini
// and what is said about values that cannot be used, the file names, the day of a line, when
// a file rolls over, which files retention deletes, and when a failed folder is tried again.
//
// Why here: these decide what an operator finds on disk months later, so they are tested
// natively with dates and times handed in (no clock, no disk). The writer thread
// (log_file_writer.*) only carries them out.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr int LOG_KEEP_DAYS_DEFAULT = 90;
constexpr int LOG_KEEP_DAYS_MAX = 36500;
constexpr int LOG_MAX_FILE_MB_DEFAULT = 100;
constexpr int LOG_MAX_FILE_MB_MAX = 2000;
constexpr uint64_t LOG_FILE_RETRY_MS = 60000;   // a failed folder is tried again after this
constexpr size_t LOG_DIR_MAX_CHARS = 200;       // leaves room for "\pellarin-YYYYMMDD-N.log"
constexpr char LOG_DIR_DEFAULT[] = "%ProgramData%\\Pellarin\\log";  // expanded by the writer

// [LOG] values as read from config.ini; empty when the key is missing or has no value (the
// default then holds without a word).
struct LogIniValues {
    std::string strDir, strKeepDays, strMaxFileMB, strMaskCardNumbers;
};

struct LogSettings {
    std::string strDir;  // as configured; empty: the default folder
    int nKeepDays = LOG_KEEP_DAYS_DEFAULT;
    int nMaxFileMB = LOG_MAX_FILE_MB_DEFAULT;
    bool bMaskCards = true;
};

// The settings, and one status line (code page 949) per value that cannot be used (it takes
// its default) and one when masking is turned off.
LogSettings ParseLogSettings(const LogIniValues& values, std::vector<std::string>* pNotes);

// Days since 1970-01-01 of a civil date (proleptic Gregorian); and back.
int DaysFromCivil(int nYear, int nMonth, int nDay);
void CivilFromDays(int nDays, int* pYear, int* pMonth, int* pDay);

// The day of a log line from its time stamp ("YYYY/MM/DD hh:mm:ss"); false when the stamp
// holds no valid date (the clock failed).
bool DayOfTimestamp(const char* pszTimestamp, int* pDays);

// "pellarin-YYYYMMDD.log" for part 0, "pellarin-YYYYMMDD-N.log" for part N.
std::string LogFileName(int nDays, int nPart);
// The day and part of a name LogFileName makes; false for any other name.
bool ParseLogFileName(const std::string& strName, int* pDays, int* pPart);

// True when a line of nLineBytes must go to the next part: the file already holds something
// and the line would take it past nMaxBytes. A single line longer than the limit still goes
// into an empty file whole.
bool NeedsNextPart(uint64_t nFileBytes, size_t nLineBytes, uint64_t nMaxBytes);

// Retention never trusts the clock alone. A log file is deleted on day nToday only when both
// the day in its name and the day of its last write are more than nKeepDays back. A file
// named after a day later than today is kept and named in a status line (the clock is behind,
// or was ahead when it was written). And when every log file of the folder would go, none
// does, with a status line: that is what a clock set years ahead looks like at the next
// start (the day's own file is not written yet); once the relay has written a day under the
// present clock, the older files go as usual. Names that are not log files are never chosen.
struct LogFileEntry {
    std::string strName;  // bare file name
    int nWriteDay;        // local day of its last write (days since 1970-01-01)
};
struct RetentionPlan {
    std::vector<std::string> expired;  // to delete
    std::vector<std::string> notes;    // status lines (code page 949)
};
RetentionPlan PlanRetention(const std::vector<LogFileEntry>& files, int nToday, int nKeepDays);

// After the folder failed on day nFailDay at nFailMs (a monotonic clock in milliseconds), a
// line of day nDay at nNowMs tries it again: on another day, or 60 s later.
bool ShouldRetryFolder(int nFailDay, uint64_t nFailMs, int nDay, uint64_t nNowMs);
