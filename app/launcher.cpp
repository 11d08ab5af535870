// pellarin.exe: a small host program for the relay. It loads pellarin.dll from its own
// folder (not from the current directory or the search path, so it works whatever folder it
// is started from and cannot pick up a stranger's copy), calls StartMain, and ends when
// StartMain returns. The current directory is left alone: the relay reads .\config.ini there.
#include <windows.h>

#include <string>

#include "app/product.h"

namespace {

// The full path of pellarin.dll beside this program.
std::wstring LibraryPath()
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
    return strPath + L"pellarin.dll";
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    HMODULE hLibrary = ::LoadLibraryExW(LibraryPath().c_str(), nullptr,
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
