// The --collect command of pellarin.exe; see collect_command.h.
//
// pellarin.exe is a windowed program, so it has no console of its own: the message goes to
// the console of the command prompt that started it (AttachConsole), or to standard output
// or error when they are redirected (a script, a remote shell; code page 949 text), and only
// when there is neither, to a message box.
#include "app/collect_command.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "app/product.h"
#include "diag/collect.h"
#include "diag/collect_facts.h"

namespace {

constexpr char CLI_HEALTH_TEXT[] =
    "(명령으로 만든 진단 정보에는 실행 중인 릴레이의 수치가 없습니다: 트레이 메뉴의 "
    "\"진단 정보 저장(&D)...\"으로 만드십시오)";

int ExitCodeOf(CollectStatus status)
{
    switch (status) {
    case CollectStatus::Done:
        return 0;
    case CollectStatus::FolderFailed:
        return 2;
    case CollectStatus::Busy:
        return 3;
    default:
        return 4;
    }
}

// Writes the text and a line end where a person or a script will see it.
void Say(const std::string& strText, bool bError)
{
    ::AttachConsole(ATTACH_PARENT_PROCESS);
    HANDLE hOut = ::GetStdHandle(bError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (hOut == nullptr || hOut == INVALID_HANDLE_VALUE) {
        ::MessageBoxA(nullptr, strText.c_str(), PRODUCT_TITLE,
                      MB_OK | (bError ? MB_ICONHAND : MB_ICONINFORMATION));
        return;
    }
    DWORD dwMode = 0, dwDone = 0;
    if (::GetConsoleMode(hOut, &dwMode)) {
        const std::wstring strWide = WideText(strText + "\r\n");
        ::WriteConsoleW(hOut, strWide.data(), static_cast<DWORD>(strWide.size()), &dwDone,
                        nullptr);
    } else {
        const std::string strLine = strText + "\r\n";
        ::WriteFile(hOut, strLine.data(), static_cast<DWORD>(strLine.size()), &dwDone, nullptr);
    }
}

} // namespace

bool RunCollectCommand(int* pnExitCode)
{
    int nArgs = 0;
    LPWSTR* ppszArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs);
    if (ppszArgs == nullptr)
        return false;
    int nCollect = 0;
    for (int i = 1; i < nArgs && nCollect == 0; ++i) {
        if (lstrcmpiW(ppszArgs[i], L"--collect") == 0)
            nCollect = i;
    }
    CollectRequest request;
    if (nCollect > 0 && nCollect + 1 < nArgs && ppszArgs[nCollect + 1][0] != L'-')
        request.strFolder = ppszArgs[nCollect + 1];
    ::LocalFree(ppszArgs);
    if (nCollect == 0)
        return false;

    request.strHealth = CLI_HEALTH_TEXT;
    const CollectResult result = CollectBundle(request);
    *pnExitCode = ExitCodeOf(result.status);
    Say(CollectResultText(result), result.status != CollectStatus::Done);
    return true;
}
