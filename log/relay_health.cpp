// The process's health record and its clock; see relay_health.h.
#include "log/relay_health.h"

#include <windows.h>

CHealthRecord g_relayHealth;

namespace RelayHealth {

void Served(bool bTls)
{
    Count(bTls ? HEALTH_TLS_CONNECTIONS : HEALTH_PLAIN_CONNECTIONS);
    g_relayHealth.MarkServed(Now());
}

HealthStamp Now()
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    HealthStamp stamp;
    stamp.nYear = now.wYear;
    stamp.nMonth = now.wMonth;
    stamp.nDay = now.wDay;
    stamp.nHour = now.wHour;
    stamp.nMinute = now.wMinute;
    stamp.nSecond = now.wSecond;
    return stamp;
}

std::string AboutText() { return HealthAboutText(g_relayHealth, Now()); }

std::string ReportText() { return HealthReportText(g_relayHealth, Now()); }

}  // namespace RelayHealth
