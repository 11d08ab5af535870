// The text sink on a real multi-line EDIT control: text inserted at once while the user follows
// the end (also with Hangul in the control), deferred to the timer when the user has scrolled
// up or selected text and then inserted without moving the view or turning the selection round
// (by the timer, or by the first flush one period after the wait began when a stream of
// messages holds the timer back), a large batch inserted in parts, narrow text around the
// stack/heap threshold, text appended by another thread while a flush inserts, and a sink that
// moves to a new control after the old one died with a flush request in flight; while the
// control is hidden, text gathered for one insertion.
#include <windows.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "log/edit_log_sink.h"
#include "tests/wine/log_wine_support.h"

using namespace logtest;

namespace {

constexpr UINT kTestInterval = 100;  // ms; the program uses 500

class CTestSink : public CEditLogSink {
public:
    using CEditLogSink::CEditLogSink;
    UINT_PTR Timer() const { return m_nTimer; }
    std::wstring Queued() const { return m_queue.Peek(); }
    // With a clock set, the deferral reads it instead of the tick count.
    DWORD dwClock = 0;
    bool bOwnClock = false;

protected:
    DWORD Now() const override { return bOwnClock ? dwClock : CEditLogSink::Now(); }
};

std::pair<DWORD, DWORD> Selection(HWND hEdit)
{
    DWORD dwStart = 0, dwEnd = 0;
    ::SendMessageA(hEdit, EM_GETSEL, reinterpret_cast<WPARAM>(&dwStart), reinterpret_cast<LPARAM>(&dwEnd));
    return {dwStart, dwEnd};
}

LRESULT FirstVisible(HWND hEdit)
{
    return ::SendMessageA(hEdit, EM_GETFIRSTVISIBLELINE, 0, 0);
}

std::wstring Lines(int nCount, const wchar_t* pszWord)
{
    std::wstring str;
    for (int i = 0; i < nCount; ++i)
        str += pszWord + std::to_wstring(i) + L"\r\n";
    return str;
}

// A shown parent window with a read-only multi-line edit control styled as the log window's,
// small enough that a few hundred lines scroll.
class SinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::GetACP(), 949u) << "the tests expect code page 949";
        m_hParent = CreateRecordingWindow(&m_log);
        ASSERT_NE(m_hParent, nullptr);
        m_hEdit = CreateEdit(m_hParent);
        ASSERT_NE(m_hEdit, nullptr);
        ::ShowWindow(m_hParent, SW_SHOW);
        ::SetForegroundWindow(m_hParent);
        ::SetFocus(m_hEdit);
    }
    void TearDown() override
    {
        if (::IsWindow(m_hParent))
            ::DestroyWindow(m_hParent);
    }
    static HWND CreateEdit(HWND hParent)
    {
        return ::CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                                 ES_AUTOHSCROLL | ES_READONLY | ES_WANTRETURN,
                                 0, 0, 300, 150, hParent, reinterpret_cast<HMENU>(1002),
                                 ::GetModuleHandleA(nullptr), nullptr);
    }
    // Text put into the control directly (not through the sink), caret at the end, last page shown.
    void Preload(const std::wstring& strText)
    {
        ::SendMessageA(m_hEdit, EM_LIMITTEXT, 0, 0);
        ::SetWindowTextW(m_hEdit, strText.c_str());
        ::SendMessageA(m_hEdit, EM_SETSEL, strText.size(), strText.size());
        ::SendMessageA(m_hEdit, EM_SCROLLCARET, 0, 0);
    }
    // Whether the character before position n lies inside the control's client area.
    bool Shows(size_t n)
    {
        RECT rc;
        ::GetClientRect(m_hEdit, &rc);
        const LRESULT pos = ::SendMessageA(m_hEdit, EM_POSFROMCHAR, n - 1, 0);
        const int y = static_cast<short>(HIWORD(pos));
        return pos != -1 && y >= 0 && y < rc.bottom;
    }

    WndLog m_log;
    HWND m_hParent = nullptr;
    HWND m_hEdit = nullptr;
};

struct FollowRow {
    const char* pszName;
    int nPreloadLines;
    const wchar_t* pszPreloadWord;
    const char* pszAppend;        // code page 949
    const wchar_t* pszExpected;   // what the control must show after the preload
};

class SinkFollow : public SinkTest, public ::testing::WithParamInterface<FollowRow> {};

// Caret at the end, nothing selected, last page shown: the first WM_SINK_FLUSH inserts, no
// timer starts, the caret is behind the new text and the new end is on screen.
TEST_P(SinkFollow, InsertsAtOnceAndShowsTheNewEnd)
{
    const FollowRow& row = GetParam();
    const std::wstring strPreload = Lines(row.nPreloadLines, row.pszPreloadWord);
    Preload(strPreload);
    CTestSink sink(m_hEdit, kTestInterval);
    sink.AppendText(row.pszAppend, false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    const std::wstring strExpected = strPreload + row.pszExpected;
    EXPECT_EQ(EditText(m_hEdit), strExpected);
    EXPECT_EQ(sink.Timer(), 0u);
    EXPECT_EQ(Selection(m_hEdit), std::make_pair(DWORD(strExpected.size()), DWORD(strExpected.size())));
    EXPECT_TRUE(Shows(strExpected.size()));
    EXPECT_EQ(sink.Queued(), L"");
}

const FollowRow kFollowRows[] = {
    {"empty_control", 0, L"", "\xC1\xA2\xBC\xD3 1\r\n", L"\xC811\xC18D 1\r\n"},          // 접속 1
    {"long_ascii_text", 300, L"line ", "next\r\n", L"next\r\n"},
    // Hangul takes two bytes each in code page 949 but one character in the control.
    {"long_hangul_text", 300, L"\xC811\xC18D ", "\xC1\xA2\xBC\xD3 2\r\n", L"\xC811\xC18D 2\r\n"},
};
INSTANTIATE_TEST_SUITE_P(Rows, SinkFollow, ::testing::ValuesIn(kFollowRows),
                         [](const ::testing::TestParamInfo<FollowRow>& info) { return info.param.pszName; });

// Caret at the end but scrolled up: the flush defers and starts the timer; the forced insert
// keeps the top line and leaves the caret at the old end, so the next flush defers as well.
TEST_F(SinkTest, ScrolledUpWaitsForTheTimerAndKeepsTheView)
{
    const std::wstring strPreload = Lines(300, L"line ");
    Preload(strPreload);
    ::SendMessageA(m_hEdit, EM_LINESCROLL, 0, -150);
    const LRESULT nTop = FirstVisible(m_hEdit);
    ASSERT_GT(nTop, 0);
    CTestSink sink(m_hEdit, kTestInterval);

    sink.AppendText("new\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(EditText(m_hEdit), strPreload) << "deferred";
    EXPECT_EQ(sink.Timer(), SINK_TIMER_ID);
    EXPECT_EQ(sink.Queued(), L"new\r\n");

    ASSERT_TRUE(PumpUntil([&] { return EditText(m_hEdit) == strPreload + L"new\r\n"; }));
    EXPECT_EQ(FirstVisible(m_hEdit), nTop);
    EXPECT_EQ(Selection(m_hEdit), std::make_pair(DWORD(strPreload.size()), DWORD(strPreload.size())));
    EXPECT_EQ(sink.Timer(), 0u);
    EXPECT_EQ(sink.Queued(), L"");

    sink.AppendTextW(L"more\n", true);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(sink.Timer(), SINK_TIMER_ID) << "the caret is no longer at the end";
    ASSERT_TRUE(PumpUntil([&] { return EditText(m_hEdit) == strPreload + L"new\r\nmore\r\n"; }));
    EXPECT_EQ(FirstVisible(m_hEdit), nTop);
}

// A steady stream of records while the reader has scrolled up: each append posts a flush
// that has to wait, and WM_TIMER may never come through between them. The flush that comes
// one period after the first wait inserts by itself, keeping the view. The test's clock
// stands still unless moved, and the period (a minute) is far beyond the test's real time, so
// the timer cannot fire: only that time check can insert.
TEST_F(SinkTest, AStreamWhileScrolledUpInsertsOnePeriodAfterTheFirstWait)
{
    const std::wstring strPreload = Lines(300, L"line ");
    Preload(strPreload);
    ::SendMessageA(m_hEdit, EM_LINESCROLL, 0, -150);
    const LRESULT nTop = FirstVisible(m_hEdit);
    const UINT kPeriod = 60000;
    CTestSink sink(m_hEdit, kPeriod);
    sink.bOwnClock = true;
    sink.dwClock = 0xFFFFFF00u;  // the tick count wraps meanwhile

    std::wstring strQueued;
    for (DWORD dwAt : {0u, 200u, kPeriod - 1u}) {
        sink.dwClock = 0xFFFFFF00u + dwAt;
        const std::wstring strLine = L"at " + std::to_wstring(dwAt) + L"\r\n";
        sink.AppendTextW(strLine.c_str(), false);
        strQueued += strLine;
        ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH)) << "each append posts again";
        EXPECT_EQ(EditText(m_hEdit), strPreload) << "waits at " << dwAt << " ms";
        EXPECT_EQ(sink.Queued(), strQueued);
    }
    sink.dwClock = 0xFFFFFF00u + kPeriod;
    sink.AppendTextW(L"due\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(EditText(m_hEdit), strPreload + strQueued + L"due\r\n");
    EXPECT_EQ(FirstVisible(m_hEdit), nTop);
    EXPECT_EQ(sink.Queued(), L"");
    EXPECT_EQ(sink.Timer(), 0u) << "the timer goes with the wait";
}

struct HiddenRow {
    const char* pszName;
    size_t nFirstChars;  // code units of the first append
    DWORD dwDueAt;       // when the last append comes, ms after the first
    bool bWaitsFirst;    // the first flush leaves the text queued
};

class SinkHidden : public SinkTest, public ::testing::WithParamInterface<HiddenRow> {};

// Hidden, text gathers in the queue and goes into the control in one insertion: once a
// batch's worth is queued, or at the first flush one hidden period after the first wait. The
// period (a minute) is far beyond the test's real time: only the clock check can insert.
TEST_P(SinkHidden, GathersTextUntilTheBatchIsDue)
{
    const HiddenRow& row = GetParam();
    ::ShowWindow(m_hParent, SW_HIDE);
    const UINT kHiddenPeriod = 60000;
    CTestSink sink(m_hEdit, kTestInterval, kHiddenPeriod);
    sink.bOwnClock = true;
    sink.dwClock = 1000;

    const std::wstring strFirst = std::wstring(row.nFirstChars - 2, L'x') + L"\r\n";
    sink.AppendTextW(strFirst.c_str(), false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    if (!row.bWaitsFirst) {
        EXPECT_EQ(EditText(m_hEdit), strFirst) << "a full batch goes in at once";
        EXPECT_EQ(sink.Timer(), 0u);
        return;
    }
    EXPECT_EQ(EditText(m_hEdit), L"");
    EXPECT_EQ(sink.Timer(), SINK_TIMER_ID) << "the timer covers a stream that stops";

    sink.dwClock = 1000 + kHiddenPeriod - 1;
    sink.AppendTextW(L"two\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(EditText(m_hEdit), L"") << "still within the period";

    sink.dwClock = 1000 + row.dwDueAt;
    sink.AppendTextW(L"three\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(EditText(m_hEdit), strFirst + L"two\r\nthree\r\n");
    EXPECT_EQ(sink.Queued(), L"");
    EXPECT_EQ(sink.Timer(), 0u);
}

const HiddenRow kHiddenRows[] = {
    {"period_passes", 8, 60000, true},
    {"batch_queued", SINK_HIDDEN_BATCH_CHARS, 0, false},
};
INSTANTIATE_TEST_SUITE_P(Rows, SinkHidden, ::testing::ValuesIn(kHiddenRows),
                         [](const ::testing::TestParamInfo<HiddenRow>& info) { return info.param.pszName; });

// FlushNow (the owner's call when it shows the control) inserts a hidden wait's text at once.
TEST_F(SinkTest, FlushNowInsertsWhatAHiddenControlGathered)
{
    ::ShowWindow(m_hParent, SW_HIDE);
    CTestSink sink(m_hEdit, kTestInterval, 60000);
    sink.AppendText("one\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    ASSERT_EQ(EditText(m_hEdit), L"");
    sink.FlushNow();
    EXPECT_EQ(EditText(m_hEdit), L"one\r\n");
    EXPECT_EQ(sink.Timer(), 0u);
}

// A large take goes into the control a part at a time, each in a flush of its own, so the
// control's thread answers other messages in between; the parts end at line ends and arrive
// whole and in order.
TEST_F(SinkTest, ALargeTakeIsInsertedInParts)
{
    CTestSink sink(m_hEdit, kTestInterval);
    const std::wstring strText = Lines(20000, L"part line ");  // some 300,000 characters
    ASSERT_GT(strText.size(), 4 * SINK_INSERT_CHARS);
    sink.AppendTextW(strText.c_str(), false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    const std::wstring strFirst = EditText(m_hEdit);
    EXPECT_GT(strFirst.size(), 0u);
    EXPECT_LE(strFirst.size(), SINK_INSERT_CHARS);
    EXPECT_EQ(strFirst.compare(strFirst.size() - 2, 2, L"\r\n"), 0) << "cut inside a line";
    EXPECT_EQ(strText.compare(0, strFirst.size(), strFirst), 0);
    ASSERT_TRUE(PumpUntil([&] { return EditText(m_hEdit) == strText; }));
}

struct SelectionRow {
    const char* pszName;
    bool bRightToLeft;  // the caret at the selection's start
};

class SinkSelection : public SinkTest, public ::testing::WithParamInterface<SelectionRow> {};

// A selection survives the forced insert with the same characters, the same top line and the
// caret on the same side: Shift+Right afterwards moves the end the caret is on.
TEST_P(SinkSelection, ForcedInsertKeepsTheSelectionsDirection)
{
    const std::wstring strPreload = Lines(300, L"line ");
    Preload(strPreload);
    const LRESULT nLine = 120;
    const DWORD dwLo = static_cast<DWORD>(::SendMessageA(m_hEdit, EM_LINEINDEX, nLine, 0)) + 2;
    const DWORD dwHi = dwLo + 25;
    if (GetParam().bRightToLeft)
        ::SendMessageA(m_hEdit, EM_SETSEL, dwHi, dwLo);
    else
        ::SendMessageA(m_hEdit, EM_SETSEL, dwLo, dwHi);
    ::SendMessageA(m_hEdit, EM_SCROLLCARET, 0, 0);
    const LRESULT nTop = FirstVisible(m_hEdit);
    CTestSink sink(m_hEdit, kTestInterval);

    sink.AppendText("tail\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(sink.Timer(), SINK_TIMER_ID);
    ASSERT_TRUE(PumpUntil([&] { return EditText(m_hEdit) == strPreload + L"tail\r\n"; }));
    EXPECT_EQ(Selection(m_hEdit), std::make_pair(dwLo, dwHi));
    EXPECT_EQ(FirstVisible(m_hEdit), nTop);

    BYTE keys[256];
    ASSERT_TRUE(::GetKeyboardState(keys));
    BYTE shifted[256];
    std::copy(keys, keys + 256, shifted);
    shifted[VK_SHIFT] = 0x80;
    ::SetKeyboardState(shifted);
    ::SendMessageA(m_hEdit, WM_KEYDOWN, VK_RIGHT, 0);
    ::SetKeyboardState(keys);
    if (GetParam().bRightToLeft)
        EXPECT_EQ(Selection(m_hEdit), std::make_pair(dwLo + 1, dwHi));
    else
        EXPECT_EQ(Selection(m_hEdit), std::make_pair(dwLo, dwHi + 1));
}

const SelectionRow kSelectionRows[] = {
    {"left_to_right", false},
    {"right_to_left", true},
};
INSTANTIATE_TEST_SUITE_P(Rows, SinkSelection, ::testing::ValuesIn(kSelectionRows),
                         [](const ::testing::TestParamInfo<SelectionRow>& info) { return info.param.pszName; });

// Narrow text on both sides of the 1024-byte stack buffer and well beyond: the control shows
// the same characters. Built from "가a" (B0 A1 61) and padded with 'b' to the exact length.
TEST_F(SinkTest, NarrowTextAroundTheStackThresholdArrivesWhole)
{
    CTestSink sink(m_hEdit, kTestInterval);
    std::wstring strExpected;
    for (size_t nBytes : {size_t(1023), size_t(1024), size_t(5000)}) {
        std::string strNarrow;
        std::wstring strWide;
        while (strNarrow.size() + 3 <= nBytes) {
            strNarrow += "\xB0\xA1" "a";
            strWide += L"\xAC00" L"a";
        }
        while (strNarrow.size() < nBytes) {
            strNarrow += 'b';
            strWide += L'b';
        }
        sink.AppendText(strNarrow.c_str(), false);
        strExpected += strWide;
        ASSERT_TRUE(PumpUntil([&] { return EditText(m_hEdit) == strExpected; })) << nBytes << " bytes";
    }
}

// Wide text (what the wide standard stream hands over) reaches the control through the hook
// whole, also characters that code page 949 cannot hold.
TEST_F(SinkTest, WideTextOutsideTheAnsiCodePageArrivesWhole)
{
    ASSERT_TRUE(g_bUseWideText);
    CTestSink sink(m_hEdit, kTestInterval);
    const wchar_t kText[] = L"\x00E9\x20AC\xD83D\xDE00 \xC811\xC18D\r\n";  // é € an emoji, Hangul
    sink.AppendTextW(kText, false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(EditText(m_hEdit), kText);
}

// Passes EM_REPLACESEL on after letting another thread append, so that the append falls in
// the middle of a flush.
class CAppendDuringInsert : public CSubclassWnd {
public:
    CEditLogSink* pSink = nullptr;
    int nInserts = 0;
    bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override
    {
        if (uMsg == EM_REPLACESEL && nInserts++ == 0) {
            std::thread producer([this] { pSink->AppendText("late\r\n", false); });
            producer.join();
        }
        return CSubclassWnd::HandleMessage(uMsg, wParam, lParam, lResult);
    }
};

TEST_F(SinkTest, TextFromAnotherThreadDuringAFlushComesWithTheNext)
{
    CTestSink sink(m_hEdit, kTestInterval);
    CAppendDuringInsert interposer;
    interposer.pSink = &sink;
    ASSERT_TRUE(interposer.HookWindow(m_hEdit, false));

    sink.AppendText("early\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    EXPECT_EQ(EditText(m_hEdit), L"early\r\n");
    EXPECT_EQ(sink.Queued(), L"late\r\n");
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH)) << "the late append posted its own request";
    EXPECT_EQ(EditText(m_hEdit), L"early\r\nlate\r\n");
    EXPECT_EQ(sink.Queued(), L"");
    EXPECT_EQ(interposer.RequestUnhook(), m_hEdit);
}

// The control dies with a flush request still in its queue (and the deferral timer running);
// text appended meanwhile waits, and once the sink is attached to a new control the next
// append brings everything.
TEST_F(SinkTest, MovesToANewControlAfterTheOldOneDied)
{
    Preload(Lines(300, L"line "));
    ::SendMessageA(m_hEdit, EM_LINESCROLL, 0, -150);
    CTestSink sink(nullptr, kTestInterval);
    sink.Attach(m_hEdit);
    EXPECT_EQ(sink.GetHwnd(), m_hEdit);
    sink.AppendText("one\r\n", false);
    ASSERT_TRUE(PumpThrough(m_hEdit, WM_SINK_FLUSH));
    ASSERT_EQ(sink.Timer(), SINK_TIMER_ID);
    sink.AppendText("two\r\n", false);  // posts a request that the dying control never serves
    ::DestroyWindow(m_hEdit);
    EXPECT_EQ(sink.GetHwnd(), nullptr);
    sink.AppendText("three\r\n", false);

    HWND hEdit = CreateEdit(m_hParent);
    ASSERT_NE(hEdit, nullptr);
    sink.Attach(hEdit);
    EXPECT_EQ(sink.GetHwnd(), hEdit);
    sink.AppendText("four\r\n", false);
    ASSERT_TRUE(PumpUntil([&] { return EditText(hEdit) == L"one\r\ntwo\r\nthree\r\nfour\r\n"; }));
    EXPECT_EQ(sink.Timer(), 0u);
}

}  // namespace
