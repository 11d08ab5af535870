// The settings store's platform side: registry key open/create, value query and set, and the
// private-profile read. The bytes and lengths come from stored_settings.h, so what reaches
// RegSetValueExA is exactly what the native tests check.
#include "app/settings_store.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "app/product.h"
#include "app/registry_access.h"
#include "app/stored_settings.h"

int ReadStoredPort(std::string& strPort)
{
    HKEY hKey = nullptr;
    if (OpenKeyForRead(SETTINGS_KEY_PATH, &hKey) != ERROR_SUCCESS)
        return 0;
    unsigned char abData[SETTINGS_PORT_READ_LIMIT] = {0};
    DWORD cbData = sizeof(abData);
    const LONG lResult =
        ::RegQueryValueExA(hKey, SETTINGS_PORT_VALUE, nullptr, nullptr, abData, &cbData);
    ::RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS)
        return 0;
    return PortFromStoredData(abData, cbData, strPort) ? 1 : 0;
}

int WriteStoredPort(const char* pszPort, LONG* plError)
{
    HKEY hKey = nullptr;
    const LONG lCreateResult = CreateKeyForWrite(SETTINGS_KEY_PATH, &hKey);
    if (lCreateResult != ERROR_SUCCESS) {
        if (plError != nullptr)
            *plError = lCreateResult;
        return 0;
    }
    LONG lVersionResult = ERROR_INVALID_FUNCTION;
    for (const StoredValue& value : PortValuesToStore(pszPort, PRODUCT_VERSION)) {
        const LONG lResult = ::RegSetValueExA(
            hKey, value.pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.strData.data()),
            static_cast<DWORD>(value.strData.size()));
        if (std::strcmp(value.pszName, SETTINGS_VERSION_VALUE) == 0)
            lVersionResult = lResult;
    }
    ::RegCloseKey(hKey);
    if (plError != nullptr)
        *plError = lVersionResult;
    return lVersionResult == ERROR_SUCCESS ? 1 : 0;
}
