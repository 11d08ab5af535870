// Helpers for the log tests under Wine: a plain window class whose procedure records what
// reaches it, and waits that pump this thread's messages until a state holds (bounded).
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace logtest {

constexpr DWORD kWaitMs = 10000;  // bound on every wait for a state
constexpr UINT kProbe = WM_APP + 1;  // answered 1234 by the recording procedure
constexpr LRESULT kProbeAnswer = 1234;

// What the recording procedure saw (one per window, through GWLP_USERDATA).
struct WndLog {
    int nProbes = 0;
    int nCommands = 0;
    int nReflectArrived = 0;  // WM_SUBCLASS_REFLECT that reached the window's own procedure
    WPARAM lastCommandW = 0;
    LPARAM lastCommandL = 0;
};

// A window of the recording class; hParent null for a top-level one.
HWND CreateRecordingWindow(WndLog* pLog, HWND hParent = nullptr, int nId = 0);
WNDPROC RecordingProc();
LONG_PTR WndProcOf(HWND hWnd);

// Dispatches this thread's messages until cond holds or dwMs pass; answers whether it held.
bool PumpUntil(const std::function<bool()>& cond, DWORD dwMs = kWaitMs);
// Dispatches messages until one numbered uMsg for hWnd has been dispatched (bounded).
bool PumpThrough(HWND hWnd, UINT uMsg, DWORD dwMs = kWaitMs);

std::wstring EditText(HWND hEdit);

}  // namespace logtest
