// startclock: pellarin.exe's job (load pellarin.dll from its own folder, call StartMain) with
// the moment of the call printed first, for the benchmark's "StartMain to tray icon" figure.
//
// The relay's own start cannot be timed from outside without counting Wine's process start and
// the DLL load; this program prints GetTickCount() on stdout (flushed) right before StartMain,
// and the benchmark's tray shell stamps the icon's arrival with the same clock (GetTickCount is
// one clock for every process of the prefix). tools/bench.py copies it over pellarin.exe in a
// relay's own folder, so the relay is found and ended as any other.
#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    std::wstring strPath(MAX_PATH, L'\0');
    const DWORD dwLength = ::GetModuleFileNameW(nullptr, &strPath[0],
                                                static_cast<DWORD>(strPath.size()));
    strPath.resize(dwLength < strPath.size() ? dwLength : 0);
    const size_t nSlash = strPath.find_last_of(L"\\/");
    strPath.resize(nSlash == std::wstring::npos ? 0 : nSlash + 1);
    HMODULE hLibrary = ::LoadLibraryExW((strPath + L"pellarin.dll").c_str(), nullptr,
                                        LOAD_WITH_ALTERED_SEARCH_PATH);
    using StartMainProc = void (*)();
    auto pfnStartMain = hLibrary == nullptr ? nullptr
                                            : reinterpret_cast<StartMainProc>(
                                                  reinterpret_cast<void*>(
                                                      ::GetProcAddress(hLibrary, "StartMain")));
    if (pfnStartMain == nullptr) {
        std::printf("startclock: no StartMain in pellarin.dll beside this program\n");
        return 1;
    }
    std::printf("StartMain tick %lu\n", ::GetTickCount());
    std::fflush(stdout);
    pfnStartMain();
    ::FreeLibrary(hLibrary);
    return 0;
}
