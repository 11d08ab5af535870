// The process's health record (log/health_record.h) and the one-line calls that feed it from
// the relay's path: a count is a relaxed atomic add, nothing more. The record lives for the
// whole library (made when it is loaded, before StartMain can run).
//
// Also the two texts others show: the about box's lines and the diagnostics bundle's report.
#pragma once
#include <string>

#include "log/health_record.h"

extern CHealthRecord g_relayHealth;

static_assert(HEALTH_TERMINAL_BYTES == HEALTH_TERMINAL_FRAMES + 1 &&
                  HEALTH_HOST_BYTES == HEALTH_HOST_BLOCKS + 1,
              "CountBlock: a block counter is followed by its byte counter");

namespace RelayHealth {

inline void Count(HealthCounter counter, std::uint64_t n = 1) { g_relayHealth.Add(counter, n); }
// A block of nBytes: the block counter and the byte counter that follows it in the table.
inline void CountBlock(HealthCounter blocks, int nBytes)
{
    g_relayHealth.Add(blocks);
    g_relayHealth.Add(static_cast<HealthCounter>(blocks + 1), static_cast<std::uint64_t>(nBytes));
}
// A host connection was made: counted by kind, and its time kept for the about box.
void Served(bool bTls);

// The local time now, as the health record takes it.
HealthStamp Now();
// "실행 시간: ...\n마지막 접속: ..." (the about box).
std::string AboutText();
// Every figure since start and today, one a line (the diagnostics bundle's summary).
std::string ReportText();

}  // namespace RelayHealth
