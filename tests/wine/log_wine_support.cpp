// Helpers for the log tests under Wine (see log_wine_support.h).
#include "tests/wine/log_wine_support.h"

#include <vector>

#include "log/subclass_wnd.h"

namespace logtest {

namespace {

const char kClass[] = "PellarinLogTestWnd";

LRESULT CALLBACK Record(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    WndLog* pLog = reinterpret_cast<WndLog*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (pLog != nullptr) {
        if (uMsg == kProbe) {
            ++pLog->nProbes;
            return kProbeAnswer;
        }
        if (uMsg == WM_COMMAND) {
            ++pLog->nCommands;
            pLog->lastCommandW = wParam;
            pLog->lastCommandL = lParam;
            return 0;
        }
        if (uMsg == WM_SUBCLASS_REFLECT)
            ++pLog->nReflectArrived;
    }
    return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

void RegisterOnce()
{
    static const bool bDone = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Record;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = kClass;
        return ::RegisterClassA(&wc) != 0;
    }();
    (void)bDone;
}

}  // namespace

WNDPROC RecordingProc()
{
    return Record;
}

HWND CreateRecordingWindow(WndLog* pLog, HWND hParent, int nId)
{
    RegisterOnce();
    const DWORD dwStyle = hParent != nullptr ? WS_CHILD | WS_VISIBLE : WS_OVERLAPPEDWINDOW;
    HWND hWnd = ::CreateWindowExA(0, kClass, "log test", dwStyle, 0, 0, 400, 300, hParent,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(nId)),
                                  ::GetModuleHandleA(nullptr), nullptr);
    if (hWnd != nullptr)
        ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pLog));
    return hWnd;
}

LONG_PTR WndProcOf(HWND hWnd)
{
    return ::GetWindowLongPtrW(hWnd, GWLP_WNDPROC);
}

namespace {

// Dispatches this thread's messages until done() says so or dwMs pass: done gets each message
// just dispatched, and nullptr once the queue is empty.
bool PumpWhileNot(const std::function<bool(const MSG*)>& done, DWORD dwMs)
{
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
            if (done(&msg))
                return true;
        }
        if (done(nullptr))
            return true;
        const DWORD dwSpent = ::GetTickCount() - dwStart;
        if (dwSpent >= dwMs)
            return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, dwMs - dwSpent, QS_ALLINPUT);
    }
}

} // namespace

bool PumpUntil(const std::function<bool()>& cond, DWORD dwMs)
{
    return PumpWhileNot([&](const MSG*) { return cond(); }, dwMs);
}

bool PumpThrough(HWND hWnd, UINT uMsg, DWORD dwMs)
{
    return PumpWhileNot(
        [&](const MSG* pMsg) {
            return pMsg != nullptr && pMsg->hwnd == hWnd && pMsg->message == uMsg;
        },
        dwMs);
}

std::wstring EditText(HWND hEdit)
{
    const int nLength = ::GetWindowTextLengthW(hEdit);
    std::vector<wchar_t> buffer(static_cast<size_t>(nLength) + 1, L'\0');
    const int nGot = ::GetWindowTextW(hEdit, buffer.data(), nLength + 1);
    return std::wstring(buffer.data(), static_cast<size_t>(nGot));
}

}  // namespace logtest
