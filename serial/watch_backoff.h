// When to pause, and when to give up, in a serial watch loop whose waits bring nothing.
//
// The watch thread waits for a received-character event and then reads. A wake that delivers
// no byte is normal now and then (an event for bytes an earlier read already took), but a
// device that has gone away (a cable pulled, a pty whose other side closed) makes every wait
// fail at once, and a loop that simply waits again spins a core for as long as the port stays
// "open". This policy lets a few empty wakes pass, then pauses with a doubling delay, and
// after about two seconds of nothing but empty wakes tells the thread to end. Any delivered
// byte starts the count afresh. No window headers: the rule is tested natively.
#pragma once

class CWatchBackoff {
public:
    static constexpr unsigned FREE_WAKES = 3;          // empty wakes taken without a pause
    static constexpr unsigned FIRST_DELAY_MS = 10;     // first pause; each next one doubles
    static constexpr unsigned MAX_DELAY_MS = 250;      // longest single pause
    static constexpr unsigned GIVE_UP_AFTER_MS = 2000; // total pause after which to end
    static constexpr unsigned GIVE_UP = ~0u;           // EmptyWake's answer: end the thread

    // A wake delivered bytes: the device works.
    void Delivered()
    {
        m_nEmptyWakes = 0;
        m_nPausedMs = 0;
    }

    // A wake delivered nothing. Returns the pause in milliseconds before waiting again (0 for
    // none), or GIVE_UP once the empty streak has paused GIVE_UP_AFTER_MS in all.
    unsigned EmptyWake()
    {
        if (m_nPausedMs >= GIVE_UP_AFTER_MS)
            return GIVE_UP;
        ++m_nEmptyWakes;
        if (m_nEmptyWakes <= FREE_WAKES)
            return 0;
        unsigned nDelay = FIRST_DELAY_MS;
        for (unsigned i = FREE_WAKES + 1; i < m_nEmptyWakes && nDelay < MAX_DELAY_MS; ++i)
            nDelay *= 2;
        if (nDelay > MAX_DELAY_MS)
            nDelay = MAX_DELAY_MS;
        m_nPausedMs += nDelay;
        return nDelay;
    }

private:
    unsigned m_nEmptyWakes = 0; // empty wakes since the last delivery
    unsigned m_nPausedMs = 0;   // pauses taken since the last delivery, in milliseconds
};
