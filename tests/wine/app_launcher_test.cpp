// pellarin.exe as a user starts it: a separate process whose current directory is somewhere
// else than its own folder. It must find pellarin.dll beside itself, run, and end with Exit.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/wine/app_test_support.h"

using namespace apptest;

TEST(Launcher, RunsFromAnotherFolderAndEndsWithExit)
{
    wchar_t szSelf[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    std::wstring strExe = szSelf;
    strExe = strExe.substr(0, strExe.find_last_of(L"\\/") + 1) + L"pellarin.exe";
    CScratchDir dir;  // the child's current directory
    DeleteSettings();  // COM1, which exists: no message box of its own before Exit

    STARTUPINFOW si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    std::wstring strCommand = L"\"" + strExe + L"\"";
    ASSERT_TRUE(CreateProcessW(strExe.c_str(), &strCommand[0], nullptr, nullptr, FALSE, 0,
                               nullptr, dir.Path().c_str(), &si, &pi))
        << GetLastError();

    HWND hMain = nullptr;
    EXPECT_TRUE(WaitUntil([&] {
        hMain = FindTopWindow(L"#32770", kCaption, false, nullptr, pi.dwProcessId);
        return hMain != nullptr;
    }, kStartMs)) << "the launcher showed no main window";
    if (hMain != nullptr) {
        EXPECT_EQ(WindowText(hMain), kCaption);
        PostMessageW(hMain, WM_COMMAND, 32774, 0);
        HWND hBox = WaitForDialog(kTitle, nullptr, pi.dwProcessId);
        EXPECT_NE(hBox, nullptr);
        if (hBox != nullptr)
            PressButton(hBox, IDOK);
    }
    const bool bEnded = WaitForSingleObject(pi.hProcess, kWaitMs) == WAIT_OBJECT_0;
    EXPECT_TRUE(bEnded) << "pellarin.exe did not end";
    if (!bEnded)
        TerminateProcess(pi.hProcess, 1);
    DWORD dwExit = 1;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    EXPECT_EQ(dwExit, 0u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    DeleteSettings();
}
