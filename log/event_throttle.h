// The event log's rate limit: never more than one event per cause per minute, so a terminal
// that keeps asking for a dead host, or a port that keeps failing, leaves one event a minute
// in the Windows log instead of a flood that pushes everything else out of it.
//
// A cause is a message id together with the subject the event concerns (its first insertion
// string: the port, the host and port, the program). "COM1 could not be opened" and "COM2
// could not be opened" are two causes; two connect errors #1 for the same host with different
// results are one. The first event of a cause passes, and the next one passes once a minute
// has gone by since the last that passed.
//
// Subjects come from outside (host addresses from terminal frames), so the table is bounded:
// at most MAX_CAUSES causes are remembered, entries older than a minute are dropped as room is
// needed, and while all MAX_CAUSES are younger than a minute a new cause is refused too. The
// log therefore takes at most MAX_CAUSES events a minute whatever arrives.
//
// The clock is the caller's (milliseconds from any fixed start that never goes back), so the
// rule is tested without waiting. No lock and no Windows header: the reporter holds its lock
// around Admit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

class CEventThrottle {
public:
    static constexpr std::uint64_t PERIOD_MS = 60 * 1000;
    static constexpr std::size_t MAX_CAUSES = 64;

    // True when an event with this id and subject may be reported at nNowMs; the cause's
    // minute then starts again from nNowMs. False when it is held back.
    bool Admit(std::uint32_t nId, const std::string& strSubject, std::uint64_t nNowMs);

private:
    using Cause = std::pair<std::uint32_t, std::string>;
    void DropExpired(std::uint64_t nNowMs);

    std::map<Cause, std::uint64_t> m_lastReported;  // cause -> time its last event passed
};
