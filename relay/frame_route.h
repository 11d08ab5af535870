// Which way a terminal frame goes when a host connection exists, chosen by its first byte.
//
// The relay does not read payment messages; the first byte alone decides. DLE and EOM end the
// connection; the connect request kinds are never forwarded (also when they failed the connect
// tests); the message kinds of the card dialogue go through the SSL session when there is one;
// everything else goes out on the plain socket, also beside an SSL session.
//
// No state, no Windows header: the dispatcher acts on the answer.
#pragma once

enum FrameRoute {
    ROUTE_CLOSE,             // DLE 0x10, EOM 0x19: close the connection, send nothing
    ROUTE_NONE,              // 0x0D, 0x21, 0x25: connect request kinds, never sent
    ROUTE_SESSION_OR_PLAIN,  // 0x02, ACK 0x06, NAK 0x15, 'I' 0x49, 'T' 0x54: session if any
    ROUTE_PLAIN,             // any other first byte: the plain socket
};

FrameRoute RouteFrame(unsigned char byFirst);
