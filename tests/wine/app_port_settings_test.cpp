// The settings window of the real pellarin.dll inside a Wine desktop, where a window shown
// again after being hidden can stay behind the others: after the password, the operator must
// find the settings window in front, above the log window shown before it. And the window as
// a standard user has it, whose Set cannot store the port.
#include <windows.h>

#include <gtest/gtest.h>

#include <sddl.h>

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

// A standard user may read HKLM but not write it. Wine enforces a key's DACL, so a settings
// key that grants everyone read access only stands for that user's view: the stored port is
// opened, and a Set applies the chosen port for this run and says that it was not stored.
TEST(PortSettingsWindow, ReadOnlySettingsKeyIsReadAndASetSaysItWasNotStored)
{
    CScratchDir dir;
    DeleteSettings();
    StoreRawPort(REG_SZ, "C\0O\0M\0" "2\0\0\0", 10);
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, WRITE_DAC | KEY_WOW64_32KEY, &hKey),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR pReadOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)",
                                                                      SDDL_REVISION_1, &pReadOnly, nullptr));
    ASSERT_EQ(RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, pReadOnly), ERROR_SUCCESS);
    LocalFree(pReadOnly);
    HKEY hProbe = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &hProbe),
              ERROR_ACCESS_DENIED) << "Wine no longer enforces the key's DACL";

    {
        CStartMainRun run;
        HWND hMain = run.WaitMainWindow();
        ASSERT_NE(hMain, nullptr);
        EXPECT_TRUE(WaitUntil([&] { return run.LogText().find(L"COM2 Open 성공!") != std::wstring::npos; }))
            << Utf8(run.LogText());
        PostMessageW(hMain, WM_COMMAND, ID_TRAY_SETTINGS, 0);
        HWND hPassword = WaitForDialog(L"비밀번호 입력");
        ASSERT_NE(hPassword, nullptr);
        for (wchar_t c : std::wstring(L"7316"))
            PostMessageW(GetDlgItem(hPassword, IDC_EDIT_PASSWORD), WM_CHAR, c, 1);
        PressButton(hPassword, IDC_BUTTON_PASSWORD);
        ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hMain) != FALSE; }));
        SetDlgItemTextW(hMain, 1000, L"COM3");
        PressButton(hMain, 1001);
        EXPECT_TRUE(WaitUntil([&] {
            return run.LogText().find(L"COM3 설정 저장 실패(오류 5, 관리자 권한 필요): 이번 실행에만 "
                                      L"적용됩니다") != std::wstring::npos;
        })) << Utf8(run.LogText());
        EXPECT_NE(run.LogText().find(L"COM3 Open 성공!"), std::wstring::npos);
        EXPECT_TRUE(run.ExitWithOk());
    }

    PSECURITY_DESCRIPTOR pOpen = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)",
                                                                      SDDL_REVISION_1, &pOpen, nullptr));
    EXPECT_EQ(RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, pOpen), ERROR_SUCCESS);
    LocalFree(pOpen);
    RegCloseKey(hKey);
    DWORD dwType = 0;
    std::wstring strPort;
    EXPECT_TRUE(ReadSetting(L"COM Port", &dwType, &strPort));
    EXPECT_EQ(strPort, L"COM2") << "the stored port stays";
    DeleteSettings();
}
