// The main window's side of the daily health record (log/relay_health.h).
//
// Once a day a fleet's collector should see every PC: at each local midnight the day that
// ended is reported, and at Exit the day so far, as one status line "일일 요약: ..." (window and
// daily file) and as event 3 with the same figures. The check for a new day is a timer tick
// a second on the user-interface thread: one clock read, nothing on the relay's path. A PC
// asleep over midnight reports when it wakes, for the day its counts belong to.
#include "app/converter_dlg.h"

#include "log/event_log.h"
#include "log/relay_health.h"

namespace {

constexpr UINT HEALTH_TIMER_PERIOD_MS = 1000;

} // namespace

void CConverterDlg::StartHealthRecord()
{
    g_relayHealth.Start(RelayHealth::Now());
    ::SetTimer(m_hWnd, HEALTH_TIMER_ID, HEALTH_TIMER_PERIOD_MS, nullptr);
}

void CConverterDlg::OnHealthTimer()
{
    HealthDay day;
    if (g_relayHealth.RollDay(RelayHealth::Now(), day))
        ReportHealthDay(day);
}

void CConverterDlg::ReportHealthDay(const HealthDay& day)
{
    LogStatus(DailySummaryLine(day));
    EventLog::Report(EventLog::DailySummary(day));
}
