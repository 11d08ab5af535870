// The exact bytes and lengths the settings store hands the registry (which, under Wine at
// least, adds a terminator on its own and so cannot show them), and how stored "COM Port"
// data reads back. Expected bytes are written out here, not derived from the code.
#include <gtest/gtest.h>

#include <string>

#include "app/stored_settings.h"

TEST(StoredSettings, StoringAPortWritesFourBytesOfItAndTheVersionWithoutTerminators)
{
    struct Row {
        const char* pszPort;
        std::string strPortBytes;
    };
    const Row rows[] = {
        {"COM3", std::string("\x43\x4F\x4D\x33", 4)},
        {"COM12", std::string("\x43\x4F\x4D\x31", 4)},
        {"CO", std::string("\x43\x4F", 2)},  // shorter: nothing past its end
        {"", std::string()},
        {nullptr, std::string()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszPort ? row.pszPort : "(null)");
        const std::vector<StoredValue> values = PortValuesToStore(row.pszPort, "1.3");
        ASSERT_EQ(values.size(), 2u);
        EXPECT_STREQ(values[0].pszName, "COM Port");
        EXPECT_EQ(values[0].strData, row.strPortBytes);
        EXPECT_STREQ(values[1].pszName, "Version");
        EXPECT_EQ(values[1].strData, std::string("\x31\x2E\x33", 3));
    }
}

TEST(StoredSettings, StoredDataReadsUpToTheFirstZeroAndAtMostFiveBytes)
{
    struct Row {
        std::string strData;
        const char* pszPort;
    };
    const Row rows[] = {
        {std::string("COM7\0", 5), "COM7"},
        {"COM12", "COM12"},
        {"COM3", "COM3"},
        {std::string("CO\0M5", 5), "CO"},
        {"COM123", "COM12"},  // never more than five, whatever length is claimed
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszPort);
        EXPECT_EQ(PortFromStoredData(reinterpret_cast<const unsigned char*>(row.strData.data()),
                                     row.strData.size()),
                  row.pszPort);
    }
}

TEST(StoredSettings, KeyPathIsTheHangulNameInCodePage949)
{
    // "(주)" is 0xC1 0xD6 in code page 949; the build stores narrow literals in it.
    const std::string strExpected =
        "Software\\(\xC1\xD6)Norvane\\(\xC1\xD6)Norvane Pellarin\\1.0";
    EXPECT_EQ(std::string(SETTINGS_KEY_PATH), strExpected);
}
