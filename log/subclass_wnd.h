// Window subclassing: an object takes over the window procedure of an existing window.
//
// Every message for a hooked window reaches the object's HandleMessage first; what it leaves
// unhandled goes on to the procedure that was installed before it. The chain protocol:
//  - each hook installs its own thunk as the window procedure and remembers the one it replaced;
//  - an object that wants to leave sends WM_SUBCLASS_UNHOOK (lParam = itself) to the window;
//  - an object that receives the request for another object passes it down with wParam = itself;
//  - the object named in lParam, reached with wParam = the object above it, hands that object
//    its previous procedure (the chain skips it); reached with wParam 0 it is the top and puts
//    its previous procedure back as the window procedure;
//  - at WM_NCDESTROY every object asks to leave, so the window ends with its original procedure.
// Because the three message numbers are registered by name, copies of this class in other
// modules of the process take part in the same protocol.
//
// A hooked child window gets a CReflectWnd on its parent, which sends the notifications the
// parent receives from a child back to that child as WM_SUBCLASS_REFLECT, so that a control's
// hook sees its own notifications (message + REFLECT_OFFSET).
//
// Threads: an object is used only on the thread that owns its window, or on the thread that
// constructs or destroys it. The thunk pool has a lock of its own.
#pragma once
#include <windows.h>

// Registered once when the module is loaded; read-only afterwards.
extern const UINT WM_SUBCLASS_UNHOOK;   // wParam: forwarding object or 0; lParam: leaving object
extern const UINT WM_SUBCLASS_REFLECT;  // wParam 0; lParam: ReflectedMsg*
extern const UINT WM_SUBCLASS_QUERY;    // answer: the window's CReflectWnd*, or 0

// Added to a notification's message number when it is reflected to the child.
const UINT REFLECT_OFFSET = 0x2000;

// One reflected notification, built on the parent's stack for the duration of one send.
// wParam and lParam are pointer-sized: on 64-bit they carry handles and pointers whole.
struct ReflectedMsg {
    UINT message;   // notification's message number + REFLECT_OFFSET
    WPARAM wParam;  // unchanged
    LPARAM lParam;  // unchanged
    BOOL bHandled;  // 0 when sent; set to the child's handler's answer
};

struct WndThunk;
class CReflectWnd;

class CSubclassWnd {
public:
    CSubclassWnd();
    virtual ~CSubclassWnd();
    CSubclassWnd(const CSubclassWnd&) = delete;
    CSubclassWnd& operator=(const CSubclassWnd&) = delete;

    // Answers whether the message was handled; when true, lResult holds the answer.
    // The base takes part in the unhook protocol and leaves everything else unhandled.
    virtual bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);
    // Called after the window's WM_NCDESTROY has been processed and the object has left.
    virtual void OnWindowDestroyed();

    // Hooks hWnd; with bReflect and a child window, its parent also gets a reflector.
    // False when the object already holds a window, hWnd is no window, or the platform refuses.
    bool HookWindow(HWND hWnd, bool bReflect);
    // Asks the hooked window to release this object; answers the released handle or 0.
    HWND RequestUnhook();

    // The procedure behind every thunk: the thunk replaces the window handle by the object.
    static LRESULT CALLBACK HookWndProc(CSubclassWnd* pThis, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // The parent's reflector, created on the heap when it has none; null only without memory.
    static CReflectWnd* EnsureReflector(HWND hWndParent);

    HWND GetHwnd() const { return m_hWnd; }
    WNDPROC GetPrevWndProc() const { return m_pfnPrevWndProc; }
    // The message being dispatched to this object; null outside a dispatch.
    const MSG* GetCurrentMessage() const { return m_pCurrentMsg; }

protected:
    WndThunk* m_pThunk;         // this object's slot in an executable page; null until hooked once
    WNDPROC m_pfnPrevWndProc;   // DefWindowProcA while unattached
    MSG* m_pCurrentMsg;         // on HookWndProc's stack during a dispatch
    HWND m_hWnd;                // null while unattached

private:
    void ResetUnattached();
};

// Sits on a parent window and reflects child notifications back to the child. Created only
// on the heap by EnsureReflector; deletes itself after the parent's WM_NCDESTROY.
class CReflectWnd : public CSubclassWnd {
public:
    explicit CReflectWnd(HWND hWndParent);
    ~CReflectWnd() override;
    bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;
    void OnWindowDestroyed() override;

    // How many reflectors exist in the process (each lives exactly as long as its parent).
    static long LiveCount();
};
