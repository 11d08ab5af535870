// What a standard user's relay asks of Windows, checked where Wine can show it: the rights the
// settings store asks for on its key (Wine grants any, so only the request can be seen), the
// manifest inside the built pellarin.exe, and which log folder owners are trusted. Refusals that only Windows enforces (UAC, the DACL,
// virtualisation) are left to a Windows run.
#include <windows.h>

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

#include "app/registry_access.h"
#include "app/settings_store.h"
#include "log/log_folder_guard.h"

namespace {

std::vector<std::pair<std::string, REGSAM>> g_calls;  // the test's thread only

void RecordCall(const char* pszCall, REGSAM samDesired, LONG)
{
    g_calls.emplace_back(pszCall, samDesired);
}

std::string OwnFolder()
{
    char szPath[MAX_PATH] = "";
    const DWORD dwLength = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath(szPath, dwLength);
    return strPath.substr(0, strPath.find_last_of("\\/") + 1);
}

std::string TempFolder()
{
    char szDir[MAX_PATH] = "";
    ::GetTempPathA(MAX_PATH, szDir);
    return szDir;
}

} // namespace

TEST(LeastPrivilege, SettingsKeyIsAskedOnlyForWhatEachUseNeeds)
{
    // The stored port of an earlier run stays: read first, written back as it was.
    std::string strStored = "COM1";
    ReadStoredPort(strStored);
    SetRegistryObserver(RecordCall);
    g_calls.clear();
    std::string strPort;
    ReadStoredPort(strPort);
    LONG lError = -1;
    EXPECT_EQ(WriteStoredPort(strStored.c_str(), &lError), 1);
    SetRegistryObserver(nullptr);
    EXPECT_EQ(lError, ERROR_SUCCESS);
    const std::vector<std::pair<std::string, REGSAM>> expected = {
        {"open", KEY_QUERY_VALUE | KEY_WOW64_32KEY},
        {"create", KEY_SET_VALUE | KEY_WOW64_32KEY},
    };
    EXPECT_EQ(g_calls, expected);
}

TEST(LeastPrivilege, LauncherManifestRunsAsInvokerOnEverySupportedSystem)
{
    const std::string strExe = OwnFolder() + "pellarin.exe";
    HMODULE hExe = ::LoadLibraryExA(strExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hExe, nullptr) << strExe;
    HRSRC hResource = ::FindResourceA(hExe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(hResource, nullptr) << "no manifest (RT_MANIFEST 1) in pellarin.exe";
    const char* pData = static_cast<const char*>(::LockResource(::LoadResource(hExe, hResource)));
    const std::string strManifest(pData, ::SizeofResource(hExe, hResource));
    ::FreeLibrary(hExe);
    for (const char* pszNeedle :
         {"level=\"asInvoker\"", "uiAccess=\"false\"",
          "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(strManifest.find(pszNeedle), std::string::npos) << pszNeedle;
}

TEST(LeastPrivilege, LogFolderOwnersThatAreTrusted)
{
    HANDLE hToken = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken));
    alignas(TOKEN_USER) char abUser[256];
    DWORD cbUser = 0;
    ASSERT_TRUE(::GetTokenInformation(hToken, TokenUser, abUser, sizeof(abUser), &cbUser));
    ::CloseHandle(hToken);
    char* pszSelf = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(abUser)->User.Sid, &pszSelf));
    const std::string strSelf = pszSelf;
    ::LocalFree(pszSelf);

    // Wine keeps no owner that a test sets on a folder, so the owners are handed in as SIDs.
    const struct {
        std::string strSid;
        bool bTrusted;
    } rows[] = {
        {"S-1-5-32-544", true},             // Administrators
        {"S-1-5-18", true},                 // SYSTEM
        {strSelf, true},                    // the relay's own user
        {"S-1-5-21-1-2-3-1001", false},     // another user
        {"S-1-5-32-545", false},            // Users
        {"S-1-1-0", false},                 // Everyone
    };
    for (const auto& row : rows) {
        PSID pSid = nullptr;
        ASSERT_TRUE(::ConvertStringSidToSidA(row.strSid.c_str(), &pSid)) << row.strSid;
        EXPECT_EQ(LogFolderOwnerTrusted(pSid), row.bTrusted) << row.strSid;
        ::LocalFree(pSid);
    }

    // A folder this process made is its own; one that does not exist is made later.
    const std::string strMade = TempFolder() + "pellarin-owner-test";
    ::CreateDirectoryA(strMade.c_str(), nullptr);
    std::string strWhy;
    EXPECT_TRUE(LogFolderAcceptable(strMade, &strWhy)) << strWhy;
    ::RemoveDirectoryA(strMade.c_str());
    EXPECT_TRUE(LogFolderAcceptable(strMade + "\\absent", &strWhy)) << strWhy;
}
