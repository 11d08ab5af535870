// Pictures of the main window (the settings window, opened with the password as the operator
// opens it), the about box, the tray menu and the log window for a person to look at (Hangul rendering, layout,
// icons); a blank picture fails. Runs only when PELLARIN_SCREENSHOT_DIR names a folder;
// tests/wine/app_screenshots.sh runs it inside a Wine desktop, where Wine draws the caption
// bars, and turns the .bmp files into .png.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/wine/app_test_support.h"
#include "tests/wine/window_picture.h"

using namespace apptest;

namespace {

// Writes the screen area of hWnd as a 24-bit .bmp file once it has painted everything it was
// asked to and the picture shows it: the desktop may put the window on the screen a little
// after it reports it painted. False if the picture is still blank at the bound.
bool SaveWindowPicture(HWND hWnd, const std::wstring& strPath)
{
    return WaitUntil([&] { return !HasPendingPaint(hWnd) && WriteWindowAreaBmp(hWnd, strPath); });
}

// Opens the settings window the way the operator does: Settings in the tray menu, then the
// password. The main window is shown only then: showing it from outside before the program's
// first hiding tick saw it shown once more would be undone by that tick, leaving a blank
// picture of the desktop.
bool UnlockSettings(HWND hMain)
{
    PostMessageW(hMain, WM_COMMAND, ID_TRAY_SETTINGS, 0);
    HWND hPassword = WaitForDialog(L"비밀번호 입력");
    if (hPassword == nullptr)
        return false;
    HWND hEdit = GetDlgItem(hPassword, IDC_EDIT_PASSWORD);
    for (wchar_t c : std::wstring(L"7316"))
        PostMessageW(hEdit, WM_CHAR, c, 1);
    PressButton(hPassword, IDC_BUTTON_PASSWORD);
    return WaitUntil([&] { return !IsWindow(hPassword); }) &&
           WaitUntil([&] { return IsWindowVisible(hMain) != FALSE; });
}

} // namespace

TEST(Screenshots, MainWindowAboutBoxAndLogWindow)
{
    const wchar_t* pszDir = _wgetenv(L"PELLARIN_SCREENSHOT_DIR");
    if (pszDir == nullptr || *pszDir == 0)
        GTEST_SKIP() << "PELLARIN_SCREENSHOT_DIR not set";
    const std::wstring strDir = pszDir;
    CScratchDir dir;
    DeleteSettings();
    StoreRawPort(REG_BINARY, "COM2", 4);

    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); }));

    PostMessageW(hMain, WM_SYSCOMMAND, 0x0013, 0);
    HWND hAbout = WaitForDialog(kCaption, hMain);
    ASSERT_NE(hAbout, nullptr);
    EXPECT_TRUE(SaveWindowPicture(hAbout, strDir + L"\\about-box.bmp"));
    PressButton(hAbout, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(hAbout); }));

    // The tray menu as a right-click on the icon opens it, then closed with Escape.
    PostMessageW(hMain, kTrayNotify, IDR_TRAY_MENU, WM_RBUTTONUP);
    HWND hMenu = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        hMenu = FindTopWindow(L"#32768", L"", true);
        return hMenu != nullptr;
    })) << "no tray menu";
    EXPECT_TRUE(SaveWindowPicture(hMenu, strDir + L"\\tray-menu.bmp"));
    PostMessageW(hMenu, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMenu); }));

    PostMessageW(hMain, WM_COMMAND, ID_TRAY_DEBUG, 0);
    HWND hLog = run.LogWindow();
    ASSERT_NE(hLog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hLog) != FALSE; }));
    EXPECT_TRUE(SaveWindowPicture(hLog, strDir + L"\\log-window.bmp"));

    ASSERT_TRUE(UnlockSettings(hMain));
    EXPECT_TRUE(SaveWindowPicture(hMain, strDir + L"\\main-window.bmp"));
    EXPECT_TRUE(SaveWindowPicture(GetDesktopWindow(), strDir + L"\\desktop.bmp"));

    EXPECT_TRUE(run.ExitWithOk());
    DeleteSettings();
}
