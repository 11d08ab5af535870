// The settings password's hashing, storage and check; see settings_password.h.
#include "app/settings_password.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "app/password_hash.h"
#include "app/product.h"
#include "app/stored_settings.h"

namespace {

constexpr char kPasswordValue[] = "Settings Password";
constexpr char kBuiltInPassword[] = "7316";  // when the site stored none
constexpr REGSAM VIEW = KEY_WOW64_32KEY;      // where the 32-bit installer writes

bool Derive(const std::string& strUtf8, const std::vector<std::uint8_t>& salt,
            unsigned nIterations, std::vector<std::uint8_t>& hash)
{
    BCRYPT_ALG_HANDLE hAlg = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&hAlg, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                      BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    hash.assign(PASSWORD_HASH_BYTES, 0);
    const NTSTATUS status = ::BCryptDeriveKeyPBKDF2(
        hAlg, reinterpret_cast<PUCHAR>(const_cast<char*>(strUtf8.data())),
        static_cast<ULONG>(strUtf8.size()), const_cast<PUCHAR>(salt.data()),
        static_cast<ULONG>(salt.size()), nIterations, hash.data(),
        static_cast<ULONG>(hash.size()), 0);
    ::BCryptCloseAlgorithmProvider(hAlg, 0);
    return BCRYPT_SUCCESS(status);
}

// Code page 949 text (the edit's) as UTF-8, the bytes the hash is taken over.
std::string Utf8FromAnsi(const std::string& strAnsi)
{
    if (strAnsi.empty())
        return std::string();
    const int nWide = ::MultiByteToWideChar(CP_ACP, 0, strAnsi.data(),
                                            static_cast<int>(strAnsi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(nWide > 0 ? nWide : 0), L'\0');
    if (nWide > 0)
        ::MultiByteToWideChar(CP_ACP, 0, strAnsi.data(), static_cast<int>(strAnsi.size()),
                              &wide[0], nWide);
    const int nUtf8 = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(),
                                            static_cast<int>(wide.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string strUtf8(static_cast<size_t>(nUtf8 > 0 ? nUtf8 : 0), '\0');
    if (nUtf8 > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                              &strUtf8[0], nUtf8, nullptr, nullptr);
    SecureZeroMemory(&wide[0], wide.size() * sizeof(wchar_t));
    return strUtf8;
}

PasswordStoreResult FromError(LONG lError, unsigned long* pdwError)
{
    if (pdwError)
        *pdwError = static_cast<unsigned long>(lError);
    if (lError == ERROR_SUCCESS)
        return PasswordStoreResult::Done;
    if (lError == ERROR_FILE_NOT_FOUND)
        return PasswordStoreResult::NothingStored;
    return lError == ERROR_ACCESS_DENIED ? PasswordStoreResult::AccessDenied
                                         : PasswordStoreResult::Failed;
}

// The window's lockout lives as long as the library: closing and reopening the window does
// not start the count again. UI thread only.
CPasswordLockout& TheLockout()
{
    static CPasswordLockout lockout;
    return lockout;
}

int WholeSeconds(std::uint64_t nMs)
{
    return static_cast<int>((nMs + 999) / 1000);
}

}  // namespace

PasswordStoreResult StoreSettingsPassword(const std::string& strUtf8, unsigned long* pdwError)
{
    PasswordHash stored;
    stored.nIterations = PASSWORD_HASH_ITERATIONS;
    stored.salt.assign(PASSWORD_SALT_BYTES, 0);
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, stored.salt.data(),
                                          static_cast<ULONG>(stored.salt.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG)) ||
        !Derive(strUtf8, stored.salt, stored.nIterations, stored.hash))
        return FromError(ERROR_INVALID_FUNCTION, pdwError);
    const std::string strText = FormatPasswordHash(stored);

    HKEY hKey = nullptr;
    LONG lResult = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, 0, nullptr, 0,
                                     KEY_SET_VALUE | VIEW, nullptr, &hKey, nullptr);
    if (lResult != ERROR_SUCCESS)
        return FromError(lResult, pdwError);
    lResult = ::RegSetValueExA(hKey, kPasswordValue, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(strText.c_str()),
                               static_cast<DWORD>(strText.size() + 1));
    ::RegCloseKey(hKey);
    return FromError(lResult, pdwError);
}

PasswordStoreResult ClearSettingsPassword(unsigned long* pdwError)
{
    HKEY hKey = nullptr;
    LONG lResult = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, 0,
                                   KEY_SET_VALUE | VIEW, &hKey);
    if (lResult != ERROR_SUCCESS)
        return FromError(lResult, pdwError);
    lResult = ::RegDeleteValueA(hKey, kPasswordValue);
    ::RegCloseKey(hKey);
    return FromError(lResult, pdwError);
}

std::string ReadStoredPasswordHash()
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY_PATH, 0, KEY_QUERY_VALUE | VIEW,
                        &hKey) != ERROR_SUCCESS)
        return std::string();
    char szText[512] = {0};
    DWORD cbText = sizeof(szText) - 1;
    DWORD dwType = 0;
    const LONG lResult = ::RegQueryValueExA(hKey, kPasswordValue, nullptr, &dwType,
                                            reinterpret_cast<BYTE*>(szText), &cbText);
    ::RegCloseKey(hKey);
    if (lResult == ERROR_MORE_DATA)
        return "?";  // stored, but no hash of ours: nothing matches it
    if (lResult != ERROR_SUCCESS)
        return std::string();
    return szText[0] != '\0' ? std::string(szText) : std::string("?");
}

PasswordAnswer CheckSettingsPassword(const std::string& strTyped)
{
    CPasswordLockout& lockout = TheLockout();
    const std::uint64_t nRemaining = lockout.RemainingMs(::GetTickCount64());
    if (nRemaining > 0)
        return {PasswordVerdict::Locked, WholeSeconds(nRemaining)};

    bool bRight = false;
    const std::string strStored = ReadStoredPasswordHash();
    if (strStored.empty()) {
        bRight = SameText(strTyped, kBuiltInPassword);
    } else {
        // A stored value that is not a hash of ours (damaged, or written by hand) matches no
        // password: the gate stays shut rather than fall back to the built-in one.
        PasswordHash stored;
        std::vector<std::uint8_t> typed;
        std::string strUtf8 = Utf8FromAnsi(strTyped);
        bRight = ParsePasswordHash(strStored, stored) &&
                 Derive(strUtf8, stored.salt, stored.nIterations, typed) &&
                 SameBytes(typed, stored.hash);
        SecureZeroMemory(&strUtf8[0], strUtf8.size());
    }
    if (bRight) {
        lockout.Succeeded();
        return {PasswordVerdict::Accepted, 0};
    }
    if (lockout.Failed(::GetTickCount64()))
        return {PasswordVerdict::LockedNow, WholeSeconds(PASSWORD_LOCKOUT_MS)};
    return {PasswordVerdict::Wrong, 0};
}
