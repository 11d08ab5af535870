// Fuzz target: any frame of 0 to 4096 bytes through connect-request recognition, parse,
// routing and the cut after a burst's first frame. Besides the sanitizers' memory checks it compares the answers with a second,
// independent reading of the frame layout and aborts on any disagreement.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/connect_request.h"
#include "relay/frame_route.h"
#include "relay/frame_split.h"

namespace {

void Check(bool bOk, const char* pszWhat)
{
    if (!bOk) {
        std::fprintf(stderr, "invariant broken: %s\n", pszWhat);
        std::abort();
    }
}

int DigitValue(const uint8_t* p, int nDigits)
{
    int nValue = 0;
    for (int i = 0; i < nDigits; ++i)
        nValue = nValue * 10 + (p[i] - '0');
    return nValue;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > 4096)
        return 0;
    const int nCount = static_cast<int>(nSize);

    const bool bSslKind = nCount > 0 && (pData[0] == 0x0D || pData[0] == 0x21);
    const bool bExpectRequest =
        nCount >= 18 &&
        ((bSslKind && (pData[17] == 0x0D || pData[17] == 0x21)) || pData[0] == 0x25);
    bool bAllDigits = nCount >= 18;
    for (int i = 1; bAllDigits && i <= 16; ++i)
        bAllDigits = pData[i] >= '0' && pData[i] <= '9';

    Check(IsConnectRequest(pData, nCount) == bExpectRequest, "recognition");

    ConnectTarget target;
    std::memset(&target, 0xA5, sizeof target);
    const bool bParsed = ParseConnectRequest(pData, nCount, &target);
    Check(bParsed == (bExpectRequest && bAllDigits), "parse accepted exactly the digit frames");
    if (bParsed) {
        char szExpected[HOST_ADDR_SIZE] = {};
        std::snprintf(szExpected, sizeof szExpected, "%d.%d.%d.%d", DigitValue(pData + 1, 3),
                      DigitValue(pData + 4, 3), DigitValue(pData + 7, 3), DigitValue(pData + 10, 3));
        Check(std::memcmp(target.szHostAddr, szExpected, HOST_ADDR_SIZE) == 0, "address");
        Check(target.nHostPort == DigitValue(pData + 13, 4), "port");
        Check(target.bSsl == (pData[0] != 0x25), "ssl flag");
    }

    if (nCount > 0) {
        const FrameRoute route = RouteFrame(pData[0]);
        Check(route >= ROUTE_CLOSE && route <= ROUTE_SEND, "route in range");
        Check(!bExpectRequest || route == ROUTE_NONE, "connect requests are never sent");
    }

    // The cut: a close byte alone; an 18-byte request when what follows starts a frame the
    // relay acts on; otherwise the whole burst.
    const int nFirst = FirstFrameLength(pData, nCount);
    if (nCount == 0) {
        Check(nFirst == 0, "nothing to cut");
        return 0;
    }
    const bool bClose = pData[0] == 0x10 || pData[0] == 0x19;
    bool bRestStarts = false;
    if (bExpectRequest && nCount > 18) {
        const uint8_t by = pData[18];
        const bool bRestRequest =
            nCount >= 36 && (by == 0x25 || ((by == 0x0D || by == 0x21) &&
                                            (pData[35] == 0x0D || pData[35] == 0x21)));
        bRestStarts = by == 0x10 || by == 0x19 || by == 0x02 || by == 0x06 || by == 0x15 ||
                      by == 'I' || by == 'T' || bRestRequest;
    }
    const int nExpected = bClose ? 1 : bRestStarts ? 18 : nCount;
    Check(nFirst == nExpected, "first frame's length");
    return 0;
}
