// The relay's [RELAY] settings read from config.ini at start: the connect's time limit and the
// hosts a connect request may name. The value rules live in relay/relay_config.h; this reads
// the file (ANSI profile functions, like the [DEBUG] level) and words the status lines that
// say at start what could not be used. UI thread.
#pragma once
#include <string>
#include <vector>

#include "relay/relay_config.h"

struct RelaySettings {
    int nConnectTimeoutS = CONNECT_TIMEOUT_DEFAULT_S;
    HostAllowList allowHosts;           // any host unless AllowHosts= says otherwise
    std::vector<std::string> notices;   // status lines for the log, one per unusable value
};

RelaySettings ReadRelaySettings(const char* pszIniPath);
