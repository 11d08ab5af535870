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
    if (!WaitPainted(hWnd))
        return false;
    RECT rc;
    GetWindowRect(hWnd, &rc);
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, cx, cy);
    HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    BitBlt(hMem, 0, 0, cx, cy, hScreen, rc.left, rc.top, SRCCOPY);
    SelectObject(hMem, hOld);

    BITMAPINFOHEADER bih;
    ZeroMemory(&bih, sizeof(bih));
    bih.biSize = sizeof(bih);
    bih.biWidth = cx;
    bih.biHeight = cy;
    bih.biPlanes = 1;
    bih.biBitCount = 24;
    const DWORD cbStride = ((cx * 3 + 3) / 4) * 4;
    std::vector<BYTE> bits(cbStride * cy);
    GetDIBits(hMem, hBitmap, 0, cy, bits.data(), reinterpret_cast<BITMAPINFO*>(&bih),
              DIB_RGB_COLORS);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);

    BITMAPFILEHEADER bfh;
    ZeroMemory(&bfh, sizeof(bfh));
    bfh.bfType = 0x4D42;
    bfh.bfOffBits = sizeof(bfh) + sizeof(bih);
    bfh.bfSize = bfh.bfOffBits + static_cast<DWORD>(bits.size());
    HANDLE hFile = CreateFileW(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD dwWritten = 0;
    WriteFile(hFile, &bfh, sizeof(bfh), &dwWritten, nullptr);
    WriteFile(hFile, &bih, sizeof(bih), &dwWritten, nullptr);
    WriteFile(hFile, bits.data(), static_cast<DWORD>(bits.size()), &dwWritten, nullptr);
    CloseHandle(hFile);
    return true;
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
