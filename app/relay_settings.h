// The relay's [RELAY] settings from config.ini (read by config_ini.*): the connect's time
// limit and the hosts a connect request may name. The value rules live in
// relay/relay_config.h; this words the status lines that say at start what could not be
// used. UI thread.
#pragma once
#include <string>
#include <vector>

#include "relay/relay_config.h"

struct RelaySettings {
    int nConnectTimeoutS = CONNECT_TIMEOUT_DEFAULT_S;
    HostAllowList allowHosts;           // any host unless AllowHosts= says otherwise
    std::vector<std::string> notices;   // status lines for the log, one per unusable value
};

// The settings from the two values as read (empty: missing). bTimeoutReadable and
// bAllowReadable are false for a value too long to be read.
RelaySettings ParseRelaySettings(const std::string& strConnectTimeout, bool bTimeoutReadable,
                                 const std::string& strAllowHosts, bool bAllowReadable);
