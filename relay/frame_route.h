// Which way a terminal frame goes when a host connection exists, chosen by its first byte.
//
// The relay does not read payment messages; the first byte alone decides. DLE and EOM end the
// connection; the connect request kinds are never forwarded (also when they failed the connect
// tests); every other frame is sent. On a TLS connection a frame is sent through the session
// whatever its first byte: raw bytes inside a TLS stream would break the host's record layer
// and cross the network in clear. On a plain connection every sent frame goes on the socket.
//
// No state, no Windows header: the dispatcher acts on the answer.
#pragma once

enum FrameRoute {
    ROUTE_CLOSE,  // DLE 0x10, EOM 0x19: close the connection, send nothing
    ROUTE_NONE,   // 0x0D, 0x21, 0x25: connect request kinds, never sent
    ROUTE_SEND,   // any other first byte: through the session if any, else the plain socket
};

FrameRoute RouteFrame(unsigned char byFirst);
