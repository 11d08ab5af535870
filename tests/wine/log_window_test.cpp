// The transaction-log window with a real dialog, edit control and sink on the test's own
// thread: the line and text limits, the memory a level-99 flood leaves behind, the Clear and
// Close buttons, cout and wcout shown in the window (the
// test program links the same log code as pellarin.dll and so shares its streams), and a
// thread that keeps writing to cout while the window is destroyed. With
// PELLARIN_SCREENSHOT_DIR set, one more case saves a picture of the window full of level-99
// lines with Hangul among them.
//
// The sink inserts from posted messages, so every wait pumps this thread's messages until the
// control shows the state that proves the case, with a bound.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/debug_dlg.h"
#include "log/line_format.h"
#include "log/log_record.h"
#include "res/resource.h"
#include "tests/wine/window_picture.h"

namespace {

constexpr DWORD kBoundMs = 20000;

// Dispatches this thread's messages until cond holds or the bound passes.
template <class Cond>
bool PumpUntil(Cond cond, DWORD dwBoundMs = kBoundMs)
{
    const DWORD dwStart = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (cond())
            return true;
        if (GetTickCount() - dwStart >= dwBoundMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

std::wstring EditText(HWND hEdit)
{
    const int n = static_cast<int>(SendMessageW(hEdit, WM_GETTEXTLENGTH, 0, 0));
    std::wstring str(static_cast<size_t>(n) + 1, L'\0');
    SendMessageW(hEdit, WM_GETTEXT, n + 1, reinterpret_cast<LPARAM>(&str[0]));
    str.resize(static_cast<size_t>(n));
    return str;
}

int LineCount(HWND hEdit)
{
    return static_cast<int>(SendMessageW(hEdit, EM_GETLINECOUNT, 0, 0));
}

// A log window as the main window makes it: created hidden, level set afterwards.
struct LogWindow {
    explicit LogWindow(int nLevel = LOG_LEVEL_SUMMARY) : pDlg(new CDebugDlg(nullptr))
    {
        EXPECT_TRUE(pDlg->Create(IDD_DEBUG, nullptr));
        pDlg->m_nLevel = nLevel;
        hDlg = pDlg->m_hWnd;
        hEdit = GetDlgItem(hDlg, IDC_EDIT_LOG);
    }
    ~LogWindow() { delete pDlg; }

    void Status(const std::string& strText) const
    {
        LogRecord record;
        record.nKind = LOG_STATUS;
        record.strText = strText;
        SendMessageA(hDlg, WM_LOG_RECORD, 0, reinterpret_cast<LPARAM>(&record));
    }
    void Block(int nKind, const std::string& strBytes) const
    {
        LogRecord record;
        record.nKind = nKind;
        record.strText = strBytes;
        SendMessageA(hDlg, WM_LOG_RECORD, strBytes.size(), reinterpret_cast<LPARAM>(&record));
    }
    bool WaitText(const std::wstring& strExpected) const
    {
        return PumpUntil([&] { return EditText(hEdit) == strExpected; });
    }
    bool WaitContains(const std::wstring& strPart) const
    {
        return PumpUntil([&] { return EditText(hEdit).find(strPart) != std::wstring::npos; });
    }

    CDebugDlg* pDlg;
    HWND hDlg = nullptr;
    HWND hEdit = nullptr;
};

// A status line as the control shows it: 19-character time stamp, blank, text, CR LF.
bool IsStatusLine(const std::wstring& strLine, const std::wstring& strText)
{
    return strLine.size() == 19 + 1 + strText.size() + 2 &&
           strLine.compare(20, strText.size(), strText) == 0 &&
           strLine.compare(strLine.size() - 2, 2, L"\r\n") == 0;
}

// The last line of the control, with its CR LF.
std::wstring LastLine(HWND hEdit)
{
    const std::wstring str = EditText(hEdit);
    const size_t nEnd = str.size() >= 2 ? str.size() - 2 : 0;
    const size_t nStart = str.rfind(L"\r\n", nEnd == 0 ? 0 : nEnd - 1);
    return nStart == std::wstring::npos ? str : str.substr(nStart + 2);
}

TEST(LogWindowLines, LineThatPassesFiveThousandEmptiesTheControlFirst)
{
    LogWindow log;
    for (int i = 1; i <= LOG_MAX_LINES; ++i)
        log.Status("line " + std::to_string(i));
    // 5000 lines and the empty line behind the last CR LF.
    ASSERT_TRUE(PumpUntil([&] { return LineCount(log.hEdit) == LOG_MAX_LINES + 1; }));
    EXPECT_TRUE(IsStatusLine(LastLine(log.hEdit), L"line 5000"));
    EXPECT_EQ(log.pDlg->m_nLineCount, LOG_MAX_LINES);

    log.Status("line 5001");
    ASSERT_TRUE(PumpUntil([&] { return LineCount(log.hEdit) == 2; }));
    EXPECT_TRUE(IsStatusLine(EditText(log.hEdit), L"line 5001"));
    EXPECT_EQ(log.pDlg->m_nLineCount, 0);
}

// Printable bytes, no connect-request start: a block as a host sends it.
std::string Block(size_t nSize)
{
    std::string str;
    for (size_t i = 0; i < nSize; ++i)
        str.push_back(static_cast<char>(0x30 + i % 78));
    return str;
}

// At level 99 a 4096-byte block makes a line of 12,333 characters: 81 of them stay below a
// million characters, the 82nd would pass it and empties the control first, whatever the
// line count.
TEST(LogWindowLines, LineThatWouldPassAMillionCharactersEmptiesTheControlFirst)
{
    LogWindow log(LOG_LEVEL_FULL);
    const std::string strBlock = Block(LOG_MAX_BLOCK);
    const int kFit = static_cast<int>(LOG_MAX_TEXT_CHARS / 12333);
    ASSERT_EQ(kFit, 81);
    for (int i = 0; i < kFit; ++i)
        log.Block(LOG_VAN_TO_CAT, strBlock);
    ASSERT_TRUE(PumpUntil([&] { return LineCount(log.hEdit) == kFit + 1; }));
    EXPECT_EQ(EditText(log.hEdit).size(), size_t(kFit) * 12333);
    EXPECT_EQ(log.pDlg->m_nLineCount, kFit);

    log.Block(LOG_VAN_TO_CAT, strBlock);
    ASSERT_TRUE(PumpUntil([&] { return LineCount(log.hEdit) == 2; }));
    EXPECT_EQ(EditText(log.hEdit).size(), 12333u);
    EXPECT_EQ(log.pDlg->m_nLineCount, 0);
}

SIZE_T WorkingSet()
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return pmc.WorkingSetSize;
}

// 5,001 level-99 records of 4096 bytes from another thread (as the host's receive thread
// sends them), through the automatic clears: the process keeps no more than the bound above
// its level before them. An undoable clear left a copy of the whole text in the control
// (some 235 MB), and the text itself grew to some 120 MB before the line limit emptied it.
// The bound: the text's limit (a million characters, 2 MB) and the sink queue's (4 MiB),
// each possibly doubled while it grows, and the heap's slack.
TEST(LogWindowMemory, FiveThousandAndOneFullBlocksStayWithinTheBound)
{
    constexpr SIZE_T kBound = SIZE_T(32) << 20;
    LogWindow log(LOG_LEVEL_FULL);
    const std::string strBlock = Block(LOG_MAX_BLOCK);
    log.Block(LOG_VAN_TO_CAT, strBlock);  // what one line costs is in the level
    ASSERT_TRUE(PumpUntil([&] { return LineCount(log.hEdit) == 2; }));
    const SIZE_T nBefore = WorkingSet();

    std::thread producer([&] {
        for (int i = 0; i < LOG_MAX_LINES + 1; ++i)
            log.Block(LOG_VAN_TO_CAT, strBlock);
        log.Status("END");
    });
    const bool bShown = PumpUntil([&] { return IsStatusLine(LastLine(log.hEdit), L"END"); }, 600000);
    producer.join();
    ASSERT_TRUE(bShown);
    const SIZE_T nAfter = WorkingSet();
    std::printf("working set %.1f MiB before, %.1f MiB after\n", nBefore / 1048576.0,
                nAfter / 1048576.0);
    EXPECT_LE(nAfter, nBefore + kBound);
}

// Clear empties the control and starts the count of the next automatic clear afresh: the
// control then takes 5000 lines before it is emptied again.
TEST(LogWindowLines, ClearEmptiesAReadOnlyControlAndRestartsTheCount)
{
    LogWindow log;
    for (int i = 1; i <= 10; ++i)
        log.Status("before " + std::to_string(i));
    ASSERT_TRUE(log.WaitContains(L"before 10\r\n"));
    SendMessageW(log.hDlg, WM_COMMAND, MAKEWPARAM(IDC_BUTTON_CLEAR, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(log.hDlg, IDC_BUTTON_CLEAR)));
    EXPECT_EQ(EditText(log.hEdit), L"");
    EXPECT_NE(GetWindowLongW(log.hEdit, GWL_STYLE) & ES_READONLY, 0);
    EXPECT_EQ(SendMessageW(log.hEdit, EM_CANUNDO, 0, 0), 0) << "a copy of the old text stays";
    EXPECT_EQ(log.pDlg->m_nLineCount, 0);

    for (int i = 1; i <= LOG_MAX_LINES; ++i)
        log.Status("after " + std::to_string(i));
    // 5000 lines and the empty line behind the last CR LF: no automatic clear came early.
    ASSERT_TRUE(PumpUntil([&] { return LineCount(log.hEdit) == LOG_MAX_LINES + 1; }));
    const std::wstring strText = EditText(log.hEdit);
    EXPECT_TRUE(IsStatusLine(strText.substr(0, strText.find(L"\r\n") + 2), L"after 1"));
}

TEST(LogWindowLines, LinesQueuedInTheSinkAppearAfterAClear)
{
    LogWindow log;
    log.Status("shown");
    ASSERT_TRUE(log.WaitContains(L"shown\r\n"));
    // Logged while the sink's flush has not run yet (no message pumped in between).
    log.Status("queued 1");
    log.Status("queued 2");
    SendMessageW(log.hDlg, WM_COMMAND, MAKEWPARAM(IDC_BUTTON_CLEAR, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(log.hDlg, IDC_BUTTON_CLEAR)));
    ASSERT_TRUE(PumpUntil([&] { return LineCount(log.hEdit) == 3; }));
    const std::wstring strText = EditText(log.hEdit);
    EXPECT_EQ(strText.find(L"shown"), std::wstring::npos);
    EXPECT_NE(strText.find(L"queued 1\r\n"), std::wstring::npos);
    EXPECT_NE(strText.find(L"queued 2\r\n"), std::wstring::npos);
}

// Hidden, the sink gathers lines for one insertion; opening the window puts them in at once,
// before the window paints (nothing is pumped in between here).
TEST(LogWindowLines, CloseHidesAndLinesLoggedMeanwhileAreThereWhenItOpens)
{
    LogWindow log;
    ShowWindow(log.hDlg, SW_SHOW);
    log.Status("while shown");
    ASSERT_TRUE(log.WaitContains(L"while shown\r\n"));
    SendMessageW(log.hDlg, WM_COMMAND, MAKEWPARAM(IDC_BUTTON_HIDE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(log.hDlg, IDC_BUTTON_HIDE)));
    EXPECT_FALSE(IsWindowVisible(log.hDlg));
    log.Status("while hidden");
    ShowWindow(log.hDlg, SW_SHOW);
    const std::wstring strText = EditText(log.hEdit);
    EXPECT_NE(strText.find(L"while shown\r\n"), std::wstring::npos);
    EXPECT_NE(strText.find(L"while hidden\r\n"), std::wstring::npos);
}

// The main window creates the log window hidden and logs into it from the start; a user who
// opens it later must find the newest lines at the end, with the caret there, and the view
// following new lines.
TEST(LogWindowLines, WindowOpenedAfterHiddenLoggingFollowsTheEnd)
{
    LogWindow log;
    log.Status("logged while hidden");
    ASSERT_TRUE(log.WaitContains(L"logged while hidden\r\n"));
    ShowWindow(log.hDlg, SW_SHOW);
    log.Status("logged while shown");
    ASSERT_TRUE(log.WaitContains(L"logged while shown\r\n"));
    DWORD dwStart = 0, dwEnd = 0;
    SendMessageW(log.hEdit, EM_GETSEL, reinterpret_cast<WPARAM>(&dwStart),
                 reinterpret_cast<LPARAM>(&dwEnd));
    const DWORD dwLength = static_cast<DWORD>(EditText(log.hEdit).size());
    EXPECT_EQ(dwStart, dwLength);
    EXPECT_EQ(dwEnd, dwLength);
}

// cout and wcout of this program, which links the log code as pellarin.dll does.
TEST(LogWindowStreams, CoutAndWcoutLinesShowInTheWindow)
{
    std::streambuf* pCoutBefore = std::cout.rdbuf();
    std::wstreambuf* pWcoutBefore = std::wcout.rdbuf();
    {
        LogWindow log;
        std::cout << "narrow \xC7\xD1\xB1\xDB line" << std::endl;  // Hangul in code page 949
        std::wcout << L"wide \xD55C\xAE00 line\n";
        EXPECT_TRUE(log.WaitContains(L"narrow \xD55C\xAE00 line\r\n"));
        EXPECT_TRUE(log.WaitContains(L"wide \xD55C\xAE00 line\r\n"));
        // Held in the put area until a line feed inside a string or a flush arrives.
        std::cout << "abc";
        std::cout.put('\n');
        log.Status("marker");
        ASSERT_TRUE(log.WaitContains(L"marker\r\n"));
        EXPECT_EQ(EditText(log.hEdit).find(L"abc"), std::wstring::npos);
        std::cout.flush();
        EXPECT_TRUE(log.WaitContains(L"abc\r\n"));
    }
    EXPECT_EQ(std::cout.rdbuf(), pCoutBefore);
    EXPECT_EQ(std::wcout.rdbuf(), pWcoutBefore);
}

// The main window destroys the log window at its own WM_DESTROY while other threads of the
// process may be writing to cout. The writer must neither crash nor stop, and after the
// destruction its text goes to cout's former buffer.
TEST(LogWindowStreams, WriterThreadKeepsWritingWhileTheWindowIsDestroyed)
{
    std::stringbuf former;
    std::streambuf* pCoutBefore = std::cout.rdbuf(&former);
    std::atomic<bool> bStop{false};
    std::atomic<long> nWrites{0};
    long nWritesAtDestroy = 0;
    // Paced at about one line a millisecond: an unpaced writer floods the control faster
    // than the edit control can take text, and the test would measure the control instead.
    HANDLE hPace = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        LogWindow log;
        std::thread writer([&] {
            while (!bStop.load()) {
                WaitForSingleObject(hPace, 1);
                std::cout << "tick " << nWrites.load() << "\n";
                std::cout.put('.');
                std::cout.flush();
                ++nWrites;
            }
        });
        EXPECT_TRUE(log.WaitContains(L"tick 1\r\n"));
        delete log.pDlg;  // destroys the window with the writer running
        log.pDlg = nullptr;
        nWritesAtDestroy = nWrites.load();
        const bool bWroteOn = PumpUntil([&] { return nWrites.load() > nWritesAtDestroy + 200; });
        bStop = true;
        writer.join();
        EXPECT_TRUE(bWroteOn);
    }
    CloseHandle(hPace);
    std::cout.rdbuf(pCoutBefore);
    const std::string strFormer = former.str();
    EXPECT_NE(strFormer.find("tick " + std::to_string(nWrites.load() - 1) + "\n"), std::string::npos);
}


TEST(LogWindowScreenshot, LevelFullWithHangul)
{
    const char* pszDir = std::getenv("PELLARIN_SCREENSHOT_DIR");
    if (pszDir == nullptr)
        GTEST_SKIP() << "PELLARIN_SCREENSHOT_DIR not set";
    LogWindow log(LOG_LEVEL_FULL);
    ShowWindow(log.hDlg, SW_SHOW);
    // "승인 요청" and "승인 완료" in code page 949, inside terminal and host blocks.
    const std::string strRequest = "\xBD\xC2\xC0\xCE \xBF\xE4\xC3\xBB";
    const std::string strDone = "\xBD\xC2\xC0\xCE \xBF\xCF\xB7\xE1";
    for (int i = 0; i < 300; ++i) {
        if (i % 50 == 0)
            log.Status("\xC1\xA2\xBC\xD3 127.0.0.1:" + std::to_string(9000 + i));  // "접속"
        log.Block(LOG_CAT_TO_VAN, "\x02" "REQ" + std::to_string(i) + " " + strRequest + "\x03");
        log.Block(LOG_VAN_TO_CAT, "\x02" "ANS" + std::to_string(i) + " " + strDone + "\x03");
        log.Block(LOG_CAT_TO_VAN, "\x06");
    }
    std::cout << "cout: \xC7\xD1\xB1\xDB" << std::endl;
    ASSERT_TRUE(log.WaitContains(L"cout: \xD55C\xAE00\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return GetUpdateRect(log.hDlg, nullptr, FALSE) == FALSE; }));
    RedrawWindow(log.hDlg, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    const int nLen = MultiByteToWideChar(CP_ACP, 0, pszDir, -1, nullptr, 0);
    std::wstring strDir(static_cast<size_t>(nLen), L'\0');
    MultiByteToWideChar(CP_ACP, 0, pszDir, -1, &strDir[0], nLen);
    strDir.resize(static_cast<size_t>(nLen - 1));
    EXPECT_TRUE(WriteWindowAreaBmp(log.hDlg, strDir + L"\\log-window-level99.bmp"));
}

}  // namespace
