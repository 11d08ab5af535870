// Frame routing by first byte; see frame_route.h.
#include "relay/frame_route.h"

FrameRoute RouteFrame(unsigned char byFirst)
{
    switch (byFirst) {
    case 0x10:  // DLE
    case 0x19:  // EOM
        return ROUTE_CLOSE;
    case 0x0D:
    case 0x21:
    case 0x25:
        return ROUTE_NONE;
    default:
        return ROUTE_SEND;
    }
}
