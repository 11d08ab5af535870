// The relay's health figures: what it carried and what went wrong, since start and since the
// local day began. A support desk reads them in the daily summary line (window and file), in
// the daily event of the Windows event log and in the diagnostics bundle.
//
// Counting must cost the relay's path nothing measurable, so a count is one relaxed atomic
// add on a process-wide total; nothing is locked and nothing allocated. The day's figures are
// the totals minus the totals at the day's start: RollDay takes the totals once, hands back
// the finished day's part and makes those totals the new day's base, so no count falls between
// two days or into both. Counts come from the UI thread, the host receive threads and the log
// writer; RollDay, the stamps and the texts belong to the UI thread (the diagnostics thread
// may read the text too: the stamps are under a lock).
//
// The clock is the caller's: every call that needs the time takes it as a HealthStamp, so the
// tests play midnight with stamps of their own. No Windows header.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

enum HealthCounter {
    HEALTH_TERMINAL_FRAMES,
    HEALTH_TERMINAL_BYTES,
    HEALTH_HOST_BLOCKS,
    HEALTH_HOST_BYTES,
    HEALTH_PLAIN_CONNECTIONS,
    HEALTH_TLS_CONNECTIONS,
    HEALTH_CONNECT_ERRORS_1,   // the host could not be reached
    HEALTH_CONNECT_ERRORS_2,   // TLS could not be started
    HEALTH_CONNECT_REFUSED_3,  // the host is not allowed ([RELAY] AllowHosts)
    HEALTH_ENDED_BY_DLE,
    HEALTH_ENDED_BY_EOM,
    HEALTH_ENDED_BY_HOST,      // the host closed, failed or stayed silent
    HEALTH_ENDED_BY_SEND,      // a send to the host failed or timed out
    HEALTH_PORT_LOSSES,
    HEALTH_PORT_REOPENS,
    HEALTH_LOG_LINES_DROPPED,
    HEALTH_COUNTER_COUNT
};

using HealthFigures = std::array<std::uint64_t, HEALTH_COUNTER_COUNT>;

// A local time, as the clock of the caller gives it.
struct HealthStamp {
    int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
    bool IsSet() const { return nYear != 0; }
    int Date() const { return nYear * 10000 + nMonth * 100 + nDay; }  // YYYYMMDD
};

// One finished (or, at Exit, cut short) day: its date and its figures.
struct HealthDay {
    HealthStamp date;  // the day's date (the time fields are 0)
    HealthFigures figures{};
};

class CHealthRecord {
public:
    CHealthRecord() = default;
    CHealthRecord(const CHealthRecord&) = delete;
    CHealthRecord& operator=(const CHealthRecord&) = delete;

    // Any thread.
    void Add(HealthCounter counter, std::uint64_t n = 1)
    {
        m_totals[counter].fetch_add(n, std::memory_order_relaxed);
    }
    HealthFigures Totals() const;

    // The relay started: the start time and the first day. UI thread.
    void Start(const HealthStamp& now);
    // A host connection was made. Any thread.
    void MarkServed(const HealthStamp& now);

    // When the date of `now` is past the current day's, fills `day` with the finished day and
    // starts the new one; otherwise false. UI thread.
    bool RollDay(const HealthStamp& now, HealthDay& day);
    // The current day so far (at Exit). UI thread.
    HealthDay Today() const;

    HealthStamp Started() const;
    HealthStamp LastServed() const;  // not set when no connection was made yet

private:
    std::array<std::atomic<std::uint64_t>, HEALTH_COUNTER_COUNT> m_totals{};
    mutable std::mutex m_lock;  // the fields below
    HealthFigures m_dayBase{};
    HealthStamp m_start;
    HealthStamp m_day;
    HealthStamp m_lastServed;
};

// "일일 요약: YYYY-MM-DD ..." with a day's date and figures, the status line of midnight and
// Exit (the midnight line is written on the next day: the date says which day it sums up).
std::string DailySummaryLine(const HealthDay& day);
// "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS".
std::string HealthDateText(const HealthStamp& stamp);
std::string HealthTimeText(const HealthStamp& stamp);
// Whole seconds from `from` to `to` (local civil time; 0 when `to` is earlier).
long long HealthSecondsBetween(const HealthStamp& from, const HealthStamp& to);
// "N일 HH:MM:SS" for a number of seconds.
std::string HealthDurationText(long long nSeconds);
// The about box's lines: the time since start and the last served connection.
std::string HealthAboutText(const CHealthRecord& record, const HealthStamp& now);
// Everything, since start and today, one figure a line: for the diagnostics bundle.
std::string HealthReportText(const CHealthRecord& record, const HealthStamp& now);
