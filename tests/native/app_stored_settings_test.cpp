// The exact bytes and lengths the settings store hands the registry (which, under Wine at
// least, adds a terminator on its own and so cannot show them), and how stored "COM Port"
// data reads back. Expected bytes are written out here, not derived from the code.
#include <gtest/gtest.h>

#include <string>

#include "app/protected_places.h"
#include "app/stored_settings.h"

TEST(StoredSettings, StoringAPortWritesTheWholeNameAndTheVersionWithoutTerminators)
{
    struct Row {
        const char* pszPort;
        bool bPortStored;
        std::string strPortBytes;
    };
    const Row rows[] = {
        {"COM3", true, std::string("\x43\x4F\x4D\x33", 4)},  // as every earlier version
        {"COM12", true, std::string("\x43\x4F\x4D\x31\x32", 5)},
        {"\\\\.\\COM256", true, std::string("\x5C\x5C\x2E\x5C\x43\x4F\x4D\x32\x35\x36", 10)},
        {"ABCDEFGHIJKLMNO", true, "ABCDEFGHIJKLMNO"},  // 15: the longest
        {"ABCDEFGHIJKLMNOP", false, ""},  // 16: cut, it would name another port
        {"CO", true, std::string("\x43\x4F", 2)},
        {"", true, std::string()},
        {nullptr, true, std::string()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszPort ? row.pszPort : "(null)");
        const std::vector<StoredValue> values = PortValuesToStore(row.pszPort, "1.3");
        ASSERT_EQ(values.size(), row.bPortStored ? 2u : 1u);
        if (row.bPortStored) {
            EXPECT_STREQ(values[0].pszName, "COM Port");
            EXPECT_EQ(values[0].strData, row.strPortBytes);
        }
        EXPECT_STREQ(values.back().pszName, "Version");
        EXPECT_EQ(values.back().strData, std::string("\x31\x2E\x33", 3));
    }
}

TEST(StoredSettings, StoredDataReadsUpToTheFirstZeroAndAtMostFifteenCharacters)
{
    struct Row {
        std::string strData;
        bool bRead;
        const char* pszPort;  // read, or what strPort keeps
    };
    const Row rows[] = {
        {"COM3", true, "COM3"},  // 4 bytes, no terminator: an older version's value
        {std::string("COM7\0", 5), true, "COM7"},
        {"COM12", true, "COM12"},
        {std::string("COM123\0", 7), true, "COM123"},
        {"ABCDEFGHIJKLMNO", true, "ABCDEFGHIJKLMNO"},
        {std::string("ABCDEFGHIJKLMNO\0", 16), true, "ABCDEFGHIJKLMNO"},
        {"ABCDEFGHIJKLMNOP", false, "kept"},  // 16 characters: not a name this relay stores
        {std::string("CO\0M5", 5), true, "CO"},
        {"", true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.strData);
        std::string strPort = "kept";
        EXPECT_EQ(PortFromStoredData(reinterpret_cast<const unsigned char*>(row.strData.data()),
                                     row.strData.size(), strPort),
                  row.bRead);
        EXPECT_EQ(strPort, row.pszPort);
    }
}

TEST(StoredSettings, KeyPathIsTheHangulNameInCodePage949)
{
    // "(주)" is 0xC1 0xD6 in code page 949; the build stores narrow literals in it.
    const std::string strExpected =
        "Software\\(\xC1\xD6)Norvane\\(\xC1\xD6)Norvane Pellarin\\1.0";
    EXPECT_EQ(std::string(SETTINGS_KEY_PATH), strExpected);
}

// Whether a config.ini lies in the install folder, where only an administrator writes.
TEST(ProtectedPlaces, FileDirectlyInsideTheFolder)
{
    const struct {
        const char* pszFile;
        const char* pszFolder;
        bool bInside;
    } rows[] = {
        {"C:\\Program Files (x86)\\Pellarin\\config.ini", "C:\\Program Files (x86)\\Pellarin\\", true},
        {"C:\\Program Files (x86)\\Pellarin\\config.ini", "C:\\Program Files (x86)\\Pellarin", true},
        {"c:\\program files (x86)\\PELLARIN\\config.ini", "C:\\Program Files (x86)\\Pellarin\\", true},
        {"C:/Program Files (x86)/Pellarin/config.ini", "C:\\Program Files (x86)\\Pellarin\\", true},
        {"C:\\Program Files (x86)\\Pellarin\\sub\\config.ini", "C:\\Program Files (x86)\\Pellarin\\", false},
        {"C:\\Program Files (x86)\\PellarinX\\config.ini", "C:\\Program Files (x86)\\Pellarin", false},
        {"C:\\Program Files (x86)\\Pellarin.ini", "C:\\Program Files (x86)\\Pellarin", false},
        {"C:\\Program Files (x86)\\Pellarin\\", "C:\\Program Files (x86)\\Pellarin\\", false},
        {"C:\\Program Files (x86)\\Pellarin\\..", "C:\\Program Files (x86)\\Pellarin\\", false},
        {"D:\\pos\\config.ini", "C:\\Program Files (x86)\\Pellarin\\", false},
        {"config.ini", "", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsFileInFolder(row.pszFile, row.pszFolder), row.bInside) << row.pszFile << " in " << row.pszFolder;
}
