// Reading [RELAY] from config.ini; see relay_settings.h.
#include "app/relay_settings.h"

#include <windows.h>

#include "ui/string_format.h"

namespace {

constexpr char RELAY_SECTION[] = "RELAY";
constexpr char CONNECT_TIMEOUT_KEY[] = "ConnectTimeout";
constexpr char ALLOW_HOSTS_KEY[] = "AllowHosts";
constexpr DWORD VALUE_LIMIT = 64 * 1024;  // a longer value is not read at all

// The whole value, or false when it is longer than VALUE_LIMIT (the profile functions cut a
// value that does not fit and say so only by filling the buffer).
bool ReadValue(const char* pszIniPath, const char* pszKey, std::string* pstrValue)
{
    for (DWORD dwSize = 256; dwSize <= VALUE_LIMIT; dwSize *= 2) {
        std::string strBuffer(dwSize, '\0');
        const DWORD dwLength = ::GetPrivateProfileStringA(RELAY_SECTION, pszKey, "", &strBuffer[0],
                                                          dwSize, pszIniPath);
        if (dwLength + 1 < dwSize) {
            pstrValue->assign(strBuffer.data(), dwLength);
            return true;
        }
    }
    return false;
}

} // namespace

RelaySettings ReadRelaySettings(const char* pszIniPath)
{
    RelaySettings settings;
    std::string strValue;
    bool bUsable = ReadValue(pszIniPath, CONNECT_TIMEOUT_KEY, &strValue);
    if (bUsable)
        settings.nConnectTimeoutS = ParseConnectTimeout(strValue, &bUsable);
    if (!bUsable) {
        settings.notices.push_back(StringPrintf(
            "[RELAY] ConnectTimeout=%s: 사용할 수 없는 값, 기본값 %d초로 접속합니다",
            strValue.c_str(), CONNECT_TIMEOUT_DEFAULT_S));
    }

    if (!ReadValue(pszIniPath, ALLOW_HOSTS_KEY, &strValue)) {
        settings.allowHosts = HostAllowList::Parse(",");  // refuses every host
        settings.notices.push_back(
            "[RELAY] AllowHosts: 값이 너무 깁니다, 모든 호스트 접속을 거부합니다");
        return settings;
    }
    settings.allowHosts = HostAllowList::Parse(strValue);
    if (settings.allowHosts.RefusesAll()) {
        settings.notices.push_back(StringPrintf(
            "[RELAY] AllowHosts 항목 \"%s\": 읽을 수 없는 값, 모든 호스트 접속을 거부합니다",
            settings.allowHosts.BadEntry().c_str()));
    }
    return settings;
}
