// See settings_source.h. The lookup is handed to the platform-free ReadTrustSettings. Values
// are read whole, whatever their length: a value cut short or dropped would change what is
// trusted without a word (a long pin list losing the pin that matters, an environment value
// no longer overriding the file). A value too long to read is a problem, which fails the start.
#include "ssl/settings_source.h"

#include <windows.h>

std::string DllFolder() {
    HMODULE self = nullptr;
    char path[MAX_PATH] = "";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&DllFolder), &self))
        GetModuleFileNameA(self, path, MAX_PATH);
    std::string dir(path);
    std::size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".\\") : dir.substr(0, slash + 1);
}

namespace {

// Longest ini value read; a longer one is refused (an ini line of a megabyte is no setting).
constexpr DWORD kMaxIniValue = 1u << 20;

// An environment variable, whole (the system holds up to 32,767 characters); unset or empty
// counts as absent.
std::optional<std::string> Env(const char* name) {
    std::string value(2048, '\0');
    for (;;) {
        DWORD n = GetEnvironmentVariableA(name, &value[0], static_cast<DWORD>(value.size()));
        if (n == 0) return std::nullopt;
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);  // n: the room needed; asked again, in case the value grew meanwhile
    }
}

// key in [TLS] of ini, whole; *problem set (and nullopt) when it is longer than kMaxIniValue.
std::optional<std::string> IniValue(const std::string& ini, const char* key, std::string* problem) {
    std::string value;
    for (DWORD size = 2048;; size *= 2) {
        value.resize(size);
        DWORD n = GetPrivateProfileStringA("TLS", key, "\x01", &value[0], size, ini.c_str());
        if (n == 1 && value[0] == '\x01') return std::nullopt;
        if (n < size - 1) {  // size - 1 is the answer for a value cut to fit
            value.resize(n);
            return value;
        }
        if (size >= kMaxIniValue) {
            *problem = std::string(key) + " in " + ini + ": longer than " +
                       std::to_string(kMaxIniValue) + " characters, not read";
            return std::nullopt;
        }
    }
}


std::string DefaultLogFile() {
    // [LOG] Dir of the relay's .\config.ini, as the relay reads it; the default folder else.
    char dir[MAX_PATH] = "";
    GetPrivateProfileStringA("LOG", "Dir", "", dir, MAX_PATH, ".\\config.ini");
    char expanded[MAX_PATH] = "";
    DWORD n = ExpandEnvironmentStringsA(dir[0] != '\0' ? dir : "%ProgramData%\\Pellarin\\log",
                                        expanded, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return std::string();
    char full[MAX_PATH] = "";
    n = GetFullPathNameA(expanded, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return std::string();
    std::string path(full, n);
    if (path.back() != '\\' && path.back() != '/') path += '\\';
    return path + "ssllib32.log";
}

}  // namespace

TrustSettings LoadTrustSettings() {
    std::string dir = DllFolder();
    // Always the file beside the DLL: another ini path from the environment is refused.
    std::string ini = dir + "ssllib32.ini";
    std::vector<std::string> unread;
    TrustSettings settings = ReadTrustSettings(
        [&](const char* key) -> std::optional<std::string> {
            std::string problem;
            std::optional<std::string> v = IniValue(ini, key, &problem);
            if (!problem.empty()) unread.push_back(problem);
            return v;
        },
        [](const char* name) { return Env(name); }, dir, DefaultLogFile());
    settings.problems.insert(settings.problems.end(), unread.begin(), unread.end());
    return settings;
}
