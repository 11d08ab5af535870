// Window-procedure thunks: a few bytes of machine code per object that turn a window
// procedure call (window, message, wParam, lParam) into (object, message, wParam, lParam)
// and jump to a common procedure.
//
// Thunks live in pages of their own, many to a page: code written into an ordinary heap
// object cannot run where data execution prevention is on, and one page per thunk would
// waste memory. A page is written while it is not yet executable, then made execute-read;
// a later thunk in a page already in use is written while the page is briefly
// execute-read-write (never read-write only: another thread may be running a neighbouring
// thunk at that moment), and the page is made execute-read again at once. Each write ends
// with FlushInstructionCache. Pages are kept for the life of the process; freed slots are
// reused. All operations are safe from any thread (one lock around the pool).
#pragma once
#include <windows.h>

struct WndThunk;

// A thunk that calls pfnTarget(pObject, message, wParam, lParam); null without memory.
WndThunk* AllocWndThunk(void* pObject, void* pfnTarget);
// Rewrites the thunk to pass pObject instead (same target).
void RetargetWndThunk(WndThunk* pThunk, void* pObject, void* pfnTarget);
// Returns the slot to the pool; the caller guarantees that no window calls it any more.
void FreeWndThunk(WndThunk* pThunk);
// The thunk as a window procedure.
inline WNDPROC WndThunkProc(WndThunk* pThunk) { return reinterpret_cast<WNDPROC>(pThunk); }
