// Fuzz target: any text as an AllowHosts= and a ConnectTimeout= value. The first bytes pick an
// address and port to ask about; the answer is checked against the parsed rules read a second
// way, and a list with a bad entry must refuse everything.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "relay/relay_config.h"

namespace {

void Check(bool bOk, const char* pszWhat)
{
    if (!bOk) {
        std::fprintf(stderr, "invariant broken: %s\n", pszWhat);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 6)
        return 0;
    const uint32_t dwAddr = (uint32_t{pData[0]} << 24) | (uint32_t{pData[1]} << 16) |
                            (uint32_t{pData[2]} << 8) | pData[3];
    const int nPort = (pData[4] << 8) | pData[5];
    const std::string strText(reinterpret_cast<const char*>(pData + 6), nSize - 6);

    bool bUsable = false;
    const int nSeconds = ParseConnectTimeout(strText, &bUsable);
    Check(nSeconds >= CONNECT_TIMEOUT_MIN_S && nSeconds <= CONNECT_TIMEOUT_MAX_S, "timeout range");
    Check(bUsable || nSeconds == CONNECT_TIMEOUT_DEFAULT_S, "unusable gives the default");

    const HostAllowList list = HostAllowList::Parse(strText);
    char szAddr[16];
    std::snprintf(szAddr, sizeof szAddr, "%u.%u.%u.%u", dwAddr >> 24, (dwAddr >> 16) & 0xFF,
                  (dwAddr >> 8) & 0xFF, dwAddr & 0xFF);
    const bool bAllowed = list.Allows(szAddr, nPort);
    if (list.AllowsAny()) {
        Check(bAllowed && !list.RefusesAll(), "a blank list allows any host");
        return 0;
    }
    if (list.RefusesAll()) {
        Check(!bAllowed && list.Rules().empty(), "a bad entry refuses everything");
        return 0;
    }
    bool bExpected = false;
    for (const HostRule& rule : list.Rules()) {
        Check((rule.dwNet & rule.dwMask) == rule.dwNet, "network under its mask");
        Check(rule.nPort >= 0 && rule.nPort <= 65535, "port range");
        bExpected = bExpected || (((dwAddr ^ rule.dwNet) & rule.dwMask) == 0 &&
                                  (rule.nPort == 0 || rule.nPort == nPort));
    }
    Check(bAllowed == bExpected, "allowed exactly by a rule");
    return 0;
}
