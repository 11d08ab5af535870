// Window subclassing (see subclass_wnd.h for the chain protocol).
//
// Three additions to the plain protocol keep every hook reachable and no window calling freed
// memory:
//  - the top of the chain puts its previous procedure back only while its own thunk is still
//    the window procedure; a foreign procedure installed above it (one that knows nothing of
//    the protocol but passes the request on) is not cut out, and the request fails instead;
//  - the reflector passes unhook requests on like any hook (naming itself), so an object
//    below it never mistakes itself for the top;
//  - an object destroyed while its window still runs through its thunk (the request failed)
//    hands its place to a small forwarding object that lives until the window is destroyed,
//    so the thunk never reaches a freed object and its slot is never reused under the window.
//
// Any program on the desktop can send the registered messages, so the pointers they carry are
// taken only when the relay handed them out: an unhook's forwarding object must be a live
// object of this module hooked on the same window, and a reflected notification's record
// must be one a reflector of this module is sending right now. Anything else is ignored.
//
// The thunk is installed through the wide (UTF-16) interface and the chain is called the same
// way. Installed through the ANSI one, it would make the platform narrow every wide text sent
// to the window (EM_REPLACESEL, WM_SETTEXT) to the ANSI code page on its way through the hook
// and widen it again behind it: characters outside code page 949 would arrive as '?'. ANSI
// text sent to the window survives the opposite round trip unchanged, and procedures of
// either kind below or above a hook are called in their own kind by the platform.
#include "log/subclass_wnd.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "log/wnd_thunk.h"

extern const UINT WM_SUBCLASS_UNHOOK = ::RegisterWindowMessageA("{207D9568-FF3C-11D3-A469-000629B2F855}");
extern const UINT WM_SUBCLASS_REFLECT = ::RegisterWindowMessageA("{9688DAE5-3736-11D4-A48C-000629B2F855}");
extern const UINT WM_SUBCLASS_QUERY = ::RegisterWindowMessageA("{9688DAE6-3736-11D4-A48C-000629B2F855}");

namespace {

// Live objects and the reflected records in flight; any thread, under g_liveLock. Few at a
// time (a hook per log window control), so a vector is enough.
std::mutex g_liveLock;
std::vector<const void*> g_liveObjects;
std::vector<const void*> g_reflectsInFlight;

void Remember(std::vector<const void*>& list, const void* p)
{
    std::lock_guard<std::mutex> lock(g_liveLock);
    list.push_back(p);
}

void Forget(std::vector<const void*>& list, const void* p)
{
    std::lock_guard<std::mutex> lock(g_liveLock);
    auto it = std::find(list.begin(), list.end(), p);
    if (it != list.end())
        list.erase(it);
}

bool Knows(const std::vector<const void*>& list, const void* p)
{
    std::lock_guard<std::mutex> lock(g_liveLock);
    return std::find(list.begin(), list.end(), p) != list.end();
}

void* HookTarget()
{
    return reinterpret_cast<void*>(&CSubclassWnd::HookWndProc);
}

// Takes over the chain position of an object destroyed while still attached: forwards every
// message to the procedure the object had replaced, still answers the unhook protocol, and
// deletes itself after the window's WM_NCDESTROY.
class CForwardingHook : public CSubclassWnd {
public:
    CForwardingHook(WndThunk* pThunk, WNDPROC pfnPrev, HWND hWnd)
    {
        m_pThunk = pThunk;
        m_pfnPrevWndProc = pfnPrev;
        m_hWnd = hWnd;
        RetargetWndThunk(m_pThunk, this, HookTarget());
    }
    void OnWindowDestroyed() override
    {
        // No message follows WM_NCDESTROY. If the request to leave failed again, a foreign
        // procedure may still hold the thunk: its slot then stays out of the pool for good.
        if (m_hWnd != nullptr) {
            m_hWnd = nullptr;
            m_pThunk = nullptr;
        }
        delete this;
    }
};

}  // namespace

CSubclassWnd::CSubclassWnd()
    : m_pThunk(nullptr), m_pfnPrevWndProc(::DefWindowProcA), m_pCurrentMsg(nullptr), m_hWnd(nullptr)
{
    Remember(g_liveObjects, this);
}

CSubclassWnd::~CSubclassWnd()
{
    Forget(g_liveObjects, this);
    if (m_hWnd != nullptr)
        RequestUnhook();
    if (m_hWnd != nullptr) {
        // Still attached: the window (or a foreign procedure above us) still holds the thunk.
        // While the window lives, a forwarding object takes the thunk over; otherwise (window
        // gone, or no memory) the slot simply stays out of the pool.
        if (::IsWindow(m_hWnd))
            static_cast<void>(new (std::nothrow) CForwardingHook(m_pThunk, m_pfnPrevWndProc, m_hWnd));
        return;
    }
    FreeWndThunk(m_pThunk);
}

void CSubclassWnd::ResetUnattached()
{
    m_pfnPrevWndProc = ::DefWindowProcA;
    m_hWnd = nullptr;
}

bool CSubclassWnd::HookWindow(HWND hWnd, bool bReflect)
{
    if (m_hWnd != nullptr)
        return false;
    if (!::IsWindow(hWnd))
        return false;
    // The thunk names this object, which never moves: written once, on the first hook.
    if (m_pThunk == nullptr) {
        m_pThunk = AllocWndThunk(this, HookTarget());
        if (m_pThunk == nullptr)
            return false;
    }
    const LONG_PTR prev = ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC,
                                              reinterpret_cast<LONG_PTR>(WndThunkProc(m_pThunk)));
    if (prev == 0)
        return false;
    m_pfnPrevWndProc = reinterpret_cast<WNDPROC>(prev);
    m_hWnd = hWnd;
    if (bReflect && (::GetWindowLongPtrA(hWnd, GWL_STYLE) & WS_CHILD) != 0)
        EnsureReflector(::GetParent(hWnd));
    return true;
}

HWND CSubclassWnd::RequestUnhook()
{
    if (m_hWnd == nullptr)
        return nullptr;
    return reinterpret_cast<HWND>(
        ::SendMessageA(m_hWnd, WM_SUBCLASS_UNHOOK, 0, reinterpret_cast<LPARAM>(this)));
}

void CSubclassWnd::OnWindowDestroyed()
{
}

bool CSubclassWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    if (uMsg != WM_SUBCLASS_UNHOOK)
        return false;
    CSubclassWnd* pLeaving = reinterpret_cast<CSubclassWnd*>(lParam);
    if (pLeaving != this) {
        // Someone below us wants to leave: pass it on, naming ourselves as its upper neighbour.
        lResult = ::CallWindowProcW(m_pfnPrevWndProc, m_hWnd, uMsg, reinterpret_cast<WPARAM>(this), lParam);
        return true;
    }
    lResult = 0;
    if (m_hWnd == nullptr)
        return true;
    HWND hWnd = m_hWnd;
    if (wParam != 0) {
        // The object above us forwarded the request: it calls our predecessor from now on.
        // Only a live object of ours on this window that calls our thunk is one.
        CSubclassWnd* pAbove = reinterpret_cast<CSubclassWnd*>(wParam);
        if (!Knows(g_liveObjects, pAbove) || pAbove->m_hWnd != hWnd || m_pThunk == nullptr ||
            pAbove->m_pfnPrevWndProc != reinterpret_cast<WNDPROC>(WndThunkProc(m_pThunk)))
            return true;
        pAbove->m_pfnPrevWndProc = m_pfnPrevWndProc;
        lResult = reinterpret_cast<LRESULT>(hWnd);
        ResetUnattached();
        return true;
    }
    // We are the top of the chain, as far as the protocol can tell.
    if (m_pThunk == nullptr ||
        ::GetWindowLongPtrW(hWnd, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(WndThunkProc(m_pThunk)))
        return true;  // a foreign procedure sits above us: leaving would cut it out
    if (::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnPrevWndProc)) == 0)
        return true;
    lResult = reinterpret_cast<LRESULT>(hWnd);
    ResetUnattached();
    return true;
}

LRESULT CALLBACK CSubclassWnd::HookWndProc(CSubclassWnd* pThis, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    HWND hWnd = pThis->m_hWnd;
    const WNDPROC pfnPrevAtEntry = pThis->m_pfnPrevWndProc;
    MSG msg = {};
    msg.hwnd = hWnd;
    msg.message = uMsg;
    msg.wParam = wParam;
    msg.lParam = lParam;
    ReflectedMsg* pReflected = nullptr;
    if (uMsg == WM_SUBCLASS_REFLECT) {
        // Not one of our reflectors' records: nothing to dispatch, and never dereferenced.
        if (lParam == 0 || !Knows(g_reflectsInFlight, reinterpret_cast<const void*>(lParam)))
            return 0;
        pReflected = reinterpret_cast<ReflectedMsg*>(lParam);
        msg.message = pReflected->message;
        msg.wParam = pReflected->wParam;
        msg.lParam = pReflected->lParam;
    }

    MSG* pSaved = pThis->m_pCurrentMsg;
    pThis->m_pCurrentMsg = &msg;
    LRESULT lResult = 0;
    const bool bHandled = pThis->HandleMessage(msg.message, msg.wParam, msg.lParam, lResult);
    if (pReflected != nullptr)
        pReflected->bHandled = bHandled ? TRUE : FALSE;
    pThis->m_pCurrentMsg = pSaved;

    if (!bHandled) {
        // As received: a reflected notification travels on down the chain as it came. If the
        // handler left the chain meanwhile, the message still goes where it would have gone.
        if (pThis->m_hWnd != nullptr)
            lResult = ::CallWindowProcW(pThis->m_pfnPrevWndProc, pThis->m_hWnd, uMsg, wParam, lParam);
        else
            lResult = ::CallWindowProcW(pfnPrevAtEntry, hWnd, uMsg, wParam, lParam);
    }
    if (uMsg == WM_NCDESTROY) {
        pThis->RequestUnhook();
        pThis->OnWindowDestroyed();  // may delete the object: not touched afterwards
    }
    return lResult;
}

CReflectWnd* CSubclassWnd::EnsureReflector(HWND hWndParent)
{
    const LRESULT existing = ::SendMessageA(hWndParent, WM_SUBCLASS_QUERY, 0, 0);
    if (existing != 0)
        return reinterpret_cast<CReflectWnd*>(existing);
    CReflectWnd* pReflector = new (std::nothrow) CReflectWnd(hWndParent);
    if (pReflector != nullptr && pReflector->GetHwnd() == nullptr) {
        // The parent could not be hooked: nothing would ever free the object.
        delete pReflector;
        pReflector = nullptr;
    }
    return pReflector;
}

// ---- CReflectWnd ------------------------------------------------------------------------

namespace {

// The child a notification came from, or null when the message is not reflected.
HWND ReflectionTarget(HWND hWndParent, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_COMMAND:
        return reinterpret_cast<HWND>(lParam);  // 0: menu or accelerator
    case WM_NOTIFY:
        return lParam != 0 ? reinterpret_cast<const NMHDR*>(lParam)->hwndFrom : nullptr;
    case WM_PARENTNOTIFY:
        if (LOWORD(wParam) == WM_CREATE || LOWORD(wParam) == WM_DESTROY)
            return reinterpret_cast<HWND>(lParam);
        return ::GetDlgItem(hWndParent, HIWORD(wParam));
    case WM_DRAWITEM:
        return wParam != 0 && lParam != 0 ? reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_MEASUREITEM:
        return wParam != 0 && lParam != 0
                   ? ::GetDlgItem(hWndParent, reinterpret_cast<const MEASUREITEMSTRUCT*>(lParam)->CtlID)
                   : nullptr;
    case WM_DELETEITEM:
        return wParam != 0 && lParam != 0
                   ? ::GetDlgItem(hWndParent, reinterpret_cast<const DELETEITEMSTRUCT*>(lParam)->CtlID)
                   : nullptr;
    case WM_COMPAREITEM:
        return wParam != 0 && lParam != 0
                   ? ::GetDlgItem(hWndParent, reinterpret_cast<const COMPAREITEMSTRUCT*>(lParam)->CtlID)
                   : nullptr;
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
        return reinterpret_cast<HWND>(lParam);
    default:
        if (uMsg >= WM_CTLCOLORMSGBOX && uMsg <= WM_CTLCOLORSTATIC)
            return reinterpret_cast<HWND>(lParam);
        return nullptr;
    }
}

}  // namespace

namespace {
volatile LONG g_nLiveReflectors = 0;
}

CReflectWnd::CReflectWnd(HWND hWndParent)
{
    ::InterlockedIncrement(&g_nLiveReflectors);
    HookWindow(hWndParent, false);
}

CReflectWnd::~CReflectWnd()
{
    ::InterlockedDecrement(&g_nLiveReflectors);
}

long CReflectWnd::LiveCount()
{
    return ::InterlockedCompareExchange(&g_nLiveReflectors, 0, 0);
}

bool CReflectWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    if (uMsg == WM_SUBCLASS_QUERY) {
        lResult = reinterpret_cast<LRESULT>(this);
        return true;
    }
    // The reflector takes part in the unhook protocol like any hook: a request from an object
    // below it must arrive naming the reflector as the upper neighbour, or that object would
    // take itself for the top and restore its own predecessor, cutting the reflector out of
    // the chain (reflection would stop, and the reflector would never see WM_NCDESTROY).
    if (uMsg == WM_SUBCLASS_UNHOOK)
        return CSubclassWnd::HandleMessage(uMsg, wParam, lParam, lResult);
    HWND hWndChild = ReflectionTarget(m_hWnd, uMsg, wParam, lParam);
    if (hWndChild == nullptr)
        return false;
    ReflectedMsg reflected = {uMsg + REFLECT_OFFSET, wParam, lParam, FALSE};
    Remember(g_reflectsInFlight, &reflected);
    lResult = ::SendMessageA(hWndChild, WM_SUBCLASS_REFLECT, 0, reinterpret_cast<LPARAM>(&reflected));
    Forget(g_reflectsInFlight, &reflected);
    return reflected.bHandled != FALSE;
}

void CReflectWnd::OnWindowDestroyed()
{
    delete this;
}
