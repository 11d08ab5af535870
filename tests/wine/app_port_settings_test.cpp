// The settings window of the real pellarin.dll inside a Wine desktop, where a window shown
// again after being hidden can stay behind the others: after the password, the operator must
// find the settings window in front, above the log window shown before it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/wine/app_test_support.h"

using namespace apptest;

namespace {

constexpr UINT ID_TRAY_SETTINGS = 32772;
constexpr UINT ID_TRAY_DEBUG = 32773;
constexpr int IDC_EDIT_PASSWORD = 1006;
constexpr int IDC_BUTTON_PASSWORD = 1007;

// Visible, non-topmost top-level windows above hWnd in the z-order.
std::vector<HWND> WindowsInFrontOf(HWND hWnd)
{
    std::vector<HWND> above;
    for (HWND h = GetWindow(hWnd, GW_HWNDPREV); h != nullptr; h = GetWindow(h, GW_HWNDPREV)) {
        if (IsWindowVisible(h) && (GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOPMOST) == 0)
            above.push_back(h);
    }
    return above;
}

} // namespace

TEST(PortSettingsWindow, ComesToTheFrontAfterThePassword)
{
    ASSERT_EQ(GetACP(), 949u) << "run under LC_ALL=ko_KR.UTF-8";
    CScratchDir dir;
    DeleteSettings();
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); }));
    HWND hLog = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (hLog = run.LogWindow()) != nullptr; }));
    PostMessageW(hMain, WM_COMMAND, ID_TRAY_DEBUG, 0);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hLog) != FALSE; }));

    PostMessageW(hMain, WM_COMMAND, ID_TRAY_SETTINGS, 0);
    HWND hPassword = WaitForDialog(L"비밀번호 입력");
    ASSERT_NE(hPassword, nullptr);
    HWND hEdit = GetDlgItem(hPassword, IDC_EDIT_PASSWORD);
    for (wchar_t c : std::wstring(L"7316"))
        PostMessageW(hEdit, WM_CHAR, c, 1);
    PressButton(hPassword, IDC_BUTTON_PASSWORD);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(hPassword); }));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hMain) != FALSE; }));

    // Settled once a later command has been handled; the about box it opens is closed first.
    PostMessageW(hMain, WM_COMMAND, 32771, 0);
    HWND hAbout = WaitForDialog(kCaption, hMain);
    ASSERT_NE(hAbout, nullptr);
    PressButton(hAbout, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(hAbout); }));

    // The desktop may restack the windows after the show has returned (a fresh prefix is slow
    // to): the settings window must come to the front, within the bound.
    EXPECT_TRUE(WaitUntil([&] { return WindowsInFrontOf(hMain).empty(); }))
        << "the settings window is behind " << WindowsInFrontOf(hMain).size() << " window(s)";
    EXPECT_TRUE(run.ExitWithOk());
}
