// Module state: which module's resources the framework looks in.
//
// The relay lives in a DLL that a point-of-sale program loads. Its dialog templates, icons,
// bitmap and menu are in the DLL, not in the calling program, so every resource lookup goes
// through the current thread's module state. StartMain switches the thread to the DLL's own
// state with an AFX_MAINTAIN_STATE2 object, which puts the caller's state back when it goes
// out of scope. Threads started with AfxBeginThread inherit the state of the thread that
// started them.
#pragma once
#include <windows.h>

struct AFX_MODULE_STATE {
    HINSTANCE m_hResource;      // module searched for resources
    char m_szAppName[MAX_PATH]; // caption of the application message box
};

// The state of the process's main program (default for every thread).
AFX_MODULE_STATE* AfxGetAppModuleState();
// The state of the module this code is linked into (the DLL, when built into it).
AFX_MODULE_STATE* AfxGetStaticModuleState();
// The calling thread's current state.
AFX_MODULE_STATE* AfxGetModuleState();
void AfxSetModuleState(AFX_MODULE_STATE* pState);

// Module handle in which to look for a resource (the current state's).
HINSTANCE AfxFindResourceHandle(LPCSTR lpszName, LPCSTR lpszType);
HINSTANCE AfxGetResourceHandle();

// Switches the calling thread to a module state for the lifetime of the object.
class AFX_MAINTAIN_STATE2 {
public:
    explicit AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* pNewState);
    ~AFX_MAINTAIN_STATE2();
    AFX_MAINTAIN_STATE2(const AFX_MAINTAIN_STATE2&) = delete;
    AFX_MAINTAIN_STATE2& operator=(const AFX_MAINTAIN_STATE2&) = delete;

private:
    AFX_MODULE_STATE* m_pPrevState;
};
