// Cutting a terminal burst after its first frame; see frame_split.h for the rule.
#include "relay/frame_split.h"

#include "relay/connect_request.h"

namespace {

bool IsCloseByte(unsigned char by)
{
    return by == 0x10 || by == 0x19;  // DLE, EOM
}

bool IsMessageKind(unsigned char by)
{
    return by == 0x02 || by == 0x06 || by == 0x15 || by == 0x49 || by == 0x54;
}

// Whether the bytes after a connect request begin a frame of their own (see the header).
bool StartsFrame(const unsigned char* pRest, int nRest)
{
    return IsCloseByte(pRest[0]) || IsMessageKind(pRest[0]) || IsConnectRequest(pRest, nRest);
}

}  // namespace

int FirstFrameLength(const unsigned char* pBurst, int nCount)
{
    if (nCount <= 0)
        return 0;
    if (IsCloseByte(pBurst[0]))
        return 1;
    if (nCount > CONNECT_REQUEST_MIN && IsConnectRequest(pBurst, nCount) &&
        StartsFrame(pBurst + CONNECT_REQUEST_MIN, nCount - CONNECT_REQUEST_MIN))
        return CONNECT_REQUEST_MIN;
    return nCount;
}
