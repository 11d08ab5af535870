// The settings store against Wine's real registry and real config.ini files. Values are set
// up and read back through the wide API under the key's Hangul name written as a wide
// literal, so the program's code page 949 path must name the very same key.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/config_ini.h"
#include "app/settings_store.h"
#include "app/stored_settings.h"
#include "tests/wine/app_test_support.h"

using namespace apptest;

TEST(SettingsEnvironment, AnsiCodePageIs949)
{
    // Every test of the Hangul texts below presumes it.
    ASSERT_EQ(GetACP(), 949u) << "run under LC_ALL=ko_KR.UTF-8";
}

struct StoredPortRow {
    const char* pszCase;
    DWORD dwType;          // 0: no key at all; REG_NONE: key without the value
    std::string strData;   // raw bytes as another tool stored them
    int nExpectedResult;
    const char* pszExpectedPort;
};

TEST(SettingsStore, ReadsTheStoredPort)
{
    const StoredPortRow rows[] = {
        {"no key", 0, "", 0, "unchanged"},
        {"key without value", REG_NONE, "", 0, "unchanged"},
        {"COM7 with a zero, wide", REG_SZ, std::string("C\0O\0M\0" "7\0\0\0", 10), 1, "COM7"},
        {"COM12, exactly 5 bytes", REG_BINARY, "COM12", 1, "COM12"},
        {"COM3, 4 bytes", REG_BINARY, "COM3", 1, "COM3"},
        {"15 bytes", REG_BINARY, "ABCDEFGHIJKLMNO", 1, "ABCDEFGHIJKLMNO"},
        {"15 characters and a zero", REG_BINARY, std::string("ABCDEFGHIJKLMNO\0", 16), 1,
         "ABCDEFGHIJKLMNO"},
        {"16 characters", REG_BINARY, "ABCDEFGHIJKLMNOP", 0, "unchanged"},
        {"17 bytes", REG_BINARY, std::string("ABCDEFGHIJKLMNOP\0", 17), 0, "unchanged"},
        {"zero inside", REG_BINARY, std::string("CO\0M5", 5), 1, "CO"},
    };
    for (const StoredPortRow& row : rows) {
        SCOPED_TRACE(row.pszCase);
        DeleteSettings();
        if (row.dwType == REG_NONE) {
            HKEY hKey = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                      KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &hKey, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(hKey);
        } else if (row.dwType != 0) {
            StoreRawPort(row.dwType, row.strData.data(), static_cast<DWORD>(row.strData.size()));
        }
        std::string strPort = "unchanged";
        EXPECT_EQ(ReadStoredPort(strPort), row.nExpectedResult);
        EXPECT_EQ(strPort, row.pszExpectedPort);
    }
    DeleteSettings();
}

TEST(SettingsStore, WritesPortAndVersionUnderTheHangulKey)
{
    struct Row {
        const char* pszPort;
        const wchar_t* pszStored;   // what a wide reader finds
        const char* pszReadBack;    // what the next start reads
    };
    const Row rows[] = {
        {"COM3", L"COM3", "COM3"},
        {"COM12", L"COM12", "COM12"},  // whole
        {"\\\\.\\COM256", L"\\\\.\\COM256", "\\\\.\\COM256"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszPort);
        DeleteSettings();
        EXPECT_EQ(WriteStoredPort(row.pszPort), 1);

        DWORD dwType = 0;
        std::wstring strText;
        ASSERT_TRUE(ReadSetting(L"COM Port", &dwType, &strText)) << "key not under its wide name";
        EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(strText, row.pszStored);
        ASSERT_TRUE(ReadSetting(L"Version", &dwType, &strText));
        EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(strText, L"1.3");

        std::string strPort;
        EXPECT_EQ(ReadStoredPort(strPort), 1);
        EXPECT_EQ(strPort, row.pszReadBack);
    }
    DeleteSettings();
}

TEST(SettingsStore, ReadsTheLogLevelFromConfigIniInTheCurrentDirectory)
{
    struct Row {
        const char* pszCase;
        const char* pszFile;  // null: no config.ini
        int nExpected;
    };
    const Row rows[] = {
        {"99", "[DEBUG]\r\nLEVEL=99\r\n", 99},
        {"100 keeps two characters", "[DEBUG]\r\nLEVEL=100\r\n", 10},
        {"7x", "[DEBUG]\r\nLEVEL=7x\r\n", 7},
        {"abc", "[DEBUG]\r\nLEVEL=abc\r\n", 0},
        {"-5", "[DEBUG]\r\nLEVEL=-5\r\n", -5},
        {"other section", "[OTHER]\r\nLEVEL=5\r\n", 0},
        {"no key", "[DEBUG]\r\nLEVELS=5\r\n", 0},
        {"missing file", nullptr, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszCase);
        CScratchDir dir;
        if (row.pszFile != nullptr)
            dir.WriteFile(L"config.ini", row.pszFile);
        EXPECT_EQ(ReadConfigIni(SETTINGS_INI_PATH).nDebugLevel, row.nExpected);
    }
}

// One reader for every section: each value with the full path of the file it came from (none
// for a missing key), and one rule for values that cannot be used: the default and one
// status line each; an AllowHosts entry that cannot be parsed refuses every host.
TEST(SettingsStore, ReadsEverySectionOfConfigIniWithItsSource)
{
    CScratchDir dir;
    dir.WriteFile(L"config.ini",
                  "[DEBUG]\r\nLEVEL=99\r\n"
                  "[RELAY]\r\nConnectTimeout=abc\r\nAllowHosts=10.0.0.1, 10.0.0.x\r\n"
                  "[LOG]\r\nDir=logs\r\nKeepDays=0\r\nMaskCardNumbers=0\r\n"
                  "ConnectTimeout=7\r\n");
    const ConfigIni config = ReadConfigIni(SETTINGS_INI_PATH);
    char szFull[MAX_PATH] = {0};
    ASSERT_NE(::GetFullPathNameA("config.ini", MAX_PATH, szFull, nullptr), 0u);
    EXPECT_EQ(config.strPath, szFull);
    EXPECT_EQ(config.nDebugLevel, 99);
    for (const ConfigValue* pValue : {&config.debugLevel, &config.relayConnectTimeout,
                                      &config.relayAllowHosts, &config.logDir,
                                      &config.logKeepDays, &config.logMaskCardNumbers})
        EXPECT_EQ(pValue->strFrom, szFull);
    EXPECT_FALSE(config.logMaxFileMB.Present());
    EXPECT_EQ(config.logMaskCardNumbers.strText, "0");

    const RelaySettings relay = config.Relay();
    EXPECT_EQ(relay.nConnectTimeoutS, CONNECT_TIMEOUT_DEFAULT_S);
    EXPECT_TRUE(relay.allowHosts.RefusesAll());
    EXPECT_EQ(relay.notices.size(), 2u);

    std::vector<std::string> notes;
    const LogSettings log = ParseLogSettings(config.LogValues(), &notes);
    EXPECT_EQ(log.strDir, "logs");
    EXPECT_EQ(log.nKeepDays, LOG_KEEP_DAYS_DEFAULT);
    EXPECT_EQ(log.nMaxFileMB, LOG_MAX_FILE_MB_DEFAULT);
    EXPECT_FALSE(log.bMaskCards);
    EXPECT_EQ(notes.size(), 2u);  // KeepDays=0, and masking turned off
}
