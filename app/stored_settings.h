// What the settings store keeps, in bytes: the registry key path, the values written when a
// port is stored, and how stored "COM Port" data turns back into a port name.
//
// No Windows header: the exact bytes and lengths handed to the registry are fixed here and
// tested natively, because the registry itself (Wine's at least) adds a terminator to REG_SZ
// data and so cannot show what the program passed.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// HKEY_LOCAL_MACHINE\<this>, code page 949 (the build stores narrow literals in it).
inline constexpr char SETTINGS_KEY_PATH[] = "Software\\(주)Norvane\\(주)Norvane Pellarin\\1.0";
// A compiler that stored narrow literals as UTF-8 would make the program write to another key
// than the one sites have: "(주)" must be the two bytes C1 D6 here, or the build stops.
static_assert(sizeof(SETTINGS_KEY_PATH) == 46 && SETTINGS_KEY_PATH[9] == '(' &&
                  static_cast<unsigned char>(SETTINGS_KEY_PATH[10]) == 0xC1 &&
                  static_cast<unsigned char>(SETTINGS_KEY_PATH[11]) == 0xD6 &&
                  SETTINGS_KEY_PATH[12] == ')',
              "narrow literals must be stored in code page 949 (-fexec-charset=CP949)");
inline constexpr char SETTINGS_PORT_VALUE[] = "COM Port";
inline constexpr char SETTINGS_VERSION_VALUE[] = "Version";
// "COM Port" holds the whole name without a terminator ("COM3": 4 bytes, "COM10": 5), up to
// this many characters; the settings window takes no longer name.
inline constexpr std::size_t SETTINGS_PORT_MAX_CHARS = 15;
// Stored data is read through a buffer of this many bytes: the longest name and a terminator
// (which other tools, and Wine's registry, add). Longer data cannot be read.
inline constexpr std::size_t SETTINGS_PORT_READ_LIMIT = SETTINGS_PORT_MAX_CHARS + 1;

// The config file the log level comes from, relative to the current directory.
inline constexpr char SETTINGS_INI_PATH[] = ".\\config.ini";
inline constexpr char SETTINGS_INI_SECTION[] = "DEBUG";
inline constexpr char SETTINGS_INI_KEY[] = "LEVEL";
inline constexpr std::size_t SETTINGS_LEVEL_BUFFER = 3;     // two characters and the terminator

// One REG_SZ value as it is handed to the registry: its name and exactly the data bytes
// (no terminator unless it is part of the data).
struct StoredValue {
    const char* pszName;
    std::string strData;
};

// The values that storing pszPort writes, in the order they are written: "COM Port" with the
// name's bytes, without terminator, then "Version" with the version text's bytes, without
// terminator. A name longer than SETTINGS_PORT_MAX_CHARS is not stored (the value written
// before stays): cut, it would name another port at the next start.
std::vector<StoredValue> PortValuesToStore(const char* pszPort, const char* pszVersion);

// Reads the port name from stored "COM Port" data of nLength bytes: the bytes up to the first
// zero or the end. False, with strPort unchanged, when that name is longer than
// SETTINGS_PORT_MAX_CHARS (it would be cut into another name).
bool PortFromStoredData(const unsigned char* pData, std::size_t nLength, std::string& strPort);
