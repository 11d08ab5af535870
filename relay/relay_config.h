// The relay's own settings in config.ini's [RELAY] section, read from their text.
//
// Why a parser of its own: both values guard the user-interface thread or the shop's network,
// so a value that cannot be used must never quietly become something looser.
//  - ConnectTimeout= bounds the connect that the user-interface thread waits for. Blank or
//    absent is the default; anything that is not a whole number of seconds from 1 to 60
//    takes the default too, and the caller says so once at start.
//  - AllowHosts= says which hosts the terminal may make the PC connect to: a comma-separated
//    list of a.b.c.d[/bits][:port]. Blank or absent allows any host (as before the setting
//    existed). One entry that cannot be parsed makes the whole list refuse every host: a typo
//    must not open the PC to everything.
//
// No Windows header: the rules are table-tested natively and fuzzed. No state beyond the
// parsed list; safe on any thread once built.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr int CONNECT_TIMEOUT_DEFAULT_S = 10;
constexpr int CONNECT_TIMEOUT_MIN_S = 1;
constexpr int CONNECT_TIMEOUT_MAX_S = 60;

// Seconds from a ConnectTimeout= value. Blank: the default, *pbUsable true. A whole number
// 1 to 60 (blanks around it allowed): that number, *pbUsable true. Anything else: the default,
// *pbUsable false.
int ParseConnectTimeout(const std::string& strValue, bool* pbUsable);

// One AllowHosts entry: hosts whose address masked by dwMask equals dwNet, on nPort (0: any).
struct HostRule {
    uint32_t dwNet;   // address, first group in the high byte, already masked
    uint32_t dwMask;  // /bits as a mask; /32 when no bits were given
    int nPort;        // 1 to 65535, or 0 when no port was given
};

class HostAllowList {
public:
    // Any host (what a blank value gives).
    HostAllowList() = default;
    // Parses an AllowHosts= value; see the top of this file.
    static HostAllowList Parse(const std::string& strValue);

    // True when a connect to the dotted address and port may be made. The address is the
    // dispatcher's text ("%d.%d.%d.%d" of the request's groups): a group above 255 matches no
    // entry.
    bool Allows(const char* pszHostAddr, int nHostPort) const;

    // True when the value was blank: every host is allowed.
    bool AllowsAny() const { return m_bAny; }
    // True when an entry could not be parsed: every host is refused. BadEntry names the
    // first such entry (blanks trimmed; an empty entry between two commas is one too).
    bool RefusesAll() const { return m_bBad; }
    const std::string& BadEntry() const { return m_strBadEntry; }
    const std::vector<HostRule>& Rules() const { return m_rules; }

private:
    bool m_bAny = true;
    bool m_bBad = false;
    std::string m_strBadEntry;
    std::vector<HostRule> m_rules;
};

// Reads a dotted IPv4 address of four decimal groups (1 to 3 digits, 0 to 255 each) from the
// whole of strText; no blanks, signs or other characters. False when it is not one.
bool ParseDottedAddress(const std::string& strText, uint32_t* pdwAddr);
