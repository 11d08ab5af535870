// StartMain of the real pellarin.dll, run on a thread of this program and driven only by what
// a user or the shell sends: messages to its windows, key presses, button clicks in its
// message boxes. COM1..COM3 are pty pairs (tools/with-ptys.sh); COM5 and COM9 do not exist.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log_record.h"
#include "tests/wine/app_test_support.h"

using namespace apptest;

namespace {

const UINT kTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

std::vector<std::wstring> ComboItems(HWND hCombo)
{
    std::vector<std::wstring> items;
    const int nCount = static_cast<int>(SendMessageW(hCombo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < nCount; ++i) {
        wchar_t szItem[64] = {0};
        SendMessageW(hCombo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(szItem));
        items.push_back(szItem);
    }
    return items;
}

bool Contains(const std::wstring& strHaystack, const std::wstring& strNeedle)
{
    return strHaystack.find(strNeedle) != std::wstring::npos;
}

// The about box: a dialog captioned like the main window that is not the main window.
HWND WaitForAbout(HWND hMain)
{
    return WaitForDialog(kCaption, hMain);
}

// Closes an open about box with its OK button and waits until it is gone.
void CloseAbout(HWND hAbout)
{
    PressButton(hAbout, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(hAbout); }));
}

struct StartRow {
    const char* pszCase;
    DWORD dwType;            // 0: no stored port
    std::string strStored;   // raw bytes as stored
    int nSelected;           // expected list selection, -1 for none
    const wchar_t* pszPort;  // the port the program opens
    bool bOpens;             // the port exists
};

} // namespace

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(GetACP(), 949u) << "run under LC_ALL=ko_KR.UTF-8";
        DeleteSettings();
    }
    void TearDown() override { DeleteSettings(); }

    CScratchDir m_dir;  // current directory without config.ini
};

TEST_F(MainWindow, StartsWithTheStoredPortOpensItAndHides)
{
    const StartRow rows[] = {
        {"nothing stored", 0, "", 0, L"COM1", true},
        {"COM2 stored", REG_BINARY, "COM2", 1, L"COM2", true},
        {"COM5 stored, no such port", REG_BINARY, "COM5", 4, L"COM5", false},
        {"name outside the list", REG_BINARY, "COM12", -1, L"COM12", false},
    };
    for (const StartRow& row : rows) {
        SCOPED_TRACE(row.pszCase);
        DeleteSettings();
        if (row.dwType != 0)
            StoreRawPort(row.dwType, row.strStored.data(), static_cast<DWORD>(row.strStored.size()));

        CStartMainRun run;
        HWND hMain = run.WaitMainWindow();
        ASSERT_NE(hMain, nullptr) << "no main window";
        const std::wstring strPort = row.pszPort;

        if (!row.bOpens) {
            HWND hBox = WaitForDialog(kTitle);
            ASSERT_NE(hBox, nullptr) << "no message box for the missing port";
            const MessageBoxView box = ReadMessageBox(hBox);
            EXPECT_EQ(box.strText, strPort + L" 포트를 열 수 없습니다!");
            EXPECT_EQ(box.hIcon, LoadIcon(nullptr, IDI_HAND));
            PressButton(hBox, IDOK);
        }
        const std::wstring strLogLine = strPort + (row.bOpens ? L" Open 성공!" : L" Open 실패!");
        EXPECT_TRUE(WaitUntil([&] { return Contains(run.LogText(), strLogLine); }))
            << "log: " << Utf8(run.LogText());

        // The initialisation is over once a posted command is handled: the window has been
        // shown by then, and the hiding timer must hide it (also after a message box).
        PostMessageW(hMain, WM_COMMAND, 32771, 0);
        HWND hAbout = WaitForAbout(hMain);
        ASSERT_NE(hAbout, nullptr);
        CloseAbout(hAbout);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); })) << "main window stays shown";

        EXPECT_TRUE(WaitUntil([&] { return WindowText(hMain) == kCaption; }));
        HWND hCombo = GetDlgItem(hMain, 1000);
        EXPECT_EQ(ComboItems(hCombo), (std::vector<std::wstring>{L"COM1", L"COM2", L"COM3",
                                                                 L"COM4", L"COM5", L"COM6",
                                                                 L"COM7", L"COM8", L"COM9"}));
        EXPECT_EQ(SendMessageW(hCombo, CB_GETCURSEL, 0, 0), row.nSelected);
        if (row.nSelected < 0) {
            EXPECT_EQ(WindowText(hCombo), L"");
        }
        EXPECT_TRUE(WaitUntil([&] { return TrayIconPresent(hMain, kTrayId); }));
        EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(run.LogWindow()); }));

        DWORD dwType = 0;
        std::wstring strStored;
        std::string strBytes;
        const bool bStored = ReadSetting(L"COM Port", &dwType, &strStored, &strBytes);
        if (row.bOpens) {
            ASSERT_TRUE(bStored);
            EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(strStored, strPort);
            EXPECT_TRUE(ReadSetting(L"Version", &dwType, &strStored));
            EXPECT_EQ(strStored, L"1.3");
        } else if (row.dwType != 0) {
            // Untouched: still what was stored, as it was stored.
            ASSERT_TRUE(bStored);
            EXPECT_EQ(dwType, row.dwType);
            EXPECT_EQ(strBytes, row.strStored);
            EXPECT_FALSE(ReadSetting(L"Version", &dwType, &strStored));
        }
        EXPECT_TRUE(run.ExitWithOk());
    }
}

TEST_F(MainWindow, EscapeReturnAndTheCloseBoxDoNotEndIt)
{
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); }));
    HWND hCombo = GetDlgItem(hMain, 1000);

    // Shown (as the settings window would be), the close box hides it again.
    ShowWindow(hMain, SW_SHOW);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hMain) != FALSE; }));
    PostMessageW(hMain, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); }));

    // Keys reach the thread's queue in order; the about command after them proves they were
    // handled before it, with the main window still there.
    for (HWND hTarget : {hMain, hCombo}) {
        for (WPARAM wKey : {static_cast<WPARAM>(VK_ESCAPE), static_cast<WPARAM>(VK_RETURN)}) {
            PostMessageW(hTarget, WM_KEYDOWN, wKey, 0x00010001);
            PostMessageW(hTarget, WM_KEYUP, wKey, static_cast<LPARAM>(0xC0010001));
        }
    }
    PostMessageW(hMain, WM_COMMAND, 32771, 0);
    HWND hAbout = WaitForAbout(hMain);
    ASSERT_NE(hAbout, nullptr);
    EXPECT_TRUE(run.Running());
    EXPECT_TRUE(IsWindow(hMain));

    // The same key in the about box does end it: the keys do reach the dialogs.
    PostMessageW(hAbout, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(hAbout); }));
    EXPECT_TRUE(run.Running());
}

TEST_F(MainWindow, SystemCommandsOfTheAboutRangeOpenTheAboutBox)
{
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    for (WPARAM wCommand : {static_cast<WPARAM>(0x0010), static_cast<WPARAM>(0x0013),
                            static_cast<WPARAM>(0x001F)}) {
        PostMessageW(hMain, WM_SYSCOMMAND, wCommand, 0);
        HWND hAbout = WaitForAbout(hMain);
        ASSERT_NE(hAbout, nullptr) << "command 0x" << std::hex << wCommand;
        EXPECT_EQ(WindowText(hAbout), kCaption);
        std::wstring strTexts;
        for (HWND hChild = GetWindow(hAbout, GW_CHILD); hChild; hChild = GetWindow(hChild, GW_HWNDNEXT))
            strTexts += WindowText(hChild) + L"|";
        EXPECT_TRUE(Contains(strTexts, L"※ 기본으로 COM1 포트를 사용함에 주의하십시오."));
        CloseAbout(hAbout);
    }
}

TEST_F(MainWindow, TrayNotificationsOpenTheMenuAndTheAboutBox)
{
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); }));

    EXPECT_EQ(SendMessageW(hMain, kTrayNotify, kTrayId + 1, WM_RBUTTONUP), 0);
    EXPECT_EQ(SendMessageW(hMain, kTrayNotify, kTrayId, WM_MOUSEMOVE), 1);

    // Right button: the popup, its first item bold, then dismissed with Escape.
    PostMessageW(hMain, kTrayNotify, kTrayId, WM_RBUTTONUP);
    HWND hPopup = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        hPopup = FindTopWindow(L"#32768", L"", true);
        return hPopup != nullptr;
    })) << "no popup menu";
    HMENU hMenu = reinterpret_cast<HMENU>(SendMessageW(hPopup, MN_GETHMENU, 0, 0));
    ASSERT_NE(hMenu, nullptr);
    EXPECT_EQ(GetMenuDefaultItem(hMenu, TRUE, 0), 0u);
    const std::vector<std::pair<UINT, std::wstring>> expected = {
        {32771, L"Pellarin 정보...(&A)"}, {32772, L"환경설정"}, {32773, L"디버그"},
        {32775, L"진단 정보 저장(&D)..."}, {0, L""}, {32774, L"종료(&X)"}};
    ASSERT_EQ(GetMenuItemCount(hMenu), static_cast<int>(expected.size()));
    for (int i = 0; i < static_cast<int>(expected.size()); ++i) {
        wchar_t szItem[64] = {0};
        GetMenuStringW(hMenu, i, szItem, 64, MF_BYPOSITION);
        EXPECT_EQ(GetMenuItemID(hMenu, i), expected[i].first) << i;
        EXPECT_EQ(std::wstring(szItem), expected[i].second) << i;
    }
    PostMessageW(hPopup, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(hPopup); })) << "menu stays open";

    // Choosing an item delivers its command: X is Exit's key; answer its question Cancel.
    PostMessageW(hMain, kTrayNotify, kTrayId, WM_RBUTTONUP);
    ASSERT_TRUE(WaitUntil([&] {
        hPopup = FindTopWindow(L"#32768", L"", true);
        return hPopup != nullptr;
    }));
    PostMessageW(hPopup, WM_CHAR, L'x', 0x002D0001);
    HWND hBox = WaitForDialog(kTitle);
    ASSERT_NE(hBox, nullptr) << "Exit was not delivered";
    EXPECT_EQ(ReadMessageBox(hBox).strText, L"프로그램을 종료하시겠습니까?");
    PressButton(hBox, IDCANCEL);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(hBox); }));

    // Double click: the about box, the first item's command.
    PostMessageW(hMain, kTrayNotify, kTrayId, WM_LBUTTONDBLCLK);
    HWND hAbout = WaitForAbout(hMain);
    ASSERT_NE(hAbout, nullptr);
    EXPECT_EQ(WindowText(hAbout), kCaption);
    CloseAbout(hAbout);
    EXPECT_TRUE(run.Running());
}

TEST_F(MainWindow, ExitAsksAndOnlyOkEndsTheRunAndRemovesTheIcon)
{
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return TrayIconPresent(hMain, kTrayId); }));

    PostMessageW(hMain, WM_COMMAND, 32774, 0);
    HWND hBox = WaitForDialog(kTitle);
    ASSERT_NE(hBox, nullptr);
    const MessageBoxView box = ReadMessageBox(hBox);
    EXPECT_EQ(box.strText, L"프로그램을 종료하시겠습니까?");
    EXPECT_EQ(box.hIcon, LoadIcon(nullptr, IDI_EXCLAMATION));
    EXPECT_TRUE(box.bOk);
    EXPECT_TRUE(box.bCancel);
    PressButton(hBox, IDCANCEL);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(hBox); }));
    EXPECT_FALSE(run.WaitEnded(300)) << "Cancel ended the program";
    EXPECT_TRUE(WaitUntil([&] { return TrayIconPresent(hMain, kTrayId); }));

    EXPECT_TRUE(run.ExitWithOk());
    EXPECT_FALSE(IsWindow(hMain));
    EXPECT_FALSE(IsWindow(run.LogWindow()));
    EXPECT_TRUE(WaitUntil([&] { return !TrayIconPresent(hMain, kTrayId); }));
}

TEST_F(MainWindow, ShellRestartKeepsTheIconAndTheCloseBoxHiding)
{
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); }));

    // The shell lost every icon and announces its new task bar.
    NOTIFYICONDATAW nid;
    ZeroMemory(&nid, sizeof(nid));
    nid.cbSize = NOTIFYICONDATAW_V1_SIZE;
    nid.hWnd = hMain;
    nid.uID = kTrayId;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &nid));
    SendMessageW(hMain, kTaskbarCreated, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return TrayIconPresent(hMain, kTrayId); }));

    // A second announcement while the icon is there leaves it working: the close box still
    // only hides the window (it would ask to exit if the icon were thought lost).
    SendMessageW(hMain, kTaskbarCreated, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return TrayIconPresent(hMain, kTrayId); }));
    ShowWindow(hMain, SW_SHOW);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hMain) != FALSE; }));
    PostMessageW(hMain, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(hMain); }));
    EXPECT_EQ(FindTopWindow(L"#32770", kTitle, true), nullptr) << "the close box asked to exit";
}

TEST_F(MainWindow, LogWindowShowsFromTheMenuAndHidesWithClose)
{
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    HWND hLog = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (hLog = run.LogWindow()) != nullptr; }));
    ASSERT_TRUE(WaitUntil([&] { return Contains(run.LogText(), L"COM1 Open 성공!"); }));
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(hLog); }));

    PostMessageW(hMain, WM_COMMAND, 32773, 0);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(hLog) != FALSE; }));
    PressButton(hLog, 1004);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(hLog); }));
    // Hidden, not destroyed: its lines are kept.
    EXPECT_TRUE(Contains(run.LogText(), L"COM1 Open 성공!"));

    PostMessageW(hMain, WM_COMMAND, 32773, 0);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(hLog) != FALSE; }));
    PressButton(hLog, 1003);  // Clear
    EXPECT_TRUE(WaitUntil([&] { return run.LogText().empty(); }));
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(hLog, 1002), GWL_STYLE) & ES_READONLY);
}

TEST_F(MainWindow, LogWindowRendersBlocksAtTheLevelOfConfigIni)
{
    struct Row {
        const char* pszFile;       // config.ini in the current directory, or none
        const wchar_t* pszEnding;  // how the line of the block "ABC" ends
    };
    const Row rows[] = {
        {nullptr, L"[CAT->VAN] [003] [Unkown : 41]"},
        {"[DEBUG]\r\nLEVEL=99\r\n", L"[CAT->VAN] [003] [ABC] [414243]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszFile ? row.pszFile : "no config.ini");
        CScratchDir dir;
        if (row.pszFile != nullptr)
            dir.WriteFile(L"config.ini", row.pszFile);
        CStartMainRun run;
        ASSERT_NE(run.WaitMainWindow(), nullptr);
        HWND hLog = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (hLog = run.LogWindow()) != nullptr; }));
        ASSERT_TRUE(WaitUntil([&] { return Contains(run.LogText(), L"Open"); }));
        // A producer's record, sent as the serial and host threads send theirs.
        LogRecord record;
        record.nKind = LOG_CAT_TO_VAN;
        record.strText = "ABC";
        SendMessageW(hLog, WM_LOG_RECORD, 3, reinterpret_cast<LPARAM>(&record));
        // The line is made while the sender waits; a hidden control gets it with its batch.
        EXPECT_TRUE(WaitUntil(
            [&] { return Contains(run.LogText(), std::wstring(row.pszEnding) + L"\r\n"); }))
            << Utf8(run.LogText());
    }
}
