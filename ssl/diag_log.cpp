// See diag_log.h.
#include "ssl/diag_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_logLock;  // any thread; held while one line is written and the file rotated
constexpr DWORD kRotateBytes = 1u << 20;
}  // namespace

void DiagLine(const std::string& strLogFile, const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);

    SYSTEMTIME st;
    GetLocalTime(&st);
    char line[1200];
    int n = std::snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u ssllib32[%lu]: %s\r\n",
                          st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                          GetCurrentProcessId(), text);
    if (n < 0) return;
    if (n >= static_cast<int>(sizeof line)) n = sizeof line - 1;
    OutputDebugStringA(line);
    if (strLogFile.empty()) return;

    std::lock_guard<std::mutex> lock(g_logLock);
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExA(strLogFile.c_str(), GetFileExInfoStandard, &info) &&
        (info.nFileSizeHigh != 0 || info.nFileSizeLow > kRotateBytes))
        MoveFileExA(strLogFile.c_str(), (strLogFile + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    HANDLE h = CreateFileA(strLogFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, line, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(h);
}
