// A point-of-sale program as sites have them: it lives in a folder of its own, loads
// pellarin.dll by the full path given on its command line (plain LoadLibraryW, no altered
// search path) and calls StartMain, which returns at Exit.
#include <windows.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int nArgs = 0;
    LPWSTR* ppszArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs);
    if (ppszArgs == nullptr || nArgs < 2)
        return 2;
    HMODULE hLibrary = ::LoadLibraryW(ppszArgs[1]);
    ::LocalFree(ppszArgs);
    if (hLibrary == nullptr)
        return 3;
    using StartMainProc = void (*)();
    auto pfnStartMain = reinterpret_cast<StartMainProc>(
        reinterpret_cast<void*>(::GetProcAddress(hLibrary, "StartMain")));
    if (pfnStartMain == nullptr)
        return 4;
    pfnStartMain();
    ::FreeLibrary(hLibrary);
    return 0;
}
