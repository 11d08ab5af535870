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
    case 0x02:
    case 0x06:  // ACK
    case 0x15:  // NAK
    case 0x49:  // 'I'
    case 0x54:  // 'T'
        return ROUTE_SESSION_OR_PLAIN;
    default:
        return ROUTE_PLAIN;
    }
}
