// The [RELAY] settings and their status lines; see relay_settings.h.
#include "app/relay_settings.h"

#include "ui/string_format.h"

RelaySettings ParseRelaySettings(const std::string& strConnectTimeout, bool bTimeoutReadable,
                                 const std::string& strAllowHosts, bool bAllowReadable)
{
    RelaySettings settings;
    bool bUsable = bTimeoutReadable;
    if (bUsable)
        settings.nConnectTimeoutS = ParseConnectTimeout(strConnectTimeout, &bUsable);
    if (!bUsable) {
        settings.notices.push_back(StringPrintf(
            "[RELAY] ConnectTimeout=%s: 사용할 수 없는 값, 기본값 %d초로 접속합니다",
            bTimeoutReadable ? strConnectTimeout.c_str() : "<...>", CONNECT_TIMEOUT_DEFAULT_S));
    }

    if (!bAllowReadable) {
        settings.allowHosts = HostAllowList::Parse(",");  // refuses every host
        settings.notices.push_back(
            "[RELAY] AllowHosts: 값이 너무 깁니다, 모든 호스트 접속을 거부합니다");
        return settings;
    }
    settings.allowHosts = HostAllowList::Parse(strAllowHosts);
    if (settings.allowHosts.RefusesAll()) {
        settings.notices.push_back(StringPrintf(
            "[RELAY] AllowHosts 항목 \"%s\": 읽을 수 없는 값, 모든 호스트 접속을 거부합니다",
            settings.allowHosts.BadEntry().c_str()));
    }
    return settings;
}
