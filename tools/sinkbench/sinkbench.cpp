// Prints figures for the edit-control text sink: a producer thread appends log-sized lines as
// fast as it can while this thread runs the control's message loop, with the view following
// the end, scrolled up, and the window hidden. For each case: lines per second until all are
// on screen, how many insertions the sink made, the producer's longest single append, and the
// longest single message dispatch on the control's thread (what a user would feel as a stall).
//   sinkbench [lines [lines-per-second]]   (defaults 20000 and 0, as fast as possible)
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>

#include "log/edit_log_sink.h"

namespace {

double Now()
{
    static LARGE_INTEGER freq = [] { LARGE_INTEGER f; ::QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

// Counts the insertions the sink makes and notices the last line (sits on top of the sink on
// the control; the hook sees wide text).
class CInsertCounter : public CSubclassWnd {
public:
    int nInserts = 0;
    std::wstring strLast;
    bool bLastShown = false;
    bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override
    {
        if (uMsg == EM_REPLACESEL) {
            ++nInserts;
            if (lParam != 0 && std::wcsstr(reinterpret_cast<const wchar_t*>(lParam), strLast.c_str()) != nullptr)
                bLastShown = true;
        }
        return CSubclassWnd::HandleMessage(uMsg, wParam, lParam, lResult);
    }
};

struct Case {
    const char* pszName;
    bool bScrolledUp;
    bool bHidden;
};

void Run(const Case& c, int nLines, int nRate)
{
    HWND hParent = ::CreateWindowExA(0, "STATIC", "sinkbench", WS_OVERLAPPEDWINDOW, 0, 0, 700, 500,
                                     nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    HWND hEdit = ::CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                   WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                                   ES_AUTOHSCROLL | ES_READONLY | ES_WANTRETURN,
                                   0, 0, 680, 460, hParent, reinterpret_cast<HMENU>(1002),
                                   ::GetModuleHandleA(nullptr), nullptr);
    ::ShowWindow(hParent, c.bHidden ? SW_HIDE : SW_SHOW);
    CEditLogSink sink(hEdit, 500);
    CInsertCounter counter;
    counter.HookWindow(hEdit, false);

    // A screenful of text first, so that scrolling up means something.
    std::string strStart;
    for (int i = 0; i < 200; ++i)
        strStart += "2026/12/08 05:00:00 start line " + std::to_string(i) + "\r\n";
    ::SetWindowTextA(hEdit, strStart.c_str());
    const int nStartLength = ::GetWindowTextLengthA(hEdit);
    ::SendMessageA(hEdit, EM_SETSEL, nStartLength, nStartLength);
    ::SendMessageA(hEdit, EM_SCROLLCARET, 0, 0);
    if (c.bScrolledUp)
        ::SendMessageA(hEdit, EM_LINESCROLL, 0, -100);

    std::atomic<double> longestAppend{0};
    const double t0 = Now();
    std::thread producer([&] {
        double dLongest = 0;
        const double dStart = Now();
        for (int i = 0; i < nLines; ++i) {
            // Paced: line i is due at i / rate seconds.
            while (nRate > 0 && Now() - dStart < static_cast<double>(i) / nRate)
                ::Sleep(1);
            char szLine[128];
            std::snprintf(szLine, sizeof szLine,
                          "2026/12/08 05:00:00 [CAT<-VAN] [%04d] 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46\r\n", i % 4096);
            const double a = Now();
            sink.AppendText(szLine, false);
            dLongest = std::max(dLongest, Now() - a);
        }
        longestAppend = dLongest;
    });

    // The producer's last line is on screen once an insertion carried it.
    wchar_t szLast[32];
    std::swprintf(szLast, 32, L"[%04d] 30", (nLines - 1) % 4096);
    counter.strLast = szLast;
    double dLongestDispatch = 0;
    while (!counter.bLastShown) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            const double a = Now();
            ::DispatchMessageA(&msg);
            dLongestDispatch = std::max(dLongestDispatch, Now() - a);
        }
        if (!counter.bLastShown)
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    const double dTotal = Now() - t0;
    producer.join();
    std::printf("%-12s %7d lines at %5s/s: %8.0f lines/s shown  %5d insertions  longest append %6.2f ms  longest dispatch %7.2f ms\n",
                c.pszName, nLines, nRate > 0 ? std::to_string(nRate).c_str() : "max", nLines / dTotal, counter.nInserts, longestAppend.load() * 1000,
                dLongestDispatch * 1000);
    std::fflush(stdout);
    counter.RequestUnhook();
    ::DestroyWindow(hParent);
}

}  // namespace

int main(int argc, char** argv)
{
    const int nLines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    const int nRate = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;
    const Case cases[] = {
        {"following", false, false},
        {"scrolled-up", true, false},
        {"hidden", false, true},
    };
    for (const Case& c : cases)
        Run(c, nLines, nRate);
    return 0;
}
