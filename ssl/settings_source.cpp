// See settings_source.h. The lookup is handed to the platform-free ReadTrustSettings.
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
std::optional<std::string> Env(const char* name) {
    char value[2048];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    if (n == 0 || n >= sizeof value) return std::nullopt;
    return std::string(value, n);
}
}  // namespace

TrustSettings LoadTrustSettings() {
    std::string dir = DllFolder();
    std::string ini = ResolvePath(dir, Env("SSLLIB32_INI").value_or("ssllib32.ini"));
    return ReadTrustSettings(
        [&](const char* key) -> std::optional<std::string> {
            if (auto v = Env(SettingEnvName(key))) return v;
            char value[2048];
            DWORD n = GetPrivateProfileStringA("TLS", key, "\x01", value, sizeof value, ini.c_str());
            if (n == 1 && value[0] == '\x01') return std::nullopt;
            return std::string(value, n);
        },
        dir);
}
