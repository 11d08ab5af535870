// CCom against a real serial device: Wine's COM1, wired by tools/with-ptys.sh to a pty
// null-modem pair whose other end the terminal simulator (tools/termsim.py serve) drives.
// Notifications go to a message-only window on the test thread; every assertion is on bytes
// that really crossed the pty and on notifications that really arrived.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "serial/ccom.h"
#include "tests/wine/termsim_client.h"
#include "ui/thread.h"

namespace {

const char kPort[] = "COM1";
constexpr DWORD kArriveMs = 10000; // bound on any wait for bytes to arrive
constexpr DWORD kPromptMs = 2000;  // what "returns promptly" means here

// Bytes that tell order and position apart: every value, zero bytes included.
std::string Pattern(size_t nLength, unsigned nSeed)
{
    std::string s(nLength, '\0');
    unsigned x = nSeed * 2654435761u + 1;
    for (size_t i = 0; i < nLength; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>((x >> 16) & 0xFF);
    }
    return s;
}

DWORD HandleCount()
{
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

// Process CPU time (user + kernel) in milliseconds.
double ProcessCpuMs()
{
    FILETIME ftCreate, ftExit, ftKernel, ftUser;
    GetProcessTimes(GetCurrentProcess(), &ftCreate, &ftExit, &ftKernel, &ftUser);
    auto ms = [](const FILETIME& ft) {
        return ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000.0;
    };
    return ms(ftKernel) + ms(ftUser);
}

HANDLE DuplicateOf(HANDLE h)
{
    HANDLE hDup = nullptr;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &hDup, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return hDup;
}

std::string SizesText(const std::vector<DWORD>& sizes)
{
    std::string s;
    for (DWORD n : sizes)
        s += (s.empty() ? "" : ",") + std::to_string(n);
    return "[" + s + "]";
}

// Ends the process with a message if it is not dismissed within its time: a deadlock in the
// code under test would otherwise hang the run until the CTest time-out.
class CWatchdog {
public:
    CWatchdog(const char* pszWhat, DWORD dwTimeoutMs)
        : m_pszWhat(pszWhat), m_dwTimeoutMs(dwTimeoutMs),
          m_hDone(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_hThread(AfxBeginThread(Proc, this))
    {
    }
    ~CWatchdog()
    {
        SetEvent(m_hDone);
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
        CloseHandle(m_hDone);
    }
    CWatchdog(const CWatchdog&) = delete;
    CWatchdog& operator=(const CWatchdog&) = delete;

private:
    static unsigned Proc(void* pParam)
    {
        auto* pSelf = static_cast<CWatchdog*>(pParam);
        if (WaitForSingleObject(pSelf->m_hDone, pSelf->m_dwTimeoutMs) == WAIT_TIMEOUT) {
            std::printf("DEADLOCK: %s did not finish within %lu ms\n", pSelf->m_pszWhat,
                        static_cast<unsigned long>(pSelf->m_dwTimeoutMs));
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return 0;
    }

    const char* m_pszWhat;
    DWORD m_dwTimeoutMs;
    HANDLE m_hDone;
    HANDLE m_hThread;
};

// A message-only window that records each WM_COMM_RXCHAR: its count and the bytes the port
// object held at that moment.
class CNotifySink {
public:
    explicit CNotifySink(CCom& com) : m_com(com)
    {
        static ATOM s_atom = [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = WndProc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "PellarinSerialTestSink";
            return RegisterClassA(&wc);
        }();
        (void)s_atom;
        m_hWnd = CreateWindowExA(0, "PellarinSerialTestSink", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, GetModuleHandleA(nullptr), this);
    }
    ~CNotifySink() { DestroyWindow(m_hWnd); }

    HWND Window() const { return m_hWnd; }
    size_t TotalBytes() const { return m_strBytes.size(); }
    const std::string& Bytes() const { return m_strBytes; }
    const std::vector<DWORD>& Sizes() const { return m_sizes; }
    // The wParam of every WM_COMM_LOST, in order.
    const std::vector<LONG>& LostNotices() const { return m_lost; }
    std::function<void()> onNotify; // runs inside the handler, after the bytes are copied

private:
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        if (uMsg == WM_NCCREATE) {
            auto* pCreate = reinterpret_cast<CREATESTRUCTA*>(lParam);
            SetWindowLongPtrA(hWnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
        }
        auto* pSelf = reinterpret_cast<CNotifySink*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
        if (uMsg == WM_COMM_RXCHAR && pSelf) {
            const DWORD dwCount = static_cast<DWORD>(wParam);
            pSelf->m_sizes.push_back(dwCount);
            const DWORD dwCopy = dwCount > COMM_RX_BUFFER ? COMM_RX_BUFFER : dwCount;
            pSelf->m_strBytes.append(reinterpret_cast<const char*>(pSelf->m_com.m_abRxBuf),
                                     dwCopy);
            if (pSelf->onNotify)
                pSelf->onNotify();
            return 0;
        }
        if (uMsg == WM_COMM_LOST && pSelf) {
            pSelf->m_lost.push_back(static_cast<LONG>(wParam));
            return 0;
        }
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }

    CCom& m_com;
    HWND m_hWnd = nullptr;
    std::string m_strBytes;
    std::vector<DWORD> m_sizes;
    std::vector<LONG> m_lost;
};

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_term.Connect()) << m_term.Error();
        ASSERT_TRUE(m_term.Open(kPort)) << m_term.Error();
        ASSERT_NE(m_sink.Window(), nullptr);
        m_com.SetPortConfig(kPort, CBR_9600, 8, ONESTOPBIT, NOPARITY);
    }

    void TearDown() override
    {
        EXPECT_EQ(m_com.ClosePort(), 1);
        // No notification, in any test, may carry 0 bytes or more than the buffer holds.
        for (DWORD n : m_sink.Sizes())
            EXPECT_TRUE(n >= 1 && n <= static_cast<DWORD>(COMM_RX_BUFFER)) << "count " << n;
        m_term.Close(kPort);
    }

    bool Open()
    {
        if (m_com.OpenPort() != 1)
            return false;
        m_com.SetNotifyWindow(m_sink.Window());
        return true;
    }

    bool WaitForBytes(size_t nBytes, DWORD dwTimeoutMs = kArriveMs)
    {
        return PumpUntil([&] { return m_sink.TotalBytes() >= nBytes; }, dwTimeoutMs);
    }

    CCom m_com;
    CNotifySink m_sink{m_com};
    CTermSimClient m_term;
};

// ---- receiving -----------------------------------------------------------------------------

struct ReceiveCase {
    const char* pszName;
    std::vector<size_t> frameSizes;
    bool bPaced;
    int nGapMs;
    std::vector<DWORD> expectedBursts; // empty: only the general rules are checked
};

const ReceiveCase kReceiveCases[] = {
    // A frame ends with 100 ms of silence: one read, one notification.
    {"one 30-byte frame", {30}, true, 0, {30}},
    {"two frames 150 ms apart", {20, 25}, true, 150, {20, 25}},
    // The buffer fills while 4 bytes wait; nothing follows them, so they must come without
    // a further character to wake the watch thread.
    {"4100 bytes unpaced, nothing after", {4100}, false, 0, {4096, 4}},
    // A frame paced at 9600 bit/s outlasts a read's total time-out (1 ms per byte asked,
    // the line needs 1.04): the read that the time-out cuts must not end the burst.
    {"4000-byte frame paced", {4000}, true, 0, {4000}},
    // More than the buffer at once: split, none lost, order kept.
    {"5000 bytes unpaced", {5000}, false, 0, {}},
};

class ReceiveTest : public SerialPortTest, public testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceiveTest, BurstsCarryEveryByteInOrder)
{
    const ReceiveCase& c = GetParam();
    ASSERT_TRUE(Open());
    std::vector<std::string> frames;
    std::string strAll;
    for (size_t i = 0; i < c.frameSizes.size(); ++i) {
        frames.push_back(Pattern(c.frameSizes[i], static_cast<unsigned>(i + 1)));
        strAll += frames.back();
    }
    ASSERT_TRUE(m_term.Send(kPort, frames, c.bPaced, c.nGapMs)) << m_term.Error();

    EXPECT_TRUE(WaitForBytes(strAll.size()))
        << "got " << m_sink.TotalBytes() << " of " << strAll.size() << " bytes, bursts "
        << SizesText(m_sink.Sizes());
    EXPECT_TRUE(m_sink.Bytes() == strAll) << "bytes differ, bursts " << SizesText(m_sink.Sizes());
    if (!c.expectedBursts.empty()) {
        EXPECT_EQ(SizesText(m_sink.Sizes()), SizesText(c.expectedBursts));
    }
    std::printf("[ figures  ] %s: bursts %s\n", c.pszName, SizesText(m_sink.Sizes()).c_str());
}

INSTANTIATE_TEST_SUITE_P(Frames, ReceiveTest, testing::ValuesIn(kReceiveCases),
                         [](const testing::TestParamInfo<ReceiveCase>& info) {
                             std::string s;
                             for (const char* p = info.param.pszName; *p; ++p)
                                 s += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return s;
                         });

// ---- writing -------------------------------------------------------------------------------

TEST_F(SerialPortTest, HostWritesArriveIntactWhileTheWatchThreadReads)
{
    ASSERT_TRUE(Open());
    constexpr int kChunks = 40;
    constexpr int kChunk = 100;
    const std::string strOut = Pattern(kChunks * kChunk, 77);
    std::vector<int> results(kChunks, -1);
    std::thread writer([&] {
        for (int i = 0; i < kChunks; ++i)
            results[i] = m_com.WritePort(strOut.data() + i * kChunk, kChunk);
    });
    const std::vector<std::string> frames = {Pattern(60, 5), Pattern(60, 6), Pattern(60, 7)};
    const bool bSent = m_term.Send(kPort, frames, true, 150);
    writer.join();
    ASSERT_TRUE(bSent) << m_term.Error();

    for (int i = 0; i < kChunks; ++i)
        EXPECT_EQ(results[i], kChunk) << "write " << i;
    const std::string strAtTerminal = m_term.Received(kPort, strOut.size(), kArriveMs);
    EXPECT_TRUE(strAtTerminal == strOut) << "terminal got " << strAtTerminal.size() << " bytes";
    EXPECT_TRUE(WaitForBytes(180));
    EXPECT_TRUE(m_sink.Bytes() == frames[0] + frames[1] + frames[2]);
}

// ---- open and close ------------------------------------------------------------------------

struct CloseCase {
    const char* pszName;
    bool bOpenFirst;
    int nCloses;
};

const CloseCase kCloseCases[] = {
    {"never opened", false, 1},
    {"never opened, closed twice", false, 2},
    {"opened, closed twice", true, 2},
};

TEST_F(SerialPortTest, ClosePortAlwaysSucceedsAndLeavesNothingOpen)
{
    for (const CloseCase& c : kCloseCases) {
        SCOPED_TRACE(c.pszName);
        CCom com;
        com.SetPortConfig(kPort, CBR_9600, 8, ONESTOPBIT, NOPARITY);
        const DWORD dwHandles = HandleCount();
        if (c.bOpenFirst) {
            ASSERT_EQ(com.OpenPort(), 1);
        }
        for (int i = 0; i < c.nCloses; ++i)
            EXPECT_EQ(com.ClosePort(), 1) << "close " << i + 1;
        EXPECT_EQ(com.m_hPort, nullptr);
        EXPECT_EQ(com.m_bRunning.load(), 0);
        EXPECT_EQ(com.WritePort("x", 1), 0) << "a closed port accepted a write";
        EXPECT_EQ(HandleCount(), dwHandles);
    }
}

BOOL CALLBACK CountWindow(HWND, LPARAM lParam)
{
    ++*reinterpret_cast<int*>(lParam);
    return TRUE;
}

BOOL CALLBACK CloseWindow(HWND hWnd, LPARAM)
{
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    return TRUE;
}

struct OpenerArgs {
    CCom* pCom;
    std::atomic<int> nResult{-1};
};

unsigned OpenerProc(void* pParam)
{
    auto* pArgs = static_cast<OpenerArgs*>(pParam);
    pArgs->nResult = pArgs->pCom->OpenPort();
    return 0;
}

// Counts the windows a thread owns (a message box would be one).
int ThreadWindowCount(DWORD dwThreadId)
{
    int n = 0;
    EnumThreadWindows(dwThreadId, CountWindow, reinterpret_cast<LPARAM>(&n));
    return n;
}

TEST_F(SerialPortTest, OpenOfAMissingPortFailsSilentlyAndLeaksNoHandle)
{
    CCom com;
    com.SetPortConfig("COM9", CBR_9600, 8, ONESTOPBIT, NOPARITY);
    DWORD dwHandles = 0;
    // Round 0 may leave handles that Wine caches on the first use of a device name; from
    // then on every round must end with the count it started with.
    for (int nRound = 0; nRound < 4; ++nRound) {
        SCOPED_TRACE("round " + std::to_string(nRound));
        // On a thread of its own, so that a message box would show as a window of that
        // thread instead of blocking the test.
        OpenerArgs args{&com};
        HANDLE hOpener = AfxBeginThread(OpenerProc, &args);
        ASSERT_NE(hOpener, nullptr);
        const DWORD dwOpenerId = GetThreadId(hOpener);
        const DWORD dwStart = GetTickCount();
        while (WaitForSingleObject(hOpener, 10) == WAIT_TIMEOUT &&
               GetTickCount() - dwStart < kPromptMs && ThreadWindowCount(dwOpenerId) == 0) {
        }
        const int nWindows = ThreadWindowCount(dwOpenerId);
        EnumThreadWindows(dwOpenerId, CloseWindow, 0); // end with a failure, not a hang
        WaitForSingleObject(hOpener, INFINITE);
        CloseHandle(hOpener);
        const int nResult = args.nResult;
        EXPECT_EQ(nWindows, 0) << "OpenPort showed a window";
        EXPECT_EQ(nResult, 0);
        EXPECT_EQ(com.m_hPort, nullptr);
        EXPECT_EQ(com.m_bRunning.load(), 0);
        if (nRound > 0) {
            EXPECT_EQ(HandleCount(), dwHandles);
        }
        dwHandles = HandleCount();
    }
}

TEST_F(SerialPortTest, AfterClosePortTheWatchThreadHasEndedAndSendsNothing)
{
    const DWORD dwHandles = HandleCount();
    ASSERT_TRUE(Open());
    const std::string strFrame = Pattern(30, 3);
    ASSERT_TRUE(m_term.Send(kPort, {strFrame}, true, 0));
    ASSERT_TRUE(WaitForBytes(30));
    HANDLE hThread = DuplicateOf(m_com.m_hWatchThread);
    ASSERT_NE(hThread, nullptr);

    EXPECT_EQ(m_com.ClosePort(), 1);
    EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_OBJECT_0) << "watch thread still running";
    DWORD dwExit = 0;
    GetExitCodeThread(hThread, &dwExit);
    EXPECT_EQ(dwExit, 1u);
    CloseHandle(hThread);
    EXPECT_EQ(HandleCount(), dwHandles) << "open and close left handles behind";

    // A frame after the close finds no reader: nothing more reaches the window.
    const size_t nBefore = m_sink.Sizes().size();
    ASSERT_TRUE(m_term.Send(kPort, {Pattern(30, 4)}, true, 0));
    PumpPendingMessages();
    EXPECT_EQ(m_sink.Sizes().size(), nBefore);
}

// The watch thread is inside SendMessage to a window of this thread, which is not handling
// messages; ClosePort on this thread must still return promptly (it handles the message
// while it waits for the thread).
TEST_F(SerialPortTest, ClosePortWhileTheWatchThreadWaitsInSendMessage)
{
    ASSERT_TRUE(Open());
    const std::string strFrame = Pattern(30, 9);
    ASSERT_TRUE(m_term.Send(kPort, {strFrame}, true, 0, /*bPump=*/false));
    // Returns as soon as a sent message waits for this thread, without handling it.
    ASSERT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, kArriveMs, QS_SENDMESSAGE,
                                          MWMO_INPUTAVAILABLE),
              WAIT_OBJECT_0);
    ASSERT_TRUE(HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE);
    HANDLE hThread = DuplicateOf(m_com.m_hWatchThread);

    const DWORD dwStart = GetTickCount();
    {
        CWatchdog watchdog("ClosePort with the watch thread in SendMessage", 15000);
        EXPECT_EQ(m_com.ClosePort(), 1);
    }
    const DWORD dwTook = GetTickCount() - dwStart;
    EXPECT_LT(dwTook, kPromptMs);
    EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_OBJECT_0);
    CloseHandle(hThread);
    EXPECT_TRUE(m_sink.Bytes() == strFrame) << "the pending notification was not delivered";
    std::printf("[ figures  ] ClosePort with the watch thread in SendMessage: %lu ms\n",
                static_cast<unsigned long>(dwTook));
}

// The notify window's handler itself closes the port: the watch thread waits for that very
// handler, so ClosePort must release it before waiting.
TEST_F(SerialPortTest, ClosePortFromInsideTheNotificationHandler)
{
    ASSERT_TRUE(Open());
    HANDLE hThread = DuplicateOf(m_com.m_hWatchThread);
    int nResult = -1;
    DWORD dwTook = 0;
    bool bCalled = false;
    m_sink.onNotify = [&] {
        if (bCalled)
            return;
        bCalled = true;
        const DWORD dwStart = GetTickCount();
        CWatchdog watchdog("ClosePort inside the notification handler", 15000);
        nResult = m_com.ClosePort();
        dwTook = GetTickCount() - dwStart;
    };
    ASSERT_TRUE(m_term.Send(kPort, {Pattern(30, 11)}, true, 0));
    ASSERT_TRUE(PumpUntil([&] { return nResult != -1; }, kArriveMs + kPromptMs));
    EXPECT_EQ(nResult, 1);
    EXPECT_LT(dwTook, kPromptMs);
    EXPECT_EQ(WaitForSingleObject(hThread, kPromptMs), WAIT_OBJECT_0);
    CloseHandle(hThread);
}

TEST_F(SerialPortTest, CloseAndReopenWhileAnotherThreadWrites)
{
    ASSERT_TRUE(Open());
    constexpr int kChunk = 64;
    const std::string strChunk = Pattern(kChunk, 21);
    std::atomic<bool> bStop{false};
    std::atomic<int> nWrites{0};
    std::atomic<int> nFullWrites{0};
    std::atomic<int> nBadResults{0};
    std::thread writer([&] {
        while (!bStop) {
            const int n = m_com.WritePort(strChunk.data(), kChunk);
            if (n < 0 || n > kChunk)
                ++nBadResults;
            if (n == kChunk)
                ++nFullWrites;
            ++nWrites;
        }
    });
    constexpr int kCycles = 20;
    int nReopened = 0;
    CWatchdog watchdog("close and reopen under concurrent writes", 60000);
    for (int i = 0; i < kCycles; ++i) {
        EXPECT_EQ(m_com.ClosePort(), 1);
        if (m_com.OpenPort() == 1)
            ++nReopened;
        m_com.SetNotifyWindow(m_sink.Window());
        PumpPendingMessages();
    }
    bStop = true;
    writer.join();
    EXPECT_EQ(nReopened, kCycles);
    EXPECT_EQ(nBadResults.load(), 0);
    EXPECT_GT(nWrites.load(), 0);
    std::printf("[ figures  ] %d close/open cycles under %d concurrent writes (%d complete)\n",
                kCycles, nWrites.load(), nFullWrites.load());

    // The port left open by the last cycle still works both ways.
    const std::string strMark = "\x02PELLARIN-MARK\x03";
    EXPECT_EQ(m_com.WritePort(strMark.data(), static_cast<int>(strMark.size())),
              static_cast<int>(strMark.size()));
    const std::string strFrame = Pattern(30, 22);
    ASSERT_TRUE(m_term.Send(kPort, {strFrame}, true, 0));
    const size_t nBefore = m_sink.TotalBytes();
    ASSERT_TRUE(WaitForBytes(nBefore + strFrame.size()));
    EXPECT_TRUE(m_sink.Bytes().substr(m_sink.Bytes().size() - strFrame.size()) == strFrame);
    // Writes of the cycles may still be arriving; the mark is the last thing written.
    const std::string strAtTerminal = m_term.ReceivedEndingWith(kPort, strMark, kArriveMs);
    EXPECT_TRUE(strAtTerminal.size() >= strMark.size() &&
                strAtTerminal.compare(strAtTerminal.size() - strMark.size(), strMark.size(),
                                      strMark) == 0)
        << "the mark written after the cycles did not arrive last";
}

// The pty pair dies under an open port, as a USB adapter pulled out would: the watch thread
// neither spins nor goes on as if the line were quiet; it reports the loss once and ends. The
// port stays claimed while it is reopened, and the reopen reads again once the device is back.
TEST_F(SerialPortTest, VanishedDeviceIsReportedOnceAndReopensWithItsClaimKept)
{
    const DWORD dwHandles = HandleCount();
    ASSERT_TRUE(Open());
    ASSERT_TRUE(m_term.Send(kPort, {Pattern(30, 31)}, true, 0));
    ASSERT_TRUE(WaitForBytes(30));
    HANDLE hThread = DuplicateOf(m_com.m_hWatchThread);
    const LONG nOpening = m_com.Opening();

    ASSERT_TRUE(m_term.Kill(kPort)) << m_term.Error();
    const DWORD dwKilled = GetTickCount();
    // A fixed measurement window (not a wait for a state): CPU used by the whole process in
    // the second after the device went away. A spinning loop would use about 1000 ms.
    const double dCpuStart = ProcessCpuMs();
    ASSERT_TRUE(PumpUntil([&] { return !m_sink.LostNotices().empty(); }, 5000))
        << "the loss was never reported";
    const DWORD dwReported = GetTickCount() - dwKilled;
    Sleep(1000);
    PumpPendingMessages();
    const double dCpuMs = ProcessCpuMs() - dCpuStart;
    const DWORD dwWall = GetTickCount() - dwKilled;
    std::printf("[ figures  ] device gone: reported after %lu ms; CPU %.1f ms in %lu ms\n",
                static_cast<unsigned long>(dwReported), dCpuMs,
                static_cast<unsigned long>(dwWall));
    EXPECT_LT(dCpuMs, 0.15 * dwWall);
    EXPECT_EQ(m_sink.LostNotices(), std::vector<LONG>{nOpening}) << "reported more than once";

    EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_OBJECT_0) << "the watch thread goes on";
    DWORD dwExit = 99;
    GetExitCodeThread(hThread, &dwExit);
    EXPECT_EQ(dwExit, 0u);
    CloseHandle(hThread);
    EXPECT_LE(m_com.WritePort("x", 1), 1); // a write to the gone device fails, never hangs

    // Still gone: the reopen fails, quickly, and keeps the claim.
    const DWORD dwReopenStart = GetTickCount();
    EXPECT_EQ(m_com.ReopenPort(), 0);
    EXPECT_LT(GetTickCount() - dwReopenStart, kPromptMs);
    EXPECT_EQ(m_com.m_hPort, nullptr);
    CCom other;
    other.SetPortConfig(kPort, CBR_9600, 8, ONESTOPBIT, NOPARITY);
    ASSERT_TRUE(m_term.Start(kPort)) << m_term.Error();
    EXPECT_EQ(other.OpenPort(), 0) << "another port object took the port being reopened";

    ASSERT_EQ(m_com.ReopenPort(), 1);
    EXPECT_GT(m_com.Opening(), nOpening);
    m_com.SetNotifyWindow(m_sink.Window());
    const std::string strFrame = Pattern(30, 32);
    ASSERT_TRUE(m_term.Send(kPort, {strFrame}, true, 0));
    EXPECT_TRUE(WaitForBytes(60));
    EXPECT_EQ(m_sink.Bytes().substr(30), strFrame);

    EXPECT_EQ(m_com.ClosePort(), 1);
    EXPECT_EQ(HandleCount(), dwHandles);
}

// One port object per port, whatever the spelling: a second one fails as a missing port
// does, the first goes on reading and writing, and the port is free again after its close.
TEST_F(SerialPortTest, APortHeldByAnotherPortObjectCannotBeOpened)
{
    ASSERT_TRUE(Open());
    for (const char* pszName : {"COM1", "com1", "\\\\.\\COM1"}) {
        SCOPED_TRACE(pszName);
        CCom second;
        second.SetPortConfig(pszName, CBR_9600, 8, ONESTOPBIT, NOPARITY);
        EXPECT_EQ(second.OpenPort(), 0);
        EXPECT_EQ(second.m_hPort, nullptr);
        EXPECT_EQ(second.m_bRunning.load(), 0);
    }
    const std::string strFrame = Pattern(30, 41);
    ASSERT_TRUE(m_term.Send(kPort, {strFrame}, true, 0));
    EXPECT_TRUE(WaitForBytes(30));
    EXPECT_TRUE(m_sink.Bytes() == strFrame) << "the first port object lost bytes";
    const std::string strMark = "\x02STILL-MINE\x03";
    EXPECT_EQ(m_com.WritePort(strMark.data(), static_cast<int>(strMark.size())),
              static_cast<int>(strMark.size()));
    EXPECT_EQ(m_term.Received(kPort, strMark.size(), kArriveMs), strMark);

    EXPECT_EQ(m_com.ClosePort(), 1);
    CCom second;
    second.SetPortConfig("\\\\.\\COM1", CBR_9600, 8, ONESTOPBIT, NOPARITY);
    EXPECT_EQ(second.OpenPort(), 1) << "the port stayed claimed after its close";
    EXPECT_EQ(second.ClosePort(), 1);
}

// A thread handed something that is not a port object ends at once with (unsigned)-1.
TEST(CommWatchProcTest, RejectsAParameterThatIsNotAPort)
{
    CObject notAPort;
    EXPECT_EQ(CCom::CommWatchProc(nullptr), static_cast<unsigned>(-1));
    EXPECT_EQ(CCom::CommWatchProc(&notAPort), static_cast<unsigned>(-1));
}

} // namespace
