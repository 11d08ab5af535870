// See event_throttle.h for the rule.
#include "log/event_throttle.h"

bool CEventThrottle::Admit(std::uint32_t nId, const std::string& strSubject, std::uint64_t nNowMs)
{
    Cause cause(nId, strSubject);
    auto it = m_lastReported.find(cause);
    if (it != m_lastReported.end()) {
        if (nNowMs - it->second < PERIOD_MS)
            return false;
        it->second = nNowMs;
        return true;
    }
    if (m_lastReported.size() >= MAX_CAUSES)
        DropExpired(nNowMs);
    if (m_lastReported.size() >= MAX_CAUSES)
        return false;  // every remembered cause is younger than a minute
    m_lastReported.emplace(std::move(cause), nNowMs);
    return true;
}

void CEventThrottle::DropExpired(std::uint64_t nNowMs)
{
    for (auto it = m_lastReported.begin(); it != m_lastReported.end();) {
        if (nNowMs - it->second >= PERIOD_MS)
            it = m_lastReported.erase(it);
        else
            ++it;
    }
}
