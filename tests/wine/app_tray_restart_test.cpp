// The shell restarting after a start that could not create the tray icon. A window of the
// shell's own class, made here after the desktop's (so it is the one Shell_NotifyIcon talks
// to), plays a notification area that refuses icons until it "restarts"; the program's start
// then stops at the icon. The real shell cannot be made to refuse on demand, hence the stand-in;
// the program under test is the real pellarin.dll.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "tests/wine/app_test_support.h"

using namespace apptest;

namespace {

const UINT kTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

// The stand-in notification area, on a thread of its own so that the program's calls are
// answered while the test waits. Counts the icons it was asked to add.
class CRefusingShell {
public:
    CRefusingShell()
    {
        m_hReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_hThread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        WaitForSingleObject(m_hReady, kWaitMs);
    }
    ~CRefusingShell()
    {
        if (m_hWnd)
            PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        WaitForSingleObject(m_hThread, kWaitMs);
        CloseHandle(m_hThread);
        CloseHandle(m_hReady);
    }
    bool First() const { return m_hWnd != nullptr && FindWindowW(L"Shell_TrayWnd", nullptr) == m_hWnd; }
    LONG Adds() const { return InterlockedCompareExchange(&s_nAdds, 0, 0); }
    void AcceptFromNowOn() { InterlockedExchange(&s_bAccept, 1); }

private:
    static LRESULT CALLBACK Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        if (uMsg == WM_COPYDATA) {
            const COPYDATASTRUCT* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (pData->dwData == NIM_ADD)
                InterlockedIncrement(&s_nAdds);
            return InterlockedCompareExchange(&s_bAccept, 0, 0);
        }
        if (uMsg == WM_DESTROY)
            PostQuitMessage(0);
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
    static DWORD WINAPI Run(LPVOID pParam)
    {
        CRefusingShell* pSelf = static_cast<CRefusingShell*>(pParam);
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"Shell_TrayWnd";
        RegisterClassW(&wc);
        pSelf->m_hWnd = CreateWindowExW(WS_EX_TOOLWINDOW, L"Shell_TrayWnd", L"", WS_POPUP, 0, 0,
                                        0, 0, nullptr, nullptr, wc.hInstance, nullptr);
        SetEvent(pSelf->m_hReady);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        UnregisterClassW(L"Shell_TrayWnd", wc.hInstance);
        return 0;
    }

    static LONG s_nAdds;
    static LONG s_bAccept;
    HANDLE m_hReady = nullptr;
    HANDLE m_hThread = nullptr;
    HWND m_hWnd = nullptr;
};

LONG CRefusingShell::s_nAdds = 0;
LONG CRefusingShell::s_bAccept = 0;

class TrayRestart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(GetACP(), 949u) << "run under LC_ALL=ko_KR.UTF-8";
        DeleteSettings();
    }
    void TearDown() override { DeleteSettings(); }

    CScratchDir m_dir;
};

} // namespace

TEST_F(TrayRestart, AfterAFailedStartAddsNoIconAndTheCloseBoxStillAsks)
{
    CRefusingShell shell;
    ASSERT_TRUE(shell.First()) << "the desktop's own notification area comes first";
    CStartMainRun run;
    HWND hMain = run.WaitMainWindow();
    ASSERT_NE(hMain, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return shell.Adds() >= 1; })) << "no icon was asked for";
    // The start stopped at the icon: no log window was made.
    EXPECT_EQ(run.LogWindow(), nullptr);
    const LONG nAddsAtStart = shell.Adds();

    shell.AcceptFromNowOn();
    SendMessageW(hMain, kTaskbarCreated, 0, 0);
    EXPECT_EQ(shell.Adds(), nAddsAtStart) << "an icon was added for a program that did not start";

    // The close box still asks the Exit question, and OK ends the program.
    PostMessageW(hMain, WM_CLOSE, 0, 0);
    HWND hBox = WaitForDialog(kTitle);
    ASSERT_NE(hBox, nullptr) << "the close box hid the window instead of asking";
    PressButton(hBox, IDOK);
    EXPECT_TRUE(run.WaitEnded());
}
