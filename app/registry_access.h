// The settings key's registry calls, and the rights they ask for.
//
// Why a wrapper: the relay runs inside point-of-sale programs that run as a standard user.
// Such a user may read HKLM but not write it, and a program that asks for more than it needs
// (full access to read a value) is refused outright. So reading asks only for
// KEY_QUERY_VALUE and writing only for KEY_SET_VALUE, both in the 32-bit view, where the
// installer stores the port whatever the architecture of the calling program. Every call
// is reported to an observer when one is set, so a test can see the rights asked for
// (Wine grants everything, so only what was asked can be checked there).
#pragma once
#include <windows.h>

// Rights of each use of the settings key.
constexpr REGSAM SETTINGS_READ_ACCESS = KEY_QUERY_VALUE | KEY_WOW64_32KEY;
constexpr REGSAM SETTINGS_WRITE_ACCESS = KEY_SET_VALUE | KEY_WOW64_32KEY;

// Called after each open or create of a key: which one ("open" or "create"), the rights
// asked for and the result.
using RegistryObserver = void (*)(const char* pszCall, REGSAM samDesired, LONG lResult);
// Sets the observer (null: none). For tests; not thread-safe, set it before any call.
void SetRegistryObserver(RegistryObserver pfnObserver);

// Opens HKLM\pszPath for reading (SETTINGS_READ_ACCESS).
LONG OpenKeyForRead(const char* pszPath, HKEY* phKey);
// Creates or opens HKLM\pszPath for writing (SETTINGS_WRITE_ACCESS).
LONG CreateKeyForWrite(const char* pszPath, HKEY* phKey);
