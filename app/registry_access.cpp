// See registry_access.h.
#include "app/registry_access.h"

namespace {

RegistryObserver g_pfnObserver = nullptr;  // set by tests before any call

LONG Report(const char* pszCall, REGSAM samDesired, LONG lResult)
{
    if (g_pfnObserver != nullptr)
        g_pfnObserver(pszCall, samDesired, lResult);
    return lResult;
}

} // namespace

void SetRegistryObserver(RegistryObserver pfnObserver)
{
    g_pfnObserver = pfnObserver;
}

LONG OpenKeyForRead(const char* pszPath, HKEY* phKey)
{
    return Report("open", SETTINGS_READ_ACCESS,
                  ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszPath, 0, SETTINGS_READ_ACCESS, phKey));
}

LONG CreateKeyForWrite(const char* pszPath, HKEY* phKey)
{
    DWORD dwDisposition = 0;
    return Report("create", SETTINGS_WRITE_ACCESS,
                  ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszPath, 0, nullptr, 0,
                                    SETTINGS_WRITE_ACCESS, nullptr, phKey, &dwDisposition));
}
