// The live sessions, by handle and by socket.
//
// Handles are numbers drawn from a counter, never pointers, so a stale or made-up handle
// finds nothing instead of freed memory. The socket index lets the wait operation find data
// already buffered for a socket; Close removes the entry, a new Start on the same socket value
// replaces it, and the caller checks that the entry's connection is still the socket's own
// (CTlsSession::IsSameConnection) before trusting it. One process-wide lock, held only for
// the lookups themselves, never across network I/O.
#pragma once
#include <winsock2.h>

#include <memory>

#include "ssl/ssllib32.h"

class CTlsSession;

SSL_SESSION RegisterSession(std::shared_ptr<CTlsSession> session);  // new handle (> 0)
std::shared_ptr<CTlsSession> FindSession(SSL_SESSION h);            // nullptr when not live
std::shared_ptr<CTlsSession> TakeSession(SSL_SESSION h);            // and forget it
std::shared_ptr<CTlsSession> FindSessionBySocket(SOCKET s);
