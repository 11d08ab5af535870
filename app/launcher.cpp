// pellarin.exe: a small host program for the relay. It loads pellarin.dll from its own
// folder (not from the current directory or the search path, so it works whatever folder it
// is started from and cannot pick up a stranger's copy), calls StartMain, and ends when
// StartMain returns.
//
// The relay reads .\config.ini from the current directory. Started from the Run key at logon
// or from a shortcut, that directory is not the program's folder (the Run key starts programs
// in the system folder), so the launcher first makes its own folder the current directory.
// "--keep-cwd" leaves the current directory alone, for a config.ini kept somewhere else. A
// point-of-sale program that calls StartMain itself keeps its own current directory.
// "--collect [FOLDER]" writes the diagnostics bundle instead (app/collect_command.h).
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "app/collect_command.h"
#include "app/password_command.h"
#include "app/product.h"

namespace {

// This program's folder, with its trailing backslash (empty if it cannot be learnt).
std::wstring OwnFolder()
{
    std::wstring strPath(MAX_PATH, L'\0');
    for (;;) {
        DWORD dwLength = ::GetModuleFileNameW(nullptr, &strPath[0],
                                              static_cast<DWORD>(strPath.size()));
        if (dwLength == 0)
            return L"pellarin.dll";
        if (dwLength < strPath.size()) {
            strPath.resize(dwLength);
            break;
        }
        strPath.resize(strPath.size() * 2);
    }
    const size_t nSlash = strPath.find_last_of(L"\\/");
    strPath.resize(nSlash == std::wstring::npos ? 0 : nSlash + 1);
    return strPath;
}

// True when an argument after the program name is exactly "--keep-cwd".
bool KeepCurrentDirectory()
{
    int nArgs = 0;
    LPWSTR* ppszArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs);
    bool bKeep = false;
    for (int i = 1; ppszArgs != nullptr && i < nArgs; ++i)
        bKeep = bKeep || lstrcmpW(ppszArgs[i], L"--keep-cwd") == 0;
    ::LocalFree(ppszArgs);
    return bKeep;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int nExitCode = 0;
    if (RunSettingsPasswordCommand(&nExitCode))  // an administrator's command, no relay
        return nExitCode;
    const std::wstring strFolder = OwnFolder();
    if (!strFolder.empty() && !KeepCurrentDirectory())
        ::SetCurrentDirectoryW(strFolder.c_str());
    if (RunCollectCommand(&nExitCode))
        return nExitCode;
    HMODULE hLibrary = ::LoadLibraryExW((strFolder + L"pellarin.dll").c_str(), nullptr,
                                        LOAD_WITH_ALTERED_SEARCH_PATH);
    if (hLibrary == nullptr) {
        ::MessageBoxA(nullptr, "pellarin.dll 파일을 불러올 수 없습니다.", PRODUCT_TITLE,
                      MB_OK | MB_ICONHAND);
        return 1;
    }
    using StartMainProc = void (*)();
    auto pfnStartMain = reinterpret_cast<StartMainProc>(
        reinterpret_cast<void*>(::GetProcAddress(hLibrary, "StartMain")));
    if (pfnStartMain == nullptr) {
        ::MessageBoxA(nullptr, "pellarin.dll에 StartMain이 없습니다.", PRODUCT_TITLE,
                      MB_OK | MB_ICONHAND);
        ::FreeLibrary(hLibrary);
        return 1;
    }
    pfnStartMain();
    ::FreeLibrary(hLibrary);
    return 0;
}
