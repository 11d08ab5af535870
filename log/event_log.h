// The relay's events in the Windows Application log, under the event source "Pellarin":
// start and end, a serial port that cannot be opened or was lost, connect errors #1 and #2,
// and ssllib32.dll's verdicts on the host's certificate. Sites that watch many PCs collect
// this log centrally; the transaction-log window is not touched by any of it.
//
// Each place that logs a matching status line adds one line:
//     EventLog::Report(EventLog::PortOpenFailed(m_strPort));
// The builders below say what each event carries; Report applies the rate limit (one event
// per cause per minute, see event_throttle.h) and writes it. The message texts, in Korean and
// English, are the message table in res/events.mc, linked into pellarin.dll.
//
// Each module that links this (pellarin.dll, ssllib32.dll) has its own limit and lock. Report
// opens the event source, writes one event and closes the source again: no handle outlives a
// call, so none needs an owner or a closer at unload (where calls into the event-log service
// are unsafe under the loader lock); the limit keeps that to a few calls a minute at most.
// Callable from any thread; a log that cannot be written costs nothing but the event.
//
// Texts are code page 949 bytes (the program's own code page), converted to UTF-16 at Report.
// This header needs no Windows header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/health_record.h"

namespace EventLog {

// One event: its message id (the severity is in the id's top two bits) and its insertion
// strings %1, %2, ... The first names what the event concerns; with the id it is the cause
// the rate limit counts.
struct Entry {
    std::uint32_t nId;
    std::vector<std::string> inserts;
};

Entry Started(const char* pszVersion);  // %1 this process's program file, %2 the version
Entry Ended();                          // %1 this process's program file
Entry PortOpenFailed(const std::string& strPort);
Entry PortLost(const std::string& strPort);
Entry ConnectFailed(const char* pszHost, int nPort, long long nResult);  // connect error #1
Entry TlsStartFailed(const char* pszHost, int nPort);              // connect error #2
Entry CertificateRejected(const std::string& strPeer, const std::string& strReason);
Entry VerificationOff(const std::string& strPeer);
// The day's figures (event 3): %1 the day, then every figure.
Entry DailySummary(const HealthDay& day);

// Writes the event unless the same cause was reported less than a minute ago.
void Report(const Entry& entry);

// The insertion strings as Report hands them to the event log: UTF-16, each cut to
// MAX_INSERT_CHARS characters (a name typed into the port box is not bounded elsewhere).
constexpr std::size_t MAX_INSERT_CHARS = 512;
std::vector<std::wstring> InsertionStrings(const Entry& entry);

}  // namespace EventLog
