// The [RELAY] settings' rules: ConnectTimeout values and AllowHosts lists, each a row with the
// answer written out by hand. The faults aimed at: a bad value taken as 0 or as "no limit", a
// typo in AllowHosts that opens the PC to every host, a mask or port that matches too much.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "relay/relay_config.h"

namespace {

struct TimeoutRow {
    const char* pszValue;
    int nSeconds;
    bool bUsable;
};

const TimeoutRow kTimeoutRows[] = {
    {"", 10, true},      {"  ", 10, true},   {"1", 1, true},     {"60", 60, true},
    {" 7 ", 7, true},    {"05", 5, true},    {"0", 10, false},   {"61", 10, false},
    {"-5", 10, false},   {"+5", 10, false},  {"5s", 10, false},  {"5.5", 10, false},
    {"100", 10, false},  {"abc", 10, false}, {"4294967297", 10, false},
};

TEST(ConnectTimeout, Values)
{
    for (const TimeoutRow& row : kTimeoutRows) {
        bool bUsable = !row.bUsable;
        EXPECT_EQ(ParseConnectTimeout(row.pszValue, &bUsable), row.nSeconds) << row.pszValue;
        EXPECT_EQ(bUsable, row.bUsable) << row.pszValue;
    }
}

struct AllowRow {
    const char* pszList;
    const char* pszBadEntry;  // null: the list parses
    // Hosts asked about, and whether each may be connected to.
    std::vector<std::pair<std::pair<const char*, int>, bool>> hosts;
};

const AllowRow kAllowRows[] = {
    {"", nullptr, {{{"10.0.0.1", 80}, true}, {{"256.0.0.1", 80}, true}}},
    {" \t ", nullptr, {{{"127.0.0.1", 1}, true}}},
    {"192.0.2.10", nullptr,
     {{{"192.0.2.10", 7001}, true}, {{"192.0.2.11", 7001}, false}, {{"127.0.0.1", 7001}, false}}},
    {"192.0.2.10:7001", nullptr,
     {{{"192.0.2.10", 7001}, true}, {{"192.0.2.10", 7002}, false}, {{"192.0.2.10", 701}, false}}},
    {"10.0.0.0/8, 192.168.1.0/24:443", nullptr,
     {{{"10.255.1.2", 9}, true}, {{"11.0.0.1", 9}, false}, {{"192.168.1.77", 443}, true},
      {{"192.168.1.77", 80}, false}, {{"192.168.2.1", 443}, false}}},
    // Host bits under the mask are ignored; /0 is every address.
    {"10.1.2.3/8", nullptr, {{{"10.9.9.9", 1}, true}, {{"9.1.2.3", 1}, false}}},
    {"0.0.0.0/0:9999", nullptr, {{{"1.2.3.4", 9999}, true}, {{"1.2.3.4", 9998}, false}}},
    {"127.000.000.001/32", nullptr, {{{"127.0.0.1", 5}, true}, {{"127.0.0.2", 5}, false}}},
    // An address the dispatcher made from groups above 255 matches nothing.
    {"0.0.0.0/0", nullptr, {{{"256.0.2.10", 80}, false}, {{"0.0.0.0", 80}, true}}},
    // One bad entry refuses everything, the good entries beside it included.
    {"10.0.0.1, 10.0.0.2:", "10.0.0.2:", {{{"10.0.0.1", 80}, false}}},
    {"10.0.0.1,", "", {{{"10.0.0.1", 80}, false}}},
    {"10.0.0.1,,10.0.0.2", "", {{{"10.0.0.1", 80}, false}}},
    {"10.0.0.256", "10.0.0.256", {{{"10.0.0.0", 80}, false}}},
    {"10.0.0", "10.0.0", {}},
    {"10.0.0.1.2", "10.0.0.1.2", {}},
    {"10..0.1", "10..0.1", {}},
    {"10.0.0.1/33", "10.0.0.1/33", {}},
    {"10.0.0.1/", "10.0.0.1/", {}},
    {"10.0.0.1:0", "10.0.0.1:0", {}},
    {"10.0.0.1:65536", "10.0.0.1:65536", {}},
    {"10.0.0.1:80/8", "10.0.0.1:80/8", {}},
    {"host.example", "host.example", {}},
    {"10.0.0.1 10.0.0.2", "10.0.0.1 10.0.0.2", {}},
    {"10.0.0.1;10.0.0.2", "10.0.0.1;10.0.0.2", {}},
    {"-1.0.0.1", "-1.0.0.1", {}},
    {"0010.0.0.1", "0010.0.0.1", {}},
};

TEST(AllowHosts, Lists)
{
    for (const AllowRow& row : kAllowRows) {
        SCOPED_TRACE(row.pszList);
        const HostAllowList list = HostAllowList::Parse(row.pszList);
        EXPECT_EQ(list.RefusesAll(), row.pszBadEntry != nullptr);
        EXPECT_EQ(list.BadEntry(), row.pszBadEntry ? row.pszBadEntry : "");
        EXPECT_EQ(list.AllowsAny(), std::string(row.pszList).find_first_not_of(" \t") ==
                                        std::string::npos);
        for (const auto& host : row.hosts) {
            EXPECT_EQ(list.Allows(host.first.first, host.first.second), host.second)
                << host.first.first << ":" << host.first.second;
        }
        if (row.pszBadEntry) {
            // Refusing everything means everything, whatever the other entries said.
            EXPECT_FALSE(list.Allows("10.0.0.1", 80));
            EXPECT_FALSE(list.Allows("127.0.0.1", 1));
        }
    }
}

TEST(AllowHosts, NullAddressIsRefusedByAList)
{
    EXPECT_FALSE(HostAllowList::Parse("0.0.0.0/0").Allows(nullptr, 80));
}

} // namespace
