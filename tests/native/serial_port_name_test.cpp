// The names a typed port name turns into: the device path CreateFile opens (COM10 and above
// open only through the device namespace) and the claim name, which must be one for every
// spelling of one port so that two relays never share it.
#include "serial/port_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PortNameTest, DevicePathAndClaimNameOfATypedName)
{
    struct Row {
        std::string strTyped;
        std::string strDevice;
        std::string strClaim;
    };
    const Row rows[] = {
        {"COM1", "\\\\.\\COM1", "Local\\Pellarin.Port.COM1"},
        {"COM10", "\\\\.\\COM10", "Local\\Pellarin.Port.COM10"},
        {"com10", "\\\\.\\com10", "Local\\Pellarin.Port.COM10"},
        {"\\\\.\\COM10", "\\\\.\\COM10", "Local\\Pellarin.Port.COM10"},  // already a device path
        {"\\\\.\\a\\b", "\\\\.\\a\\b", "Local\\Pellarin.Port.A/B"},
        {"\\COM1", "\\\\.\\\\COM1", "Local\\Pellarin.Port./COM1"},  // not the device prefix
        {"", "\\\\.\\", "Local\\Pellarin.Port."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.strTyped);
        EXPECT_EQ(PortDevicePath(row.strTyped), row.strDevice);
        EXPECT_EQ(PortClaimName(row.strTyped), row.strClaim);
    }
}

} // namespace
