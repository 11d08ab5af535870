// The diagnostics bundle apart from Windows: its name, which log files go in, and how the
// archive is filled under its size cap.
//
// Why here: these rules decide what a support desk receives from a shop (whether yesterday's
// log is there, whether the summary says what was left out), so they are tested natively with
// sources made in memory. The Windows side (collect.*) only finds the files and the facts.
//
// The cap: the archive as written, summary.txt and the central directory included, never
// passes it. Items go in in the order given (the settings files first, then the log files
// newest first); an item is compressed straight into the archive and dropped again when the
// archive would pass the cap with it, and after the first log file that does not fit, every
// older one is left out too: the oldest days go first. summary.txt goes in last and lists all
// of it. No Windows header; one call belongs to one thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diag/zip_writer.h"

constexpr uint64_t BUNDLE_CAP_BYTES = 50ull * 1024 * 1024;
constexpr int BUNDLE_LOG_DAYS = 7;                  // today and the six days before it
constexpr size_t BUNDLE_SUMMARY_MAX_BYTES = 60 * 1024;  // a longer summary is cut
constexpr char BUNDLE_SUMMARY_NAME[] = "summary.txt";
constexpr char BUNDLE_FILE_MISSING[] = "없음";  // why a file that is not there was not read

// "Pellarin-<computer>-YYYYMMDD-HHMMSS.zip"; for nCopy above 1 (a name already taken by a
// bundle of the same second) "...-HHMMSS-<nCopy>.zip". Characters a file name cannot hold
// become '_'.
std::string BundleFileName(const std::string& strComputer, int nYear, int nMonth, int nDay,
                           int nHour, int nMinute, int nSecond, int nCopy = 1);

// The daily log files (as log_file_rules.h names them) among strNames whose day is one of the
// BUNDLE_LOG_DAYS days up to nToday, newest first: by day, and within a day the latest part
// first. Other names are never chosen.
std::vector<std::string> RecentLogFiles(const std::vector<std::string>& strNames, int nToday);

// An opened file's bytes.
class IBundleSource {
public:
    virtual ~IBundleSource() = default;
    // Up to nBytes into pBuffer; 0 at the end, -1 on a read error.
    virtual long Read(void* pBuffer, size_t nBytes) = 0;
};

struct BundleItem {
    std::string strName;  // the name in the archive
    bool bLogFile = false;
    ZipTime time;
    // Opens the file; null with *pstrWhy set when it cannot be read (BUNDLE_FILE_MISSING for
    // a file that is not there).
    std::function<std::unique_ptr<IBundleSource>(std::string* pstrWhy)> open;
};

struct BundleOutcome {
    std::vector<std::string> included;  // names, in archive order (summary.txt not listed)
    std::vector<std::string> leftOut;   // left out for the cap, in the order given
    std::vector<std::pair<std::string, std::string>> unreadable;  // name and why
    bool bCancelled = false;
    bool bOutputFailed = false;  // the archive could not be written
};

// Fills the archive from items under nCapBytes, then adds summary.txt made by summary(outcome)
// (stamped summaryTime) and finishes the archive. *pOutcome tells what happened; true when the archive is complete.
// pCancel (may be null) is looked at between pieces of a file: when set, the call returns
// false with bCancelled.
bool WriteBundle(CZipWriter& writer, const std::vector<BundleItem>& items, uint64_t nCapBytes,
                 const std::function<std::string(const BundleOutcome&)>& summary,
                 ZipTime summaryTime, const std::atomic<bool>* pCancel,
                 BundleOutcome* pOutcome);
