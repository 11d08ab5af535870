// config.ini, read in one place: [DEBUG] LEVEL, [RELAY] and [LOG], once at start.
//
// Why one reader: every section follows the same rules. [DEBUG] LEVEL keeps its historic
// reading (two characters, converted like atoi; anything else is 0, without a word). In
// [RELAY] and [LOG], a value that cannot be used takes its default and gives one status line
// at start, except AllowHosts, where an entry that cannot be parsed refuses every host (a
// typo must not open the PC to any host). A missing key takes its default without a word.
//
// Where each value came from: every value carries the full path of the config.ini it was
// read from (empty when the key is missing), so a caller can refuse a value that loosens
// protection when it comes from a file a standard user can write.
//
// Runs on the user-interface thread (ANSI profile functions, code page 949).
#pragma once
#include <string>
#include <vector>

#include "app/relay_settings.h"
#include "log/log_file_rules.h"

struct ConfigValue {
    std::string strText;    // the value as written; empty when the key is missing
    std::string strFrom;    // full path of the config.ini it was read from; empty: missing
    bool bReadable = true;  // false: longer than the reader takes (a value that cannot be used)
    bool Present() const { return !strFrom.empty(); }
};

struct ConfigIni {
    std::string strPath;   // full path of the config.ini read (whether or not it exists)
    int nDebugLevel = 0;   // [DEBUG] LEVEL
    ConfigValue debugLevel;
    ConfigValue relayConnectTimeout, relayAllowHosts;
    ConfigValue logDir, logKeepDays, logMaxFileMB, logMaskCardNumbers;

    // The [LOG] values as the log window takes them (ParseLogSettings words their notes).
    LogIniValues LogValues() const;
    // The [RELAY] settings, with one status line per value that cannot be used.
    RelaySettings Relay() const;
};

// Reads pszIniPath (relative paths from the current directory).
ConfigIni ReadConfigIni(const char* pszIniPath);
