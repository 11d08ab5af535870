// Checks the server's certificate after the handshake, by hand: the library asks Schannel
// for manual validation because Wine's Schannel checks nothing and Windows' own name check
// does not know hosts named by IPv4 address.
//
// Order: the opt-out accepts everything (the caller has already logged the warning); pinned
// fingerprints, when set, decide alone (the exact certificate is the trust); otherwise the
// chain must lead, for server authentication, to a trusted root (the CA file's certificates
// only, when one is set; else the system's store) and pass the SSL chain policy, and the
// connected peer's IPv4 address must be an IP entry of the subject alternative names (the
// common name does not count).
#pragma once
#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include <string>

#include "ssl/trust_config.h"

// True when the peer is accepted; otherwise *why says what failed (for the log).
bool VerifyServer(CtxtHandle* ctx, const TrustSettings& settings, const sockaddr_in& peer,
                  std::string* why);
