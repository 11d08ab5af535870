// Figures for the transaction-log window (printed, never asserted): how fast records become
// lines in the control, how much memory a long run takes, how fast another thread can write
// to cout, and how quickly the user-interface thread answers while a producer streams.
//
// Each measurement runs in a process of its own (tools/log_bench.sh starts them), on a real
// CDebugDlg, edit control and sink. Producers run on a thread of their own and reach the
// window through SendMessage, as the host receive thread does; the main thread is the
// user-interface thread and pumps messages.
//
//   log_bench rate LEVEL shown|hidden|scrolled N   records/s of 4096-byte blocks, and the
//                                                   working set before, at its highest
//                                                   during and after them
//   log_bench peak LEVEL N                          peak working set after N records (hidden)
//   log_bench cout N BUSY_MS                        cout lines/s while the UI thread is busy
//   log_bench ui LEVEL BLOCK PAUSE_MS SECONDS       answer times to a sent message, and the
//                                                   time to show a question box, while a
//                                                   producer streams
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "log/debug_dlg.h"
#include "log/log_record.h"
#include "res/resource.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point t0, Clock::time_point t1)
{
    return std::chrono::duration<double>(t1 - t0).count();
}

void PumpOnce()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

template <class Cond>
void PumpUntil(Cond cond)
{
    while (!cond()) {
        PumpOnce();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

// The second-to-last line of the control (the last one is empty behind the final CR LF).
std::wstring LastFullLine(HWND hEdit)
{
    const int nLines = static_cast<int>(SendMessageW(hEdit, EM_GETLINECOUNT, 0, 0));
    if (nLines < 2)
        return L"";
    wchar_t sz[256] = {0};
    *reinterpret_cast<WORD*>(sz) = 255;
    const LRESULT n = SendMessageW(hEdit, EM_GETLINE, nLines - 2, reinterpret_cast<LPARAM>(sz));
    return std::wstring(sz, static_cast<size_t>(n));
}

std::string Block(int nSize)
{
    std::string s;
    for (int i = 0; i < nSize; ++i)
        s.push_back(static_cast<char>(0x30 + i % 78));  // printable, not a connect request
    return s;
}

void SendRecord(HWND hDlg, int nKind, const std::string& strText, WPARAM wCount)
{
    LogRecord record;
    record.nKind = nKind;
    record.strText = strText;
    SendMessageA(hDlg, WM_LOG_RECORD, wCount, reinterpret_cast<LPARAM>(&record));
}

struct Window {
    explicit Window(int nLevel) : dlg(nullptr)
    {
        dlg.Create(IDD_DEBUG, nullptr);
        dlg.m_nLevel = nLevel;
        hDlg = dlg.m_hWnd;
        hEdit = GetDlgItem(hDlg, IDC_EDIT_LOG);
    }
    CDebugDlg dlg;
    HWND hDlg;
    HWND hEdit;
};

PROCESS_MEMORY_COUNTERS Memory()
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc;
}

double MiB(SIZE_T n)
{
    return n / 1048576.0;
}

// Sends n blocks from a producer thread, then an end marker, and waits until the marker is
// the control's last line. pnHighest, when given, gets the highest working set seen while
// the records went through (read every 100 ms and at the end).
double RunRecords(Window& w, int n, int nBlock, SIZE_T* pnHighest = nullptr)
{
    const std::string strBlock = Block(nBlock);
    std::atomic<bool> bDone{false};
    std::atomic<SIZE_T> nHighest{0};
    std::thread sampler;
    if (pnHighest != nullptr)
        sampler = std::thread([&] {
            while (!bDone.load()) {
                nHighest = std::max<SIZE_T>(nHighest.load(), Memory().WorkingSetSize);
                Sleep(100);  // sampling pace, not a wait for a state
            }
        });
    const auto t0 = Clock::now();
    std::thread producer([&] {
        for (int i = 0; i < n; ++i)
            SendRecord(w.hDlg, LOG_VAN_TO_CAT, strBlock, strBlock.size());
        SendRecord(w.hDlg, LOG_STATUS, "END", 0);
    });
    PumpUntil([&] {
        const std::wstring s = LastFullLine(w.hEdit);
        return s.size() >= 3 && s.compare(s.size() - 3, 3, L"END") == 0;
    });
    const auto t1 = Clock::now();
    producer.join();
    bDone = true;
    if (sampler.joinable()) {
        sampler.join();
        *pnHighest = std::max<SIZE_T>(nHighest.load(), Memory().WorkingSetSize);
    }
    return Seconds(t0, t1);
}

int Rate(int nLevel, const std::string& strMode, int n)
{
    Window w(nLevel);
    if (strMode != "hidden")
        ShowWindow(w.hDlg, SW_SHOW);
    if (strMode == "scrolled") {
        for (int i = 0; i < 200; ++i)
            SendRecord(w.hDlg, LOG_STATUS, "filler line " + std::to_string(i), 0);
        PumpUntil([&] { return SendMessageW(w.hEdit, EM_GETLINECOUNT, 0, 0) > 200; });
        SendMessageW(w.hEdit, EM_SETSEL, 0, 0);
        SendMessageW(w.hEdit, WM_VSCROLL, SB_TOP, 0);
    }
    const SIZE_T nIdle = Memory().WorkingSetSize;
    SIZE_T nHighest = 0;
    const double s = RunRecords(w, n, LOG_MAX_BLOCK, &nHighest);
    const SIZE_T nAfter = Memory().WorkingSetSize;
    std::printf("rate level=%d window=%s records=%d: %.0f records/s (%.2f s); working set "
                "idle %.1f MiB, highest %+.1f MiB, after %+.1f MiB\n",
                nLevel, strMode.c_str(), n, n / s, s, MiB(nIdle), MiB(nHighest) - MiB(nIdle),
                MiB(nAfter) - MiB(nIdle));
    return 0;
}

// Hidden, as the log window is for most of a run.
int Peak(int nLevel, int n)
{
    Window w(nLevel);
    const double s = RunRecords(w, n, LOG_MAX_BLOCK);
    const PROCESS_MEMORY_COUNTERS pmc = Memory();
    std::printf("peak level=%d window=hidden records=%d: peak working set %.1f MiB, now %.1f MiB (%.1f s)\n",
                nLevel, n, pmc.PeakWorkingSetSize / 1048576.0, pmc.WorkingSetSize / 1048576.0, s);
    return 0;
}

// A writer thread writes n lines to cout while the UI thread computes for busyMs without
// pumping; then the UI thread pumps until the last line is shown.
int Cout(int n, int nBusyMs)
{
    Window w(0);
    ShowWindow(w.hDlg, SW_SHOW);
    std::atomic<bool> bDone{false};
    double dWriterSeconds = 0, dLongest = 0;
    std::thread writer([&] {
        const auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) {
            const auto a = Clock::now();
            std::cout << "cout line " << i << std::endl;
            dLongest = std::max(dLongest, Seconds(a, Clock::now()));
        }
        std::cout << "END" << std::endl;
        dWriterSeconds = Seconds(t0, Clock::now());
        bDone = true;
    });
    const auto tBusy = Clock::now();
    volatile unsigned long long x = 0;
    while (Seconds(tBusy, Clock::now()) * 1000 < nBusyMs)
        for (int i = 0; i < 10000; ++i)
            x = x + static_cast<unsigned long long>(i);
    const auto tPump = Clock::now();
    PumpUntil([&] { return bDone.load() && LastFullLine(w.hEdit) == L"END"; });
    const double dDrain = Seconds(tPump, Clock::now());
    writer.join();
    std::printf("cout lines=%d ui-busy=%d ms: %.0f lines/s, longest write %.3f ms, "
                "shown %.2f s after the UI thread was free\n",
                n, nBusyMs, n / dWriterSeconds, dLongest * 1000, dDrain);
    return 0;
}

// The question box stands in for the main window's Exit question: a window of the UI thread
// that opens a message box when it receives kAsk.
constexpr UINT kAsk = WM_APP + 1;
const wchar_t kQuestion[] = L"\xD504\xB85C\xADF8\xB7A8\xC744 \xC885\xB8CC\xD558\xC2DC\xACA0\xC2B5\xB2C8\xAE4C?";

LRESULT CALLBACK AskProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == kAsk) {
        MessageBoxW(hWnd, kQuestion, L"bench", MB_OKCANCEL | MB_ICONQUESTION);
        return 0;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

HWND FindQuestion()
{
    HWND h = nullptr;
    while ((h = FindWindowExW(nullptr, h, L"#32770", L"bench")) != nullptr)
        if (IsWindowVisible(h))
            return h;
    return nullptr;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

int Ui(int nLevel, int nBlock, int nPauseMs, int nSeconds)
{
    Window w(nLevel);
    ShowWindow(w.hDlg, SW_SHOW);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = AskProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"LogBenchAsk";
    RegisterClassW(&wc);
    HWND hAsk = CreateWindowW(L"LogBenchAsk", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                              wc.hInstance, nullptr);

    std::atomic<bool> bStop{false};
    std::atomic<long> nRecords{0};
    const std::string strBlock = Block(nBlock);
    std::thread producer([&] {
        while (!bStop.load()) {
            SendRecord(w.hDlg, LOG_VAN_TO_CAT, strBlock, strBlock.size());
            ++nRecords;
            if (nPauseMs > 0)
                Sleep(static_cast<DWORD>(nPauseMs));  // the host's pace
        }
    });
    std::vector<double> answers;
    double dQuestion = -1;
    std::thread probe([&] {
        const auto tEnd = Clock::now() + std::chrono::seconds(nSeconds);
        while (Clock::now() < tEnd) {
            const auto a = Clock::now();
            DWORD_PTR r = 0;
            SendMessageTimeoutW(w.hDlg, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &r);
            answers.push_back(Seconds(a, Clock::now()) * 1000);
            Sleep(20);  // probe pace, not a wait for a state
        }
        const auto a = Clock::now();
        PostMessageW(hAsk, kAsk, 0, 0);
        HWND hBox = nullptr;
        while ((hBox = FindQuestion()) == nullptr && Seconds(a, Clock::now()) < 60)
            Sleep(1);
        dQuestion = Seconds(a, Clock::now());
        bStop = true;
        if (hBox != nullptr)
            PostMessageW(hBox, WM_COMMAND, IDCANCEL, 0);
    });
    PumpUntil([&] { return bStop.load(); });
    probe.join();
    PumpUntil([&] { return true; });
    producer.join();
    std::printf("ui level=%d block=%d pause=%d ms for %d s: %ld records; answer to a sent "
                "message median %.1f ms, p99 %.1f ms, max %.1f ms (%zu probes); question box "
                "shown after %.3f s\n",
                nLevel, nBlock, nPauseMs, nSeconds, nRecords.load(), Percentile(answers, 0.5),
                Percentile(answers, 0.99), Percentile(answers, 1.0), answers.size(), dQuestion);
    DestroyWindow(hAsk);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto num = [&](size_t i, int nDefault) {
        return i < args.size() ? std::atoi(args[i].c_str()) : nDefault;
    };
    if (!args.empty() && args[0] == "rate" && args.size() >= 3)
        return Rate(num(1, 0), args[2], num(3, 1000));
    if (!args.empty() && args[0] == "peak")
        return Peak(num(1, 0), num(2, 100000));
    if (!args.empty() && args[0] == "cout")
        return Cout(num(1, 100000), num(2, 1000));
    if (!args.empty() && args[0] == "ui")
        return Ui(num(1, 99), num(2, 4096), num(3, 0), num(4, 10));
    std::fprintf(stderr, "usage: see the top of tools/log_bench.cpp\n");
    return 2;
}
