// Pictures of the main window, the about box and the log window for a person to look at
// (Hangul rendering, layout, icons). Runs only when PELLARIN_SCREENSHOT_DIR names a folder;
// tests/wine/app_screenshots.sh runs it inside a Wine desktop, where Wine draws the caption
// bars, and turns the .bmp files into .png.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/wine/app_test_support.h"
#include "tests/wine/window_picture.h"

using namespace apptest;

namespace {

BOOL CALLBACK ChildNeedsPaint(HWND hChild, LPARAM lParam)
{
    if (IsWindowVisible(hChild) && GetUpdateRect(hChild, nullptr, FALSE))
        *reinterpret_cast<bool*>(lParam) = true;
    return TRUE;
}

// Waits until the window and its controls have painted everything they were asked to.
bool WaitPainted(HWND hWnd)
{
    return WaitUntil([&] {
        bool bPending = GetUpdateRect(hWnd, nullptr, FALSE) != FALSE;
        EnumChildWindows(hWnd, ChildNeedsPaint, reinterpret_cast<LPARAM>(&bPending));
        return !bPending;
    });
}

// Writes the screen area of hWnd as a 24-bit .bmp file, once it has painted.
bool SaveWindowPicture(HWND hWnd, const std::wstring& strPath)
{
    return WaitPainted(hWnd) && WriteWindowAreaBmp(hWnd, strPath);
}

void ShowAndWait(HWND hWnd)
{
    // Shown by its own thread, then brought on top: shown again after being hidden, Wine
    // left it below the desktop's other windows.
    ShowWindowAsync(hWnd, SW_SHOW);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hWnd) != FALSE; }));
    SetWindowPos(hWnd, HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW | SWP_FRAMECHANGED);
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

    ShowAndWait(hMain);  // shown from outside, for the picture only
    EXPECT_TRUE(SaveWindowPicture(hMain, strDir + L"\\main-window.bmp"));
    EXPECT_TRUE(SaveWindowPicture(GetDesktopWindow(), strDir + L"\\desktop.bmp"));
    ShowWindow(hMain, SW_HIDE);

    PostMessageW(hMain, WM_SYSCOMMAND, 0x0013, 0);
    HWND hAbout = WaitForDialog(kCaption, hMain);
    ASSERT_NE(hAbout, nullptr);
    EXPECT_TRUE(SaveWindowPicture(hAbout, strDir + L"\\about-box.bmp"));
    PressButton(hAbout, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(hAbout); }));

    PostMessageW(hMain, WM_COMMAND, 32773, 0);
    HWND hLog = run.LogWindow();
    ASSERT_NE(hLog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hLog) != FALSE; }));
    EXPECT_TRUE(SaveWindowPicture(hLog, strDir + L"\\log-window.bmp"));

    EXPECT_TRUE(run.ExitWithOk());
    DeleteSettings();
}
