// Worker-thread start and the waits that go with it.
//
// AfxBeginThread starts a thread through the C runtime and returns its handle, which the
// caller owns: it waits on it where it must know the thread has ended, and closes it. The new
// thread starts in the module state of the thread that started it.
//
// A thread that owns windows must not block in a plain wait on a worker that may be inside
// SendMessage to one of those windows: the worker's message is only handled while the owner
// pumps sent messages. WaitHandlingSentMessages waits and handles them meanwhile.
#pragma once
#include <windows.h>

typedef unsigned (*AFX_THREADPROC)(void* pParam);

// Starts pfnThreadProc(pParam). Returns the thread handle (caller closes it) or null on failure.
HANDLE AfxBeginThread(AFX_THREADPROC pfnThreadProc, void* pParam,
                      int nPriority = THREAD_PRIORITY_NORMAL, unsigned nStackSize = 0,
                      DWORD dwCreateFlags = 0);

// Waits for hObject for at most dwTimeoutMs (INFINITE allowed), handling messages that other
// threads send to this thread's windows while it waits. Returns WAIT_OBJECT_0, WAIT_TIMEOUT
// or WAIT_FAILED.
DWORD WaitHandlingSentMessages(HANDLE hObject, DWORD dwTimeoutMs);

// Lets dwMs pass, handling messages that other threads send to this thread's windows
// meanwhile (a pause of the user-interface thread that must not hold up a sender).
void PauseHandlingSentMessages(DWORD dwMs);
