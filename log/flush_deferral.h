// When the text sink inserts: at once while the reader follows the end of the text; while
// they have scrolled away or hold a selection, no later than one period after the first
// flush that had to wait.
//
// The period's timer alone cannot promise that: Windows makes WM_TIMER only when no posted or
// sent message is waiting, and a steady stream of log records keeps both coming, so a timer
// may never fire and the queue would wait for ever. Every flush therefore looks at the clock
// too. Times are milliseconds of a 32-bit tick count (GetTickCount on the control's thread;
// injected by the tests), compared by difference so that the count may wrap. No window code
// here, so the rule is tested natively.
#pragma once
#include <cstdint>

class FlushDeferral {
public:
    explicit FlushDeferral(std::uint32_t nPeriodMs) : m_nPeriodMs(nPeriodMs) {}

    // Answers whether a flush at nNowMs inserts: the reader follows the end, the flush is
    // forced (the timer's), or the first flush that waited is one period old. A flush that
    // inserts ends the waiting; the first one that waits starts it.
    bool Inserts(bool bFollowing, bool bForced, std::uint32_t nNowMs)
    {
        if (!bFollowing && !bForced) {
            if (!m_bWaiting) {
                m_bWaiting = true;
                m_nSinceMs = nNowMs;
                return false;
            }
            if (nNowMs - m_nSinceMs < m_nPeriodMs)
                return false;
        }
        m_bWaiting = false;
        return true;
    }

    bool Waiting() const { return m_bWaiting; }
    // Ends the waiting (text went in by another way).
    void End() { m_bWaiting = false; }

private:
    const std::uint32_t m_nPeriodMs;
    bool m_bWaiting = false;     // a flush has waited and none has inserted since
    std::uint32_t m_nSinceMs = 0;  // when the first flush that waited came
};
