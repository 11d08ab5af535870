// Reading config.ini; see config_ini.h.
#include "app/config_ini.h"

#include <windows.h>

#include <cstdlib>

#include "app/stored_settings.h"

namespace {

constexpr DWORD VALUE_LIMIT = 64 * 1024;  // a longer value is not read at all
// Answered for a missing key: no value written by hand holds this byte.
constexpr char MISSING[] = "\x01";

ConfigValue ReadValue(const std::string& strPath, const char* pszSection, const char* pszKey)
{
    ConfigValue value;
    // The profile functions cut a value that does not fit and say so only by filling the
    // buffer: grow it until the value fits or passes the limit.
    for (DWORD dwSize = 256; dwSize <= VALUE_LIMIT; dwSize *= 2) {
        std::string strBuffer(dwSize, '\0');
        const DWORD dwLength = ::GetPrivateProfileStringA(pszSection, pszKey, MISSING,
                                                          &strBuffer[0], dwSize, strPath.c_str());
        if (dwLength + 1 < dwSize) {
            strBuffer.resize(dwLength);
            if (strBuffer == MISSING)
                return value;
            value.strText = strBuffer;
            value.strFrom = strPath;
            return value;
        }
    }
    value.strFrom = strPath;
    value.bReadable = false;
    return value;
}

std::string FullPath(const char* pszIniPath)
{
    char szFull[MAX_PATH] = {0};
    const DWORD n = ::GetFullPathNameA(pszIniPath, MAX_PATH, szFull, nullptr);
    return n > 0 && n < MAX_PATH ? std::string(szFull) : std::string(pszIniPath);
}

}  // namespace

ConfigIni ReadConfigIni(const char* pszIniPath)
{
    ConfigIni config;
    config.strPath = FullPath(pszIniPath);
    const std::string& strPath = config.strPath;
    config.debugLevel = ReadValue(strPath, SETTINGS_INI_SECTION, SETTINGS_INI_KEY);
    // At most two characters, as a 3-byte buffer takes them, then atoi.
    config.nDebugLevel =
        std::atoi(config.debugLevel.strText.substr(0, SETTINGS_LEVEL_BUFFER - 1).c_str());
    config.relayConnectTimeout = ReadValue(strPath, "RELAY", "ConnectTimeout");
    config.relayAllowHosts = ReadValue(strPath, "RELAY", "AllowHosts");
    config.logDir = ReadValue(strPath, "LOG", "Dir");
    config.logKeepDays = ReadValue(strPath, "LOG", "KeepDays");
    config.logMaxFileMB = ReadValue(strPath, "LOG", "MaxFileMB");
    config.logMaskCardNumbers = ReadValue(strPath, "LOG", "MaskCardNumbers");
    return config;
}

LogIniValues ConfigIni::LogValues() const
{
    // A value too long to read reaches ParseLogSettings as "<...>": no folder name and no
    // number, so it takes its default with a status line like any value that cannot be used.
    const auto text = [](const ConfigValue& value) {
        return value.bReadable ? value.strText : std::string("<...>");
    };
    LogIniValues values;
    values.strDir = text(logDir);
    values.strKeepDays = text(logKeepDays);
    values.strMaxFileMB = text(logMaxFileMB);
    values.strMaskCardNumbers = text(logMaskCardNumbers);
    return values;
}

RelaySettings ConfigIni::Relay() const
{
    return ParseRelaySettings(relayConnectTimeout.strText, relayConnectTimeout.bReadable,
                              relayAllowHosts.strText, relayAllowHosts.bReadable);
}
