// The health figures' day arithmetic and texts; see health_record.h.
#include "log/health_record.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string Format(const char* pszFormat, ...)
{
    char szText[128];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    return szText;
}

std::string Count(std::uint64_t n)
{
    return std::to_string(n);
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long DaysFromCivil(int nYear, int nMonth, int nDay)
{
    nYear -= nMonth <= 2;
    const long long nEra = (nYear >= 0 ? nYear : nYear - 399) / 400;
    const long long nYoe = nYear - nEra * 400;
    const long long nDoy = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5 + nDay - 1;
    const long long nDoe = nYoe * 365 + nYoe / 4 - nYoe / 100 + nDoy;
    return nEra * 146097 + nDoe - 719468;
}

long long SecondsOf(const HealthStamp& stamp)
{
    return DaysFromCivil(stamp.nYear, stamp.nMonth, stamp.nDay) * 86400LL + stamp.nHour * 3600LL +
           stamp.nMinute * 60LL + stamp.nSecond;
}

HealthStamp DateOf(const HealthStamp& stamp)
{
    HealthStamp date;
    date.nYear = stamp.nYear;
    date.nMonth = stamp.nMonth;
    date.nDay = stamp.nDay;
    return date;
}

// One line a figure for the report: label and counter.
struct Label {
    HealthCounter counter;
    const char* pszText;
};
const Label kLabels[] = {
    {HEALTH_TERMINAL_FRAMES, "단말 프레임"},
    {HEALTH_TERMINAL_BYTES, "단말 바이트"},
    {HEALTH_HOST_BLOCKS, "호스트 블록"},
    {HEALTH_HOST_BYTES, "호스트 바이트"},
    {HEALTH_PLAIN_CONNECTIONS, "접속 TCP"},
    {HEALTH_TLS_CONNECTIONS, "접속 TLS"},
    {HEALTH_CONNECT_ERRORS_1, "접속오류 #1"},
    {HEALTH_CONNECT_ERRORS_2, "접속오류 #2"},
    {HEALTH_CONNECT_REFUSED_3, "접속거부 #3"},
    {HEALTH_ENDED_BY_DLE, "종료 DLE"},
    {HEALTH_ENDED_BY_EOM, "종료 EOM"},
    {HEALTH_ENDED_BY_HOST, "종료 호스트"},
    {HEALTH_ENDED_BY_SEND, "종료 송신실패"},
    {HEALTH_PORT_LOSSES, "포트 끊김"},
    {HEALTH_PORT_REOPENS, "포트 재연결"},
    {HEALTH_LOG_LINES_DROPPED, "로그 생략 줄"},
};
static_assert(sizeof(kLabels) / sizeof(kLabels[0]) == HEALTH_COUNTER_COUNT, "a label a counter");

}  // namespace

HealthFigures CHealthRecord::Totals() const
{
    HealthFigures totals{};
    for (int i = 0; i < HEALTH_COUNTER_COUNT; ++i)
        totals[i] = m_totals[i].load(std::memory_order_relaxed);
    return totals;
}

void CHealthRecord::Start(const HealthStamp& now)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_start = now;
    m_day = DateOf(now);
}

void CHealthRecord::MarkServed(const HealthStamp& now)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_lastServed = now;
}

bool CHealthRecord::RollDay(const HealthStamp& now, HealthDay& day)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_day.IsSet() || now.Date() <= m_day.Date())
        return false;  // not started, the same day, or the clock was put back
    const HealthFigures totals = Totals();
    day.date = m_day;
    for (int i = 0; i < HEALTH_COUNTER_COUNT; ++i)
        day.figures[i] = totals[i] - m_dayBase[i];
    m_dayBase = totals;
    m_day = DateOf(now);
    return true;
}

HealthDay CHealthRecord::Today() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    const HealthFigures totals = Totals();
    HealthDay day;
    day.date = m_day;
    for (int i = 0; i < HEALTH_COUNTER_COUNT; ++i)
        day.figures[i] = totals[i] - m_dayBase[i];
    return day;
}

HealthStamp CHealthRecord::Started() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_start;
}

HealthStamp CHealthRecord::LastServed() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lastServed;
}

std::string DailySummaryLine(const HealthDay& day)
{
    const HealthFigures& f = day.figures;
    return "일일 요약: " + HealthDateText(day.date) + " 단말 프레임 " +
           Count(f[HEALTH_TERMINAL_FRAMES]) + " (" +
           Count(f[HEALTH_TERMINAL_BYTES]) + "바이트), 호스트 블록 " +
           Count(f[HEALTH_HOST_BLOCKS]) + " (" + Count(f[HEALTH_HOST_BYTES]) +
           "바이트), 접속 TCP " + Count(f[HEALTH_PLAIN_CONNECTIONS]) + " TLS " +
           Count(f[HEALTH_TLS_CONNECTIONS]) + ", 접속오류 #1 " +
           Count(f[HEALTH_CONNECT_ERRORS_1]) + " #2 " + Count(f[HEALTH_CONNECT_ERRORS_2]) +
           " #3 " + Count(f[HEALTH_CONNECT_REFUSED_3]) + ", 종료 DLE " +
           Count(f[HEALTH_ENDED_BY_DLE]) + " EOM " + Count(f[HEALTH_ENDED_BY_EOM]) +
           " 호스트 " + Count(f[HEALTH_ENDED_BY_HOST]) + " 송신실패 " +
           Count(f[HEALTH_ENDED_BY_SEND]) + ", 포트 끊김 " + Count(f[HEALTH_PORT_LOSSES]) +
           " 재연결 " + Count(f[HEALTH_PORT_REOPENS]) + ", 로그 생략 " +
           Count(f[HEALTH_LOG_LINES_DROPPED]) + "줄";
}

std::string HealthDateText(const HealthStamp& s)
{
    return Format("%04d-%02d-%02d", s.nYear, s.nMonth, s.nDay);
}

std::string HealthTimeText(const HealthStamp& s)
{
    return Format("%04d-%02d-%02d %02d:%02d:%02d", s.nYear, s.nMonth, s.nDay, s.nHour,
                  s.nMinute, s.nSecond);
}

long long HealthSecondsBetween(const HealthStamp& from, const HealthStamp& to)
{
    const long long nSeconds = SecondsOf(to) - SecondsOf(from);
    return nSeconds > 0 ? nSeconds : 0;
}

std::string HealthDurationText(long long nSeconds)
{
    return Format("%lld일 %02lld:%02lld:%02lld", nSeconds / 86400, nSeconds / 3600 % 24,
                  nSeconds / 60 % 60, nSeconds % 60);
}

std::string HealthAboutText(const CHealthRecord& record, const HealthStamp& now)
{
    const HealthStamp served = record.LastServed();
    return "실행 시간: " + HealthDurationText(HealthSecondsBetween(record.Started(), now)) +
           "\n마지막 접속: " + (served.IsSet() ? HealthTimeText(served) : std::string("없음"));
}

std::string HealthReportText(const CHealthRecord& record, const HealthStamp& now)
{
    const HealthFigures totals = record.Totals();
    const HealthDay today = record.Today();
    std::string strText = "시작: " + HealthTimeText(record.Started()) + "\n" +
                          HealthAboutText(record, now) + "\n" + "항목\t시작 이후\t오늘 (" +
                          HealthDateText(today.date) + ")\n";
    for (const Label& label : kLabels)
        strText += std::string(label.pszText) + "\t" + Count(totals[label.counter]) + "\t" +
                   Count(today.figures[label.counter]) + "\n";
    return strText;
}
