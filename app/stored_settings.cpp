// The settings store's byte rules (see stored_settings.h). Platform-free.
#include "app/stored_settings.h"

#include <cstring>

std::vector<StoredValue> PortValuesToStore(const char* pszPort, const char* pszVersion)
{
    std::vector<StoredValue> values;
    const std::string strPort = pszPort ? pszPort : "";
    if (strPort.size() <= SETTINGS_PORT_MAX_CHARS)
        values.push_back({SETTINGS_PORT_VALUE, strPort});
    values.push_back({SETTINGS_VERSION_VALUE, std::string(pszVersion ? pszVersion : "")});
    return values;
}

bool PortFromStoredData(const unsigned char* pData, std::size_t nLength, std::string& strPort)
{
    std::size_t nChars = 0;
    while (nChars < nLength && pData[nChars] != 0)
        ++nChars;
    if (nChars > SETTINGS_PORT_MAX_CHARS)
        return false;
    strPort.assign(reinterpret_cast<const char*>(pData), nChars);
    return true;
}
