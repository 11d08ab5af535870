// Reading the trust settings and the CA file: see trust_config.h for why this holds no
// Windows code. Every parser here is strict and says what it could not use.
#include "ssl/trust_config.h"

#include <cctype>
#include <cstring>

namespace {

struct KeyEnv {
    const char* key;
    const char* env;
};
const KeyEnv kKeys[] = {
    {"CAFile", "SSLLIB32_CAFILE"},
    {"PinSHA256", "SSLLIB32_PINSHA256"},
    {"InsecureSkipVerify", "SSLLIB32_INSECURE_SKIP_VERIFY"},
    {"HandshakeTimeout", "SSLLIB32_HANDSHAKE_TIMEOUT"},
    {"LogFile", "SSLLIB32_LOG"},
};

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes base64 text, skipping white space; false on any other character, on padding
// anywhere but at the end, or on a length that is not a whole number of 4-character groups.
bool DecodeBase64(const std::string& text, std::string* out) {
    unsigned acc = 0;
    int bits = 0, pad = 0;
    std::size_t count = 0;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        ++count;
        if (c == '=') { ++pad; continue; }
        int v = Base64Value(c);
        if (v < 0 || pad) return false;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return count % 4 == 0 && pad <= 2 && !out->empty();
}

}  // namespace

const char* SettingEnvName(const char* key) {
    for (const KeyEnv& k : kKeys)
        if (std::strcmp(k.key, key) == 0) return k.env;
    return nullptr;
}

std::string HexString(const std::uint8_t* p, std::size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(kHex[p[i] >> 4]);
        s.push_back(kHex[p[i] & 15]);
    }
    return s;
}

bool ParsePinList(const std::string& text, std::vector<Sha256>* pins, std::string* error) {
    std::string digits;
    auto finish = [&]() -> bool {
        if (digits.empty()) return true;
        if (digits.size() != 64) {
            *error = "fingerprint \"" + digits + "\" is not 64 hex digits";
            return false;
        }
        Sha256 pin{};
        for (std::size_t i = 0; i < 32; ++i)
            pin[i] = static_cast<std::uint8_t>(HexDigit(digits[2 * i]) * 16 + HexDigit(digits[2 * i + 1]));
        pins->push_back(pin);
        digits.clear();
        return true;
    };
    for (char c : text) {
        if (c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c))) {
            if (!finish()) return false;
        } else if (c == ':') {
            continue;
        } else if (HexDigit(c) >= 0) {
            digits.push_back(c);
        } else {
            *error = std::string("fingerprint list has the character '") + c + "'";
            return false;
        }
    }
    return finish();
}

std::string ResolvePath(const std::string& dir, const std::string& path) {
    bool absolute = (path.size() >= 2 && path[1] == ':') ||
                    (!path.empty() && (path[0] == '\\' || path[0] == '/'));
    return absolute ? path : dir + path;
}

namespace {

bool TurnsVerificationOff(const std::string& value) {
    const std::string v = Lower(Trim(value));
    return v == "1" || v == "true" || v == "yes" || v == "on";
}

// Keys the environment may set over the file: they never weaken what is checked.
bool EnvironmentMaySet(const char* key) {
    return std::strcmp(key, "HandshakeTimeout") == 0 || std::strcmp(key, "LogFile") == 0 ||
           std::strcmp(key, "InsecureSkipVerify") == 0;
}

}  // namespace

std::vector<std::string> LooseningEnvironment(const EnvironmentLookup& env) {
    std::vector<std::string> names;
    for (const char* name : {"SSLLIB32_CAFILE", "SSLLIB32_PINSHA256"})
        if (env(name)) names.push_back(name);
    if (auto v = env("SSLLIB32_INSECURE_SKIP_VERIFY"))
        if (TurnsVerificationOff(*v)) names.push_back("SSLLIB32_INSECURE_SKIP_VERIFY");
    if (env("SSLLIB32_INI")) names.push_back("SSLLIB32_INI");
    return names;
}

TrustSettings ReadTrustSettings(const SettingLookup& ini, const EnvironmentLookup& env,
                                const std::string& dllDir, const std::string& defaultLogFile) {
    TrustSettings s = ReadTrustSettings(
        [&](const char* key) -> std::optional<std::string> {
            if (EnvironmentMaySet(key)) {
                std::optional<std::string> v = env(SettingEnvName(key));
                // The opt-out only ever turned off from the environment; a value it cannot
                // read still counts, as a problem that fails the start.
                if (v && !(std::strcmp(key, "InsecureSkipVerify") == 0 && TurnsVerificationOff(*v)))
                    return v;
            }
            std::optional<std::string> v = ini(key);
            if (std::strcmp(key, "LogFile") == 0 && !v && !defaultLogFile.empty())
                return defaultLogFile;
            return v;
        },
        dllDir);
    s.refused = LooseningEnvironment(env);
    return s;
}

TrustSettings ReadTrustSettings(const SettingLookup& lookup, const std::string& dllDir) {
    TrustSettings s;
    auto get = [&](const char* key) { return Trim(lookup(key).value_or("")); };

    std::string ca = get("CAFile");
    if (!ca.empty()) s.strCaFile = ResolvePath(dllDir, ca);

    std::string pins = get("PinSHA256");
    std::string error;
    if (!ParsePinList(pins, &s.pins, &error)) s.problems.push_back("PinSHA256: " + error);

    std::string insecure = Lower(get("InsecureSkipVerify"));
    if (insecure == "1" || insecure == "true" || insecure == "yes" || insecure == "on")
        s.bInsecureSkipVerify = true;
    else if (!(insecure.empty() || insecure == "0" || insecure == "false" || insecure == "no" ||
               insecure == "off"))
        s.problems.push_back("InsecureSkipVerify: \"" + insecure + "\" is not 1 or 0");

    std::string timeout = get("HandshakeTimeout");
    if (!timeout.empty()) {
        char* end = nullptr;
        long v = std::strtol(timeout.c_str(), &end, 10);
        if (*end == '\0' && v >= 1 && v <= 300)
            s.nHandshakeTimeoutSec = static_cast<int>(v);
        else
            s.problems.push_back("HandshakeTimeout: \"" + timeout + "\" is not 1 to 300 seconds");
    }

    std::string log = get("LogFile");
    s.strLogFile = ResolvePath(dllDir, log.empty() ? "ssllib32.log" : log);
    return s;
}

bool ParseCaFile(const std::string& bytes, std::vector<std::string>* ders, std::string* error) {
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    if (bytes.find("-----BEGIN") == std::string::npos) {
        // DER: one certificate, an ASN.1 SEQUENCE.
        if (bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0x30) {
            ders->push_back(bytes);
            return true;
        }
        *error = "neither PEM nor a DER certificate";
        return false;
    }
    std::size_t pos = 0;
    while ((pos = bytes.find(kBegin, pos)) != std::string::npos) {
        std::size_t body = pos + sizeof kBegin - 1;
        std::size_t end = bytes.find(kEnd, body);
        if (end == std::string::npos) {
            *error = "a CERTIFICATE block has no END line";
            return false;
        }
        std::string der;
        if (!DecodeBase64(bytes.substr(body, end - body), &der)) {
            *error = "a CERTIFICATE block is not valid base64";
            return false;
        }
        ders->push_back(der);
        pos = end + sizeof kEnd - 1;
    }
    if (ders->empty()) {
        *error = "no CERTIFICATE block in the PEM file";
        return false;
    }
    return true;
}
