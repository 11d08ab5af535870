// The settings store's byte rules (see stored_settings.h). Platform-free.
#include "app/stored_settings.h"

std::vector<StoredValue> PortValuesToStore(const char* pszPort, const char* pszVersion)
{
    std::vector<StoredValue> values;
    std::size_t nPortLength = 0;
    while (pszPort && nPortLength < SETTINGS_PORT_BYTES && pszPort[nPortLength] != '\0')
        ++nPortLength;
    values.push_back({SETTINGS_PORT_VALUE, std::string(pszPort ? pszPort : "", nPortLength)});
    values.push_back({SETTINGS_VERSION_VALUE, std::string(pszVersion ? pszVersion : "")});
    return values;
}

std::string PortFromStoredData(const unsigned char* pData, std::size_t nLength)
{
    std::string strPort;
    for (std::size_t i = 0; i < nLength && i < SETTINGS_PORT_READ_LIMIT && pData[i] != 0; ++i)
        strPort.push_back(static_cast<char>(pData[i]));
    return strPort;
}
