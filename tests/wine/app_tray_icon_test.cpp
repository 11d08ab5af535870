// CTrayIcon against Wine's real notification area, owned by a real window of the test. The
// shell's view of the icon is probed from outside with a modification that changes nothing,
// which the shell accepts only for an icon it holds.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "app/tray_icon.h"
#include "tests/wine/app_test_support.h"

using namespace apptest;

namespace {

// The record the shell is handed, visible to the test.
class CTrayIconView : public CTrayIcon {
public:
    const TRAY_ICON_DATA& Record() const { return m_nid; }
};

// Far beyond a picture change (about a millisecond): only a worker that never ends on the
// picture asked for reaches it.
constexpr DWORD kBoundMs = 10000;

struct OwnerWindow {
    OwnerWindow()
    {
        hWnd = CreateWindowExA(0, "STATIC", "tray owner", WS_POPUP, 0, 0, 10, 10, nullptr,
                               nullptr, GetModuleHandleA(nullptr), nullptr);
    }
    ~OwnerWindow() { DestroyWindow(hWnd); }
    HWND hWnd;
};

} // namespace

TEST(TrayIcon, AddChangeAndRemoveAsTheShellSeesIt)
{
    OwnerWindow owner;
    ASSERT_NE(owner.hWnd, nullptr);
    {
        CTrayIcon icon;
        EXPECT_FALSE(TrayIconPresent(owner.hWnd, kTrayId));
        ASSERT_EQ(icon.Create(owner.hWnd, kTrayNotify, "(주)Norvane Pellarin", nullptr, kTrayId), 1);
        EXPECT_TRUE(icon.IsShown());
        EXPECT_TRUE(TrayIconPresent(owner.hWnd, kTrayId));
        EXPECT_EQ(icon.SetIcon(static_cast<UINT>(132)), 1);
        EXPECT_EQ(icon.SetIcon(static_cast<UINT>(131)), 1);
    }
    // Destruction took it away while its owner still lives.
    EXPECT_FALSE(TrayIconPresent(owner.hWnd, kTrayId));
}

TEST(TrayIcon, WithoutAValidOwnerNothingIsShownAndEveryCallAnswersZero)
{
    HWND hGone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    DestroyWindow(hGone);
    for (HWND hOwner : {static_cast<HWND>(nullptr), hGone}) {
        CTrayIcon icon;
        EXPECT_EQ(icon.Create(hOwner, kTrayNotify, "tip", nullptr, kTrayId), 0);
        EXPECT_FALSE(icon.IsShown());
        EXPECT_EQ(icon.SetIcon(static_cast<UINT>(132)), 0);
        EXPECT_EQ(icon.RemoveIcon(), 0);
        EXPECT_EQ(icon.Restore(), 0);
    }
}

TEST(TrayIcon, TheTipIsCutAtACharacterBoundary)
{
    OwnerWindow owner;
    // 31 Hangul syllables (62 bytes in code page 949) and one more: the 63-byte room would
    // split the last one.
    std::string strTip;
    for (int i = 0; i < 32; ++i)
        strTip += "가";
    CTrayIconView icon;
    ASSERT_EQ(icon.Create(owner.hWnd, kTrayNotify, strTip.c_str(), nullptr, kTrayId), 1);
    EXPECT_EQ(icon.Record().cbSize, static_cast<DWORD>(sizeof(TRAY_ICON_DATA)));
    EXPECT_EQ(std::strlen(icon.Record().szTip), 62u);
    wchar_t szWide[64] = {0};
    MultiByteToWideChar(949, MB_ERR_INVALID_CHARS, icon.Record().szTip, -1, szWide, 64);
    EXPECT_EQ(std::wstring(szWide), std::wstring(31, L'가'));
}

TEST(TrayIcon, RestoreAddsTheIconAgainAfterTheShellLostIt)
{
    OwnerWindow owner;
    CTrayIcon icon;
    ASSERT_EQ(icon.Create(owner.hWnd, kTrayNotify, "tip", nullptr, kTrayId), 1);
    // A "TaskbarCreated" that was no restart: the icon is still there and stays usable.
    EXPECT_EQ(icon.Restore(), 1);
    EXPECT_TRUE(icon.IsShown());
    EXPECT_EQ(icon.SetIcon(static_cast<UINT>(132)), 1);
    // The shell forgot it (as a restarted shell has): Restore adds it again.
    NOTIFYICONDATAW nid;
    ZeroMemory(&nid, sizeof(nid));
    nid.cbSize = NOTIFYICONDATAW_V1_SIZE;
    nid.hWnd = owner.hWnd;
    nid.uID = kTrayId;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &nid));
    EXPECT_FALSE(TrayIconPresent(owner.hWnd, kTrayId));
    EXPECT_EQ(icon.Restore(), 1);
    EXPECT_TRUE(TrayIconPresent(owner.hWnd, kTrayId));
}

namespace {

// Takes the icon away behind the object's back, as a restarted shell loses it.
void ShellLosesIcon(HWND hOwner)
{
    NOTIFYICONDATAW nid;
    ZeroMemory(&nid, sizeof(nid));
    nid.cbSize = NOTIFYICONDATAW_V1_SIZE;
    nid.hWnd = hOwner;
    nid.uID = kTrayId;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &nid));
    ASSERT_FALSE(TrayIconPresent(hOwner, kTrayId));
}

// An icon added for a window of the test with the idle picture; both pictures at hand.
class TrayIconShown : public ::testing::Test {
protected:
    void SetUp() override
    {
        hIdle = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(131));
        hTraffic = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(132));
        ASSERT_NE(hIdle, nullptr);
        ASSERT_NE(hTraffic, nullptr);
        ASSERT_EQ(icon.Create(owner.hWnd, kTrayNotify, "tip", hIdle, kTrayId), 1);
    }
    OwnerWindow owner;
    HICON hIdle = nullptr;
    HICON hTraffic = nullptr;
    CTrayIconView icon;  // after owner: taken away while its owner still lives
};

} // namespace

// The shell refuses any change to an icon it no longer holds. So once it has lost the icon, an
// answer of 1 proves the object did not ask it, and an answer of 0 proves it did.
TEST_F(TrayIconShown, APictureAlreadyShownIsNotHandedOverAgainAndAFailedCallForgetsIt)
{
    ShellLosesIcon(owner.hWnd);
    struct Row {
        UINT nIcon;
        int nExpected;
        const char* pszWhy;
    };
    const Row rows[] = {
        {131, 1, "the added picture again: skipped"},
        {132, 0, "a new picture goes to the shell, which refuses it"},
        {132, 0, "the refusal left nothing remembered: asked again"},
        {131, 0, "nor is the added picture remembered after a refusal"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(icon.SetIcon(row.nIcon), row.nExpected) << row.nIcon << ": " << row.pszWhy;

    // Restore adds the icon with the last picture asked for and remembers it.
    ASSERT_EQ(icon.Restore(), 1);
    EXPECT_TRUE(TrayIconPresent(owner.hWnd, kTrayId));
    ShellLosesIcon(owner.hWnd);
    EXPECT_EQ(icon.SetIcon(hIdle), 1) << "the restored picture again: skipped";
    EXPECT_EQ(icon.SetIcon(hTraffic), 0);
}

TEST(TrayIcon, NotificationsForAnotherIdOrWithoutAMenuActionAnswerAsSpecified)
{
    OwnerWindow owner;
    CTrayIcon icon;
    ASSERT_EQ(icon.Create(owner.hWnd, kTrayNotify, "tip", nullptr, kTrayId), 1);
    struct Row {
        WPARAM wId;
        UINT uMouse;
        int nExpected;
    };
    const Row rows[] = {
        {kTrayId + 1, WM_RBUTTONUP, 0},
        {0, WM_LBUTTONDBLCLK, 0},
        {kTrayId, WM_MOUSEMOVE, 1},
        {kTrayId, WM_LBUTTONDOWN, 1},
        {kTrayId, WM_LBUTTONUP, 1},
    };
    for (const Row& row : rows)
        EXPECT_EQ(icon.OnTrayNotification(row.wId, row.uMouse), row.nExpected)
            << "id " << row.wId << " mouse 0x" << std::hex << row.uMouse;
}

// Requests come from the relay's threads faster than the shell takes changes; whatever the
// worker merged or skipped, the shell must end on the last picture asked for, and a direct
// change made after a request must not be overwritten by it.
TEST_F(TrayIconShown, AfterABurstOfRequestsTheShellIsLeftWithTheLastPictureAskedFor)
{
    struct Row {
        HICON hLast;       // the last request
        HICON hDirect;     // then changed directly with SetIcon, or null
        HICON hExpected;
    };
    const Row rows[] = {
        {hTraffic, nullptr, hTraffic},
        {hIdle, nullptr, hIdle},
        {hTraffic, hIdle, hIdle},
        {hIdle, hTraffic, hTraffic},
    };
    constexpr int kBurst = 300;
    for (const Row& row : rows) {
        std::thread other([&] {
            for (int i = 0; i < kBurst; ++i)
                icon.RequestIcon(i % 2 ? hIdle : hTraffic);
        });
        for (int i = 0; i < kBurst; ++i)
            icon.RequestIcon(i % 2 ? hTraffic : hIdle);
        other.join();
        icon.RequestIcon(row.hLast);
        if (row.hDirect) {
            EXPECT_EQ(icon.SetIcon(row.hDirect), 1);
        }
        ASSERT_TRUE(icon.WaitForPicture(kBoundMs));
        EXPECT_EQ(icon.Record().hIcon, row.hExpected)
            << "last request " << (row.hLast == hIdle ? "idle" : "traffic")
            << (row.hDirect ? ", then a direct change" : "");
        EXPECT_TRUE(TrayIconPresent(owner.hWnd, kTrayId));
    }
}

namespace {

// A stand-in notification area of the test's own, on a thread of its own: Shell_NotifyIcon
// hands every call to the first window of the shell's class, which one made later is
// (docs/wine-findings.md). It answers each call after holdMs, as a slow or hung shell does,
// and counts the calls it has begun.
class SlowShell {
public:
    SlowShell()
    {
        m_thread = std::thread([this] { Run(); });
        WaitForSingleObject(m_hReady, kBoundMs);
    }
    ~SlowShell()
    {
        holdMs = 0;
        if (hWnd)
            PostMessageA(hWnd, WM_CLOSE, 0, 0);
        m_thread.join();
        CloseHandle(m_hReady);
    }
    HWND hWnd = nullptr;
    std::atomic<DWORD> holdMs{0};
    std::atomic<int> nCalls{0};

private:
    static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM w, LPARAM l)
    {
        auto* pThis = reinterpret_cast<SlowShell*>(GetWindowLongPtrA(h, GWLP_USERDATA));
        if (msg == WM_COPYDATA && pThis) {
            ++pThis->nCalls;
            Sleep(pThis->holdMs);
            return TRUE;
        }
        if (msg == WM_CLOSE) {
            DestroyWindow(h);
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(h, msg, w, l);
    }
    void Run()
    {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "Shell_TrayWnd";
        RegisterClassA(&wc);
        hWnd = CreateWindowExA(WS_EX_TOOLWINDOW, "Shell_TrayWnd", "", WS_POPUP, 0, 0, 0, 0,
                               nullptr, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetEvent(m_hReady);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
        UnregisterClassA("Shell_TrayWnd", wc.hInstance);
    }
    HANDLE m_hReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread m_thread;
};

} // namespace

// The worker hands a picture to a shell that answers 1.5 s later: meanwhile the object
// answers at once (its lock is not held across the call), and a picture asked for during it
// is the one the shell ends with.
TEST(TrayIcon, AShellThatAnswersLateHoldsNoLockOfTheObject)
{
    SlowShell shell;
    ASSERT_NE(shell.hWnd, nullptr);
    ASSERT_EQ(FindWindowA("Shell_TrayWnd", nullptr), shell.hWnd) << "the real shell comes first";
    OwnerWindow owner;
    const HICON hIdle = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(131));
    const HICON hTraffic = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(132));
    CTrayIconView icon;
    ASSERT_EQ(icon.Create(owner.hWnd, kTrayNotify, "tip", hIdle, kTrayId), 1);
    const int nBefore = shell.nCalls;
    shell.holdMs = 1500;
    icon.RequestIcon(hTraffic);
    const DWORD dwStart = GetTickCount();
    while (shell.nCalls == nBefore && GetTickCount() - dwStart < kBoundMs)
        Sleep(5);
    ASSERT_GT(shell.nCalls, nBefore) << "the worker never called the shell";

    const DWORD dwAsked = GetTickCount();
    EXPECT_TRUE(icon.IsShown());
    icon.RequestIconInTurn(hIdle);
    EXPECT_LT(GetTickCount() - dwAsked, 500u) << "the object waited for the shell";
    shell.holdMs = 0;
    ASSERT_TRUE(icon.WaitForPicture(kBoundMs));
    EXPECT_EQ(icon.Record().hIcon, hIdle);
}
