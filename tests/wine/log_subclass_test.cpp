// Window subclassing on real windows: two hooks leaving one window in either order, reflection
// of a child's notifications through its parent, nested dispatch, the clean-up when a hooked
// parent is destroyed, and a hook that cannot leave because a foreign procedure sits above it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "log/subclass_wnd.h"
#include "tests/wine/log_wine_support.h"

using namespace logtest;

namespace {

// Records what reaches its handler; leaves everything to the chain unless told otherwise.
class CRecordingHook : public CSubclassWnd {
public:
    int nProbes = 0;
    int nReflectedCommands = 0;
    WPARAM reflectedW = 0;
    LPARAM reflectedL = 0;
    bool bHandleReflected = false;

    bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override
    {
        if (uMsg == kProbe)
            ++nProbes;
        if (uMsg == WM_COMMAND + REFLECT_OFFSET) {
            ++nReflectedCommands;
            reflectedW = wParam;
            reflectedL = lParam;
            if (bHandleReflected) {
                lResult = 77;
                return true;
            }
        }
        return CSubclassWnd::HandleMessage(uMsg, wParam, lParam, lResult);
    }
};

struct ChainRow {
    const char* pszName;
    bool bLowerLeavesFirst;  // A hooked first (lower), B on top
};

class SubclassChain : public ::testing::TestWithParam<ChainRow> {};

TEST_P(SubclassChain, EitherObjectLeavesAndTheOtherKeepsWorking)
{
    WndLog log;
    HWND hWnd = CreateRecordingWindow(&log);
    ASSERT_NE(hWnd, nullptr);
    const LONG_PTR original = WndProcOf(hWnd);
    CRecordingHook a;
    CRecordingHook b;
    ASSERT_TRUE(a.HookWindow(hWnd, false));
    const LONG_PTR withA = WndProcOf(hWnd);
    ASSERT_TRUE(b.HookWindow(hWnd, false));
    const LONG_PTR withB = WndProcOf(hWnd);
    EXPECT_NE(withA, original);
    EXPECT_NE(withB, withA);
    EXPECT_FALSE(a.HookWindow(hWnd, false)) << "an attached object hooks nothing more";

    CRecordingHook& leaving = GetParam().bLowerLeavesFirst ? a : b;
    CRecordingHook& staying = GetParam().bLowerLeavesFirst ? b : a;
    EXPECT_EQ(leaving.RequestUnhook(), hWnd);
    EXPECT_EQ(leaving.GetHwnd(), nullptr);
    if (GetParam().bLowerLeavesFirst) {
        EXPECT_EQ(WndProcOf(hWnd), withB) << "the window procedure stays the top's thunk";
        EXPECT_EQ(reinterpret_cast<LONG_PTR>(b.GetPrevWndProc()), original);
    } else {
        EXPECT_EQ(WndProcOf(hWnd), withA);
    }

    EXPECT_EQ(::SendMessageA(hWnd, kProbe, 0, 0), kProbeAnswer);
    EXPECT_EQ(staying.nProbes, 1);
    EXPECT_EQ(leaving.nProbes, 0);
    EXPECT_EQ(log.nProbes, 1);

    EXPECT_EQ(leaving.RequestUnhook(), nullptr) << "an unattached object releases nothing";
    EXPECT_EQ(staying.RequestUnhook(), hWnd);
    EXPECT_EQ(WndProcOf(hWnd), original);
    // An unattached object may hook again.
    ASSERT_TRUE(leaving.HookWindow(hWnd, false));
    EXPECT_EQ(::SendMessageA(hWnd, kProbe, 0, 0), kProbeAnswer);
    EXPECT_EQ(leaving.nProbes, 1);
    EXPECT_EQ(leaving.RequestUnhook(), hWnd);
    ::DestroyWindow(hWnd);
}

const ChainRow kChainRows[] = {
    {"lower_leaves_first", true},
    {"upper_leaves_first", false},
};
INSTANTIATE_TEST_SUITE_P(Rows, SubclassChain, ::testing::ValuesIn(kChainRows),
                         [](const ::testing::TestParamInfo<ChainRow>& info) { return info.param.pszName; });

struct ReflectRow {
    const char* pszName;
    bool bFromChild;        // lParam = the child; false: lParam 0 (a menu command)
    bool bChildHandles;
    bool bReflected;        // the child's handler sees WM_COMMAND + REFLECT_OFFSET
    bool bParentProcesses;  // the parent's own procedure sees WM_COMMAND
    LRESULT result;
};

class SubclassReflection : public ::testing::TestWithParam<ReflectRow> {};

TEST_P(SubclassReflection, ChildNotificationGoesBackToTheChild)
{
    const ReflectRow& row = GetParam();
    const long nReflectorsBefore = CReflectWnd::LiveCount();
    WndLog parentLog;
    WndLog childLog;
    WndLog otherLog;
    HWND hParent = CreateRecordingWindow(&parentLog);
    HWND hChild = CreateRecordingWindow(&childLog, hParent, 101);
    HWND hOther = CreateRecordingWindow(&otherLog, hParent, 102);
    ASSERT_NE(hOther, nullptr);
    const LONG_PTR parentOriginal = WndProcOf(hParent);

    CRecordingHook child;
    child.bHandleReflected = row.bChildHandles;
    ASSERT_TRUE(child.HookWindow(hChild, true));
    EXPECT_NE(WndProcOf(hParent), parentOriginal);
    const LRESULT reflector = ::SendMessageA(hParent, WM_SUBCLASS_QUERY, 0, 0);
    EXPECT_NE(reflector, 0);
    CRecordingHook other;
    ASSERT_TRUE(other.HookWindow(hOther, true));
    EXPECT_EQ(::SendMessageA(hParent, WM_SUBCLASS_QUERY, 0, 0), reflector) << "one reflector per parent";
    EXPECT_EQ(CReflectWnd::LiveCount(), nReflectorsBefore + 1);

    const WPARAM wParam = MAKEWPARAM(101, BN_CLICKED);
    const LPARAM lParam = row.bFromChild ? reinterpret_cast<LPARAM>(hChild) : 0;
    EXPECT_EQ(::SendMessageA(hParent, WM_COMMAND, wParam, lParam), row.result);
    EXPECT_EQ(child.nReflectedCommands, row.bReflected ? 1 : 0);
    if (row.bReflected) {
        EXPECT_EQ(child.reflectedW, wParam);
        EXPECT_EQ(child.reflectedL, lParam);
    }
    // Unhandled, the reflection travels on to the child's own procedure as it came.
    EXPECT_EQ(childLog.nReflectArrived, row.bReflected && !row.bChildHandles ? 1 : 0);
    EXPECT_EQ(parentLog.nCommands, row.bParentProcesses ? 1 : 0);
    EXPECT_EQ(other.nReflectedCommands, 0);
    ::DestroyWindow(hParent);
    EXPECT_EQ(CReflectWnd::LiveCount(), nReflectorsBefore);
}

const ReflectRow kReflectRows[] = {
    {"child_handles", true, true, true, false, 77},
    {"child_leaves_it", true, false, true, true, 0},
    {"menu_command_not_reflected", false, true, false, true, 0},
};
INSTANTIATE_TEST_SUITE_P(Rows, SubclassReflection, ::testing::ValuesIn(kReflectRows),
                         [](const ::testing::TestParamInfo<ReflectRow>& info) { return info.param.pszName; });

// Checks, once it has left the destroyed window, which procedure the window is left with.
class CLastWordHook : public CSubclassWnd {
public:
    LONG_PTR procAtEnd = 0;
    HWND hWndAtEnd = nullptr;
    bool bDestroyedCalled = false;
    void OnWindowDestroyed() override
    {
        bDestroyedCalled = true;
        procAtEnd = WndProcOf(hWndAtEnd);
    }
};

struct DestroyRow {
    const char* pszName;
    // The probe hooks the parent before the reflector exists; its request to leave must reach
    // it through the reflector, which names itself, or the probe would cut the reflector out.
    bool bProbeBelowReflector;
};

class SubclassDestroy : public ::testing::TestWithParam<DestroyRow> {};

TEST_P(SubclassDestroy, ParentEndsWithItsOwnProcedureAndNoReflector)
{
    const long nReflectorsBefore = CReflectWnd::LiveCount();
    WndLog parentLog;
    WndLog childLog;
    HWND hParent = CreateRecordingWindow(&parentLog);
    HWND hChild = CreateRecordingWindow(&childLog, hParent, 101);
    const LONG_PTR parentOriginal = WndProcOf(hParent);
    const LONG_PTR childOriginal = WndProcOf(hChild);

    CLastWordHook probe;
    probe.hWndAtEnd = hParent;
    CRecordingHook child;
    if (GetParam().bProbeBelowReflector) {
        ASSERT_TRUE(probe.HookWindow(hParent, false));
    }
    ASSERT_TRUE(child.HookWindow(hChild, true));
    if (!GetParam().bProbeBelowReflector) {
        ASSERT_TRUE(probe.HookWindow(hParent, false));
    }
    EXPECT_EQ(CReflectWnd::LiveCount(), nReflectorsBefore + 1);

    struct ChildEnd : CSubclassWnd {
        LONG_PTR proc = 0;
        HWND hWnd = nullptr;
        void OnWindowDestroyed() override { proc = WndProcOf(hWnd); }
    } childEnd;
    childEnd.hWnd = hChild;
    ASSERT_TRUE(childEnd.HookWindow(hChild, false));

    ASSERT_TRUE(::DestroyWindow(hParent));
    EXPECT_FALSE(::IsWindow(hParent));
    EXPECT_EQ(child.GetHwnd(), nullptr);
    EXPECT_EQ(childEnd.GetHwnd(), nullptr);
    EXPECT_EQ(probe.GetHwnd(), nullptr);
    EXPECT_TRUE(probe.bDestroyedCalled);
    // The top hook leaves last, so only from there is the final procedure to be seen.
    if (!GetParam().bProbeBelowReflector) {
        EXPECT_EQ(probe.procAtEnd, parentOriginal);
    }
    EXPECT_EQ(childEnd.proc, childOriginal);
    EXPECT_EQ(CReflectWnd::LiveCount(), nReflectorsBefore) << "the reflector deletes itself";
}

const DestroyRow kDestroyRows[] = {
    {"probe_above_reflector", false},
    {"probe_below_reflector", true},
};
INSTANTIATE_TEST_SUITE_P(Rows, SubclassDestroy, ::testing::ValuesIn(kDestroyRows),
                         [](const ::testing::TestParamInfo<DestroyRow>& info) { return info.param.pszName; });

// A message sent from inside a handler gets its own current-message record; the outer one is
// current again when it returns.
TEST(Subclass, NestedDispatchRestoresTheOuterMessage)
{
    const UINT kOuter = WM_APP + 10;
    const UINT kInner = WM_APP + 11;
    struct Nesting : CSubclassWnd {
        UINT innerSeen = 0, outerAfter = 0;
        bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override
        {
            if (uMsg == kOuter) {
                ::SendMessageA(m_hWnd, kInner, 0, 0);
                outerAfter = GetCurrentMessage()->message;
            } else if (uMsg == kInner) {
                innerSeen = GetCurrentMessage()->message;
            }
            return CSubclassWnd::HandleMessage(uMsg, wParam, lParam, lResult);
        }
    } hook;
    WndLog log;
    HWND hWnd = CreateRecordingWindow(&log);
    ASSERT_TRUE(hook.HookWindow(hWnd, false));
    ::SendMessageA(hWnd, kOuter, 0, 0);
    EXPECT_EQ(hook.innerSeen, kInner);
    EXPECT_EQ(hook.outerAfter, kOuter);
    EXPECT_EQ(hook.GetCurrentMessage(), nullptr);
    ::DestroyWindow(hWnd);
}

// A foreign procedure installed above a hook (knowing nothing of the protocol, passing every
// message on) keeps the hook from leaving: restoring the hook's predecessor would cut the
// foreign procedure out. When the hook object is destroyed anyway, the window keeps working
// and its messages never reach the object that takes the freed thunk's place.
WNDPROC g_pfnBelowForeign = nullptr;
LRESULT CALLBACK ForeignProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return ::CallWindowProcA(g_pfnBelowForeign, hWnd, uMsg, wParam, lParam);
}

TEST(Subclass, ForeignProcedureAboveIsNotCutOut)
{
    WndLog log;
    HWND hWnd = CreateRecordingWindow(&log);
    {
        CRecordingHook a;
        ASSERT_TRUE(a.HookWindow(hWnd, false));
        g_pfnBelowForeign = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ForeignProc)));
        EXPECT_EQ(a.RequestUnhook(), nullptr);
        EXPECT_EQ(a.GetHwnd(), hWnd);
        EXPECT_EQ(::GetWindowLongPtrA(hWnd, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(ForeignProc));
    }
    WndLog otherLog;
    HWND hOther = CreateRecordingWindow(&otherLog);
    CRecordingHook next;  // takes the next free thunk
    ASSERT_TRUE(next.HookWindow(hOther, false));
    EXPECT_EQ(::SendMessageA(hWnd, kProbe, 0, 0), kProbeAnswer);
    EXPECT_EQ(log.nProbes, 1);
    EXPECT_EQ(next.nProbes, 0);
    EXPECT_EQ(next.RequestUnhook(), hOther);
    ::DestroyWindow(hOther);
    ::DestroyWindow(hWnd);
}

}  // namespace

// Any program on the desktop can send the registered messages: pointers they carry that the
// relay did not hand out are never followed, and the chain stays as it was.
TEST(Subclass, ForgedPointersInProtocolMessagesAreIgnored)
{
    WndLog parentLog;
    WndLog childLog;
    HWND hParent = CreateRecordingWindow(&parentLog);
    HWND hChild = CreateRecordingWindow(&childLog, hParent, 101);
    ASSERT_NE(hChild, nullptr);
    CRecordingHook hook;
    ASSERT_TRUE(hook.HookWindow(hChild, true));

    // An unhook request naming the hook, with a "forwarding object" that is just memory.
    unsigned char abForged[64];
    std::memset(abForged, 0xAB, sizeof(abForged));
    EXPECT_EQ(::SendMessageA(hChild, WM_SUBCLASS_UNHOOK, reinterpret_cast<WPARAM>(abForged),
                             reinterpret_cast<LPARAM>(&hook)),
              0);
    for (unsigned char b : abForged)
        ASSERT_EQ(b, 0xAB) << "written through the forged pointer";
    EXPECT_EQ(hook.GetHwnd(), hChild) << "the hook left on a forged request";
    EXPECT_EQ(::SendMessageA(hChild, kProbe, 0, 0), kProbeAnswer);
    EXPECT_EQ(hook.nProbes, 1) << "the hook no longer sees the window's messages";

    // A reflected notification whose record no reflector is sending.
    ReflectedMsg forged = {WM_COMMAND + REFLECT_OFFSET, MAKEWPARAM(101, BN_CLICKED),
                           reinterpret_cast<LPARAM>(hChild), 5};
    EXPECT_EQ(::SendMessageA(hChild, WM_SUBCLASS_REFLECT, 0, reinterpret_cast<LPARAM>(&forged)), 0);
    EXPECT_EQ(forged.bHandled, 5) << "written through the forged record";
    EXPECT_EQ(hook.nReflectedCommands, 0);
    EXPECT_EQ(childLog.nReflectArrived, 0);

    // The real reflection still works.
    ::SendMessageA(hParent, WM_COMMAND, MAKEWPARAM(101, BN_CLICKED), reinterpret_cast<LPARAM>(hChild));
    EXPECT_EQ(hook.nReflectedCommands, 1);
    ::DestroyWindow(hParent);
}
