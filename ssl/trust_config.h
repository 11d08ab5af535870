// What the TLS library trusts, and how its settings are read.
//
// Settings come from two places. The [TLS] section of ssllib32.ini beside the DLL, which only
// an administrator can write, may set everything. The environment, which anything running
// as the user can set, may only tighten or leave protection as it is: InsecureSkipVerify=0,
// HandshakeTimeout and LogFile are taken from it over the file; a CA file, pins, the opt-out
// and another ini path from it are refused (named in `refused`) and the file's values hold.
// The Win32 side supplies the lookups; everything here is plain text handling, so it builds
// and is tested natively.
// A setting that cannot be understood never weakens the checks: it is recorded as a problem,
// and any problem makes SSL_StartUp fail (and is logged) rather than guess what was meant.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using Sha256 = std::array<std::uint8_t, 32>;

struct TrustSettings {
    std::string strCaFile;             // resolved path, empty: the system's trusted roots
    std::vector<Sha256> pins;          // accepted leaf fingerprints; empty: no pinning
    bool bInsecureSkipVerify = false;  // lab opt-out: no certificate check at all
    int nHandshakeTimeoutSec = 10;     // receive time-out while the handshake runs
    std::string strLogFile;            // resolved path of the diagnostics file
    std::vector<std::string> problems; // settings that could not be used (each fails the start)
    std::vector<std::string> refused;  // environment variables not taken: they would loosen
};

// One setting by its ini key ("CAFile", "PinSHA256", "InsecureSkipVerify",
// "HandshakeTimeout", "LogFile"); nullopt when neither the environment nor the file has it.
using SettingLookup = std::function<std::optional<std::string>(const char* key)>;

// Environment variable that overrides an ini key (SSLLIB32_CAFILE for "CAFile", ...).
const char* SettingEnvName(const char* key);

// Builds the settings; relative paths are taken from dllDir (which ends in a separator).
TrustSettings ReadTrustSettings(const SettingLookup& lookup, const std::string& dllDir);

// An environment variable by its name; nullopt when unset or empty.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The environment variables set in env that would loosen verification, in a fixed order:
// SSLLIB32_CAFILE, SSLLIB32_PINSHA256, SSLLIB32_INSECURE_SKIP_VERIFY (only when it turns
// verification off) and SSLLIB32_INI.
std::vector<std::string> LooseningEnvironment(const EnvironmentLookup& env);

// The file's settings (ini) with the environment's (env) that may only tighten over them, and
// the loosening ones listed in `refused`. defaultLogFile: the log file when neither names one.
TrustSettings ReadTrustSettings(const SettingLookup& ini, const EnvironmentLookup& env,
                                const std::string& dllDir, const std::string& defaultLogFile);

// "AB:cd 01..." -> fingerprints; commas, semicolons and blanks separate entries, colons inside
// an entry are ignored. False (and *error set) when any entry is not 64 hex digits.
bool ParsePinList(const std::string& text, std::vector<Sha256>* pins, std::string* error);

// Lower-case hex of the bytes.
std::string HexString(const std::uint8_t* p, std::size_t n);

// A path as given when absolute (drive letter, UNC, or leading separator), else dir + path.
std::string ResolvePath(const std::string& dir, const std::string& path);

// Certificates of a CA file: PEM (every "CERTIFICATE" block, other blocks and text skipped)
// or a single DER certificate. False (and *error set) when none can be read.
bool ParseCaFile(const std::string& bytes, std::vector<std::string>* ders, std::string* error);
