// The [RELAY] value rules; see relay_config.h.
#include "relay/relay_config.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trimmed(const std::string& strText)
{
    std::string::size_type nBegin = 0;
    std::string::size_type nEnd = strText.size();
    while (nBegin < nEnd && IsBlank(strText[nBegin]))
        ++nBegin;
    while (nEnd > nBegin && IsBlank(strText[nEnd - 1]))
        --nEnd;
    return strText.substr(nBegin, nEnd - nBegin);
}

// A decimal number of 1 to nMaxDigits digits making up the whole text, at most nMax.
bool ParseNumber(const std::string& strText, std::string::size_type nMaxDigits, long nMax,
                 long* pnValue)
{
    if (strText.empty() || strText.size() > nMaxDigits)
        return false;
    long nValue = 0;
    for (char c : strText) {
        if (c < '0' || c > '9')
            return false;
        nValue = nValue * 10 + (c - '0');
    }
    if (nValue > nMax)
        return false;
    *pnValue = nValue;
    return true;
}

bool ParseRule(const std::string& strEntry, HostRule* pRule)
{
    std::string strAddr = strEntry;
    long nPort = 0;
    const std::string::size_type nColon = strAddr.find(':');
    if (nColon != std::string::npos) {
        if (!ParseNumber(strAddr.substr(nColon + 1), 5, 65535, &nPort) || nPort == 0)
            return false;
        strAddr.erase(nColon);
    }
    long nBits = 32;
    const std::string::size_type nSlash = strAddr.find('/');
    if (nSlash != std::string::npos) {
        if (!ParseNumber(strAddr.substr(nSlash + 1), 2, 32, &nBits))
            return false;
        strAddr.erase(nSlash);
    }
    uint32_t dwAddr = 0;
    if (!ParseDottedAddress(strAddr, &dwAddr))
        return false;
    pRule->dwMask = nBits == 0 ? 0 : ~uint32_t{0} << (32 - nBits);
    pRule->dwNet = dwAddr & pRule->dwMask;
    pRule->nPort = static_cast<int>(nPort);
    return true;
}

} // namespace

int ParseConnectTimeout(const std::string& strValue, bool* pbUsable)
{
    const std::string strText = Trimmed(strValue);
    long nSeconds = 0;
    *pbUsable = strText.empty() ||
                (ParseNumber(strText, 2, CONNECT_TIMEOUT_MAX_S, &nSeconds) &&
                 nSeconds >= CONNECT_TIMEOUT_MIN_S);
    return strText.empty() || !*pbUsable ? CONNECT_TIMEOUT_DEFAULT_S : static_cast<int>(nSeconds);
}

bool ParseDottedAddress(const std::string& strText, uint32_t* pdwAddr)
{
    uint32_t dwAddr = 0;
    std::string::size_type nPos = 0;
    for (int nGroup = 0; nGroup < 4; ++nGroup) {
        const std::string::size_type nDot = strText.find('.', nPos);
        const bool bLast = nGroup == 3;
        if (bLast != (nDot == std::string::npos))
            return false;  // too few or too many groups
        const std::string::size_type nEnd = bLast ? strText.size() : nDot;
        long nValue = 0;
        if (!ParseNumber(strText.substr(nPos, nEnd - nPos), 3, 255, &nValue))
            return false;
        dwAddr = (dwAddr << 8) | static_cast<uint32_t>(nValue);
        nPos = nEnd + 1;
    }
    *pdwAddr = dwAddr;
    return true;
}

HostAllowList HostAllowList::Parse(const std::string& strValue)
{
    HostAllowList list;
    if (Trimmed(strValue).empty())
        return list;
    list.m_bAny = false;
    std::string::size_type nPos = 0;
    for (;;) {
        const std::string::size_type nComma = strValue.find(',', nPos);
        const std::string strEntry = Trimmed(strValue.substr(
            nPos, nComma == std::string::npos ? std::string::npos : nComma - nPos));
        HostRule rule;
        if (!ParseRule(strEntry, &rule)) {
            list.m_bBad = true;
            list.m_strBadEntry = strEntry;
            list.m_rules.clear();
            return list;
        }
        list.m_rules.push_back(rule);
        if (nComma == std::string::npos)
            return list;
        nPos = nComma + 1;
    }
}

bool HostAllowList::Allows(const char* pszHostAddr, int nHostPort) const
{
    if (m_bAny)
        return true;
    uint32_t dwAddr = 0;
    if (m_bBad || pszHostAddr == nullptr || !ParseDottedAddress(pszHostAddr, &dwAddr))
        return false;
    for (const HostRule& rule : m_rules) {
        if ((dwAddr & rule.dwMask) == rule.dwNet && (rule.nPort == 0 || rule.nPort == nHostPort))
            return true;
    }
    return false;
}
