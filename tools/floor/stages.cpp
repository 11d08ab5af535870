// The floor program's stages (stages.h): a UI thread with the windows the relay's host blocks
// reach, the tray picture, and the TLS session, each added on request so that the benchmark
// measures them apart, in one run, on the same path as the bare floor.
//
// What each stage does per host block copies the relay's receive path: the record is built
// from the block (BlockText), the tray picture is asked for from the receiving thread, and the
// record is sent to the window with SendMessage, the producer waiting until the UI thread has
// rendered it. The log window is the relay's own (log library), at level 0 and hidden, as in a
// run without a config.ini; it writes no daily file (the relay's default has none either).
#include "tools/floor/stages.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "log/debug_dlg.h"
#include "log/log_record.h"
#include "res/resource.h"

namespace {

Stage g_stage = {};
HWND g_hTarget = nullptr;  // the window each block's record is sent to (UI thread's)
NOTIFYICONDATAA g_nid = {};
HICON g_ahPicture[2] = {};
int g_nPicture = 0;  // receiving thread only

// ssllib32.dll's operations, loaded by name as the relay imports them (__stdcall on both
// architectures, plain export names).
using StartUpFn = INT_PTR(__stdcall*)(SOCKET*);
using SendFn = int(__stdcall*)(INT_PTR, const char*, int);
using RecvFn = int(__stdcall*)(INT_PTR, char*, int);
using SelectFn = int(__stdcall*)(SOCKET, int);
constexpr int kRecvAgain = -2;
constexpr int kWaitSeconds = 60;  // the session's wait limit; a wait that runs out is retried
INT_PTR g_hSession = 0;
SOCKET g_socket = INVALID_SOCKET;
SendFn g_pSend = nullptr;
RecvFn g_pRecv = nullptr;

constexpr UINT kTrayCallback = WM_APP + 1;

// The message stage's window: takes the record and does nothing with it.
LRESULT CALLBACK QuietProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_LOG_RECORD)
        return 0;
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

HWND CreateQuietWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = QuietProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "FloorStageWindow";
    RegisterClassA(&wc);
    return CreateWindowA("FloorStageWindow", "floor", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                         nullptr, wc.hInstance, nullptr);
}

bool AddTrayIcon(HWND hOwner)
{
    HINSTANCE hInst = GetModuleHandleA(nullptr);
    g_ahPicture[0] = LoadIconA(hInst, MAKEINTRESOURCEA(ICON_IDLE));
    g_ahPicture[1] = LoadIconA(hInst, MAKEINTRESOURCEA(ICON_TRAFFIC));
    g_nid.cbSize = sizeof(g_nid);
    g_nid.hWnd = hOwner;
    g_nid.uID = 1;
    g_nid.uCallbackMessage = kTrayCallback;
    g_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_nid.hIcon = g_ahPicture[0];
    strcpy(g_nid.szTip, "floor");
    return g_ahPicture[0] && g_ahPicture[1] && Shell_NotifyIconA(NIM_ADD, &g_nid);
}

struct UiStart {
    HANDLE hReady;
    bool bOk;
};

// The UI thread: makes the windows, says so, then pumps for the rest of the process.
DWORD WINAPI UiThread(LPVOID pParam)
{
    UiStart* pStart = static_cast<UiStart*>(pParam);
    CDebugDlg* pDlg = nullptr;  // lives as long as the process
    HWND hQuiet = CreateQuietWindow();
    if (g_stage.bLog) {
        pDlg = new CDebugDlg(nullptr);
        pDlg->Create(IDD_DEBUG, nullptr);
        pDlg->m_nLevel = 0;
        g_hTarget = pDlg->m_hWnd;
    } else {
        g_hTarget = hQuiet;
    }
    pStart->bOk = hQuiet != nullptr && g_hTarget != nullptr &&
                  (!g_stage.bTray || AddTrayIcon(hQuiet));
    SetEvent(pStart->hReady);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

template <class Fn>
Fn Operation(HMODULE hDll, const char* pszName)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(hDll, pszName)));
}

bool StartTls(SOCKET socket, const char* pszSslDll)
{
    HMODULE hDll = LoadLibraryA(pszSslDll);
    if (!hDll) {
        fprintf(stderr, "floor: cannot load %s (%lu)\n", pszSslDll, GetLastError());
        return false;
    }
    auto pStartUp = Operation<StartUpFn>(hDll, "SSL_StartUp");
    auto pSelect = Operation<SelectFn>(hDll, "SSL_SelectTimeOut");
    g_pSend = Operation<SendFn>(hDll, "SSL_SendData");
    g_pRecv = Operation<RecvFn>(hDll, "SSL_RecvData");
    if (!pStartUp || !pSelect || !g_pSend || !g_pRecv) {
        fprintf(stderr, "floor: %s lacks an operation\n", pszSslDll);
        return false;
    }
    g_socket = socket;
    g_hSession = pStartUp(&g_socket);
    if (g_hSession == 0) {
        fprintf(stderr, "floor: the TLS handshake failed\n");
        return false;
    }
    pSelect(socket, kWaitSeconds);  // sets the session's wait limit
    return true;
}

} // namespace

bool ParseStage(const char* pszName, Stage* pStage)
{
    static const struct {
        const char* pszName;
        Stage stage;
    } s_aStages[] = {
        {"floor", {false, false, false, false}},
        {"message", {true, false, false, false}},
        {"tray", {true, true, false, false}},
        {"log", {true, true, true, false}},
        {"tls", {true, true, true, true}},
        {"log-no-tray", {true, false, true, false}},
    };
    for (const auto& row : s_aStages) {
        if (strcmp(pszName, row.pszName) == 0) {
            *pStage = row.stage;
            return true;
        }
    }
    return false;
}

bool StartStages(Stage stage, SOCKET socket, const char* pszSslDll)
{
    g_stage = stage;
    if (stage.bTls && !StartTls(socket, pszSslDll))
        return false;
    if (!stage.bMessage)
        return true;
    UiStart start = {CreateEventA(nullptr, TRUE, FALSE, nullptr), false};
    if (!start.hReady || !CreateThread(nullptr, 0, UiThread, &start, 0, nullptr))
        return false;
    WaitForSingleObject(start.hReady, INFINITE);
    if (!start.bOk)
        fprintf(stderr, "floor: the stage's windows or tray icon could not be made\n");
    return start.bOk;
}

void OnHostBlock(const char* pBytes, int nCount)
{
    if (!g_stage.bMessage)
        return;
    LogRecord record;
    record.nKind = LOG_VAN_TO_CAT;
    record.strText = BlockText(reinterpret_cast<const unsigned char*>(pBytes), nCount);
    if (g_stage.bTray) {
        g_nPicture ^= 1;
        g_nid.uFlags = NIF_ICON;
        g_nid.hIcon = g_ahPicture[g_nPicture];
        Shell_NotifyIconA(NIM_MODIFY, &g_nid);
    }
    SendMessageA(g_hTarget, WM_LOG_RECORD, static_cast<WPARAM>(nCount),
                 reinterpret_cast<LPARAM>(&record));
}

bool UsesTls()
{
    return g_stage.bTls;
}

int RecvTls(char* pBuffer, int nCapacity)
{
    for (;;) {
        const int n = g_pRecv(g_hSession, pBuffer, nCapacity);
        if (n > 0)
            return n;
        if (n == kRecvAgain || (n < 0 && WSAGetLastError() == WSAETIMEDOUT))
            continue;  // no data in the record, or a quiet minute: still connected
        return 0;
    }
}

int SendTls(const char* pBytes, int nLength)
{
    return g_pSend(g_hSession, pBytes, nLength);
}
