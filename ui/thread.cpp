#include "ui/thread.h"

#include <process.h>

#include "ui/module_state.h"

namespace {

// Handed from the starting thread to the new one; the new thread frees it.
struct ThreadStart {
    AFX_THREADPROC pfn;
    void* pParam;
    AFX_MODULE_STATE* pState;
};

unsigned __stdcall ThreadEntry(void* pv)
{
    ThreadStart start = *static_cast<ThreadStart*>(pv);
    delete static_cast<ThreadStart*>(pv);
    AfxSetModuleState(start.pState);
    return start.pfn(start.pParam);
}

} // namespace

HANDLE AfxBeginThread(AFX_THREADPROC pfnThreadProc, void* pParam, int nPriority,
                      unsigned nStackSize, DWORD dwCreateFlags)
{
    auto* pStart = new ThreadStart{pfnThreadProc, pParam, AfxGetModuleState()};
    unsigned threadId = 0;
    uintptr_t h = _beginthreadex(nullptr, nStackSize, ThreadEntry, pStart,
                                 dwCreateFlags | CREATE_SUSPENDED, &threadId);
    if (h == 0) {
        delete pStart;
        return nullptr;
    }
    HANDLE hThread = reinterpret_cast<HANDLE>(h);
    SetThreadPriority(hThread, nPriority);
    if (!(dwCreateFlags & CREATE_SUSPENDED))
        ResumeThread(hThread);
    return hThread;
}

DWORD WaitHandlingSentMessages(HANDLE hObject, DWORD dwTimeoutMs)
{
    const DWORD dwStart = GetTickCount();
    for (;;) {
        DWORD dwWait = dwTimeoutMs;
        if (dwTimeoutMs != INFINITE) {
            DWORD dwElapsed = GetTickCount() - dwStart;
            dwWait = dwElapsed >= dwTimeoutMs ? 0 : dwTimeoutMs - dwElapsed;
        }
        DWORD dwResult = MsgWaitForMultipleObjectsEx(1, &hObject, dwWait, QS_SENDMESSAGE,
                                                     MWMO_INPUTAVAILABLE);
        if (dwResult != WAIT_OBJECT_0 + 1)
            return dwResult;
        // Peeking handles every message sent to this thread's windows; nothing is removed
        // from the posted queue.
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

void PauseHandlingSentMessages(DWORD dwMs)
{
    const DWORD dwStart = GetTickCount();
    for (;;) {
        const DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= dwMs)
            return;
        if (MsgWaitForMultipleObjectsEx(0, nullptr, dwMs - dwElapsed, QS_SENDMESSAGE,
                                        MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0) {
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
}
