// The notification-area icon. Every Shell_NotifyIconA call hands the shell a copy of the one
// record m_nid taken under m_lock, and is made after the lock is left: the shell is another
// process and may answer late, and nobody must wait for it on the lock (see tray_icon.h).
// Menus and the double-click command are delivered outside the lock too. The picture last
// shown is kept beside the record under the same lock; a call overtaken by a later one
// (CompletePictureCall) makes the worker hand the latest record over again.
#include "app/tray_icon.h"

#include <cstring>

#include "app/lock_scope.h"
#include "ui/module_state.h"

namespace {

// Copies pszTip into the 64-byte tip field, cut at a character boundary of the ANSI code page
// so that no lead byte is left without its trail byte.
void CopyTip(CHAR (&szTip)[64], const char* pszTip)
{
    std::memset(szTip, 0, sizeof(szTip));
    if (pszTip == nullptr)
        return;
    const char* pEnd = pszTip;
    while (*pEnd != '\0') {
        const char* pNext = ::CharNextA(pEnd);
        if (pNext - pszTip > static_cast<ptrdiff_t>(sizeof(szTip) - 1))
            break;
        pEnd = pNext;
    }
    std::memcpy(szTip, pszTip, static_cast<size_t>(pEnd - pszTip));
}

BOOL Notify(DWORD dwMessage, TRAY_ICON_DATA* pData)
{
    return ::Shell_NotifyIconA(dwMessage, reinterpret_cast<PNOTIFYICONDATAA>(pData));
}

} // namespace

const CRuntimeClass CTrayIcon::classCTrayIcon = {"CTrayIcon", &CObject::classCObject};

CTrayIcon::CTrayIcon()
    : m_bEnabled(0), m_bPictureKnown(false), m_hPictureShown(nullptr), m_bRequestKnown(false),
      m_hRequested(nullptr), m_nRequested(0), m_nApplied(0),
      m_hSettled(::CreateEventA(nullptr, TRUE, TRUE, nullptr)),
      m_hWake(::CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_hStopWorker(::CreateEventA(nullptr, TRUE, FALSE, nullptr)), m_hWorker(nullptr)
{
    std::memset(&m_nid, 0, sizeof(m_nid));
    ::InitializeCriticalSection(&m_lock);
    ::InitializeCriticalSection(&m_csRequest);
}

CTrayIcon::~CTrayIcon()
{
    StopWorker();
    RemoveIcon();
    const HANDLE ahEvents[] = {m_hSettled, m_hWake, m_hStopWorker};
    for (HANDLE h : ahEvents) {
        if (h)
            ::CloseHandle(h);
    }
    ::DeleteCriticalSection(&m_csRequest);
    ::DeleteCriticalSection(&m_lock);
}

int CTrayIcon::Create(HWND hWndOwner, UINT uCallbackMessage, const char* pszTip, HICON hIcon,
                      UINT uID)
{
    // An icon already shown is taken down first: the shell refuses a second add of the same
    // owner and id, which would leave this object believing it had no icon.
    RemoveIcon();
    StartWorker();
    TRAY_ICON_DATA nid;
    unsigned long nCall;
    {
        CLockScope lock(m_lock);
        SupersedeRequests(hIcon);
        if (LOBYTE(LOWORD(::GetVersion())) < 4 || hWndOwner == nullptr ||
            !::IsWindow(hWndOwner)) {
            m_bEnabled = 0;
            return 0;
        }
        m_nid.cbSize = sizeof(m_nid);
        m_nid.hWnd = hWndOwner;
        m_nid.uID = uID;
        m_nid.hIcon = hIcon;
        m_nid.uCallbackMessage = uCallbackMessage;
        m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        CopyTip(m_nid.szTip, pszTip);
        nid = m_nid;
        nCall = ++m_nPictureCalls;
    }
    const BOOL bAdded = Notify(NIM_ADD, &nid);
    CLockScope lock(m_lock);
    CompletePictureCall(nCall, bAdded);
    m_bEnabled = bAdded ? 1 : 0;
    return m_bEnabled;
}

int CTrayIcon::SetIcon(HICON hIcon)
{
    {
        CLockScope lock(m_lock);
        SupersedeRequests(hIcon);  // a request not handed over yet is not shown any more
    }
    const int nResult = ChangePicture(hIcon);
    if (nResult == 0) {
        CLockScope request(m_csRequest);
        m_bRequestKnown = false;  // the next request asks the shell again
    }
    return nResult;
}

int CTrayIcon::ChangePicture(HICON hIcon, unsigned long nRequest)
{
    TRAY_ICON_DATA nid;
    unsigned long nCall;
    {
        CLockScope lock(m_lock);
        if (nRequest != 0) {
            // Superseded by SetIcon (which does so under m_lock) since the worker read it.
            CLockScope request(m_csRequest);
            if (m_nApplied >= nRequest)
                return 1;
        }
        if (!m_bEnabled)
            return 0;
        if (m_bPictureKnown && m_hPictureShown == hIcon)
            return 1;  // the shell shows it already
        m_nid.uFlags = NIF_ICON;
        m_nid.hIcon = hIcon;
        nid = m_nid;
        nCall = ++m_nPictureCalls;
        ForgetPicture();  // unknown until a call made after every other one has answered
    }
    const BOOL bChanged = Notify(NIM_MODIFY, &nid);
    CLockScope lock(m_lock);
    CompletePictureCall(nCall, bChanged);
    return bChanged ? 1 : 0;
}

void CTrayIcon::CompletePictureCall(unsigned long nCall, BOOL bShellResult)
{
    if (nCall == m_nPictureCalls) {
        RememberPicture(bShellResult);
        return;
    }
    // A later call was made while this one ran, and the shell may have taken the two in
    // either order: its picture is unknown, and the worker hands the latest record over.
    ForgetPicture();
    m_bHandOverAgain = true;
    ::SetEvent(m_hWake);
}

int CTrayIcon::SetIcon(UINT nIDResource)
{
    LPCSTR pszIcon = MAKEINTRESOURCEA(static_cast<WORD>(nIDResource));
    HICON hIcon = ::LoadIconA(AfxFindResourceHandle(pszIcon, RT_GROUP_ICON), pszIcon);
    return SetIcon(hIcon);
}

int CTrayIcon::SetTip(const char* pszTip)
{
    TRAY_ICON_DATA nid;
    {
        CLockScope lock(m_lock);
        CopyTip(m_nid.szTip, pszTip);
        if (!m_bEnabled)
            return 0;
        nid = m_nid;
    }
    nid.uFlags = NIF_TIP;
    return Notify(NIM_MODIFY, &nid) ? 1 : 0;
}

int CTrayIcon::RemoveIcon()
{
    TRAY_ICON_DATA nid;
    {
        CLockScope lock(m_lock);
        if (!m_bEnabled)
            return 0;
        ForgetPicture();
        m_bEnabled = 0;
        nid = m_nid;
    }
    nid.uFlags = 0;
    return Notify(NIM_DELETE, &nid) ? 1 : 0;
}

int CTrayIcon::Restore()
{
    TRAY_ICON_DATA nid;
    unsigned long nCall;
    {
        CLockScope lock(m_lock);
        if (m_nid.hWnd == nullptr || !::IsWindow(m_nid.hWnd))
            return 0;  // never created: nothing to restore
        // The shell may have lost the icon with its picture: nothing it showed is known any
        // more.
        ForgetPicture();
        m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        nid = m_nid;
        nCall = ++m_nPictureCalls;
    }
    BOOL bShown = Notify(NIM_ADD, &nid);
    if (!bShown)
        bShown = Notify(NIM_MODIFY, &nid);  // the shell still had it
    CLockScope lock(m_lock);
    CompletePictureCall(nCall, bShown);
    m_bEnabled = bShown ? 1 : 0;
    return m_bEnabled;
}

void CTrayIcon::ForgetPicture()
{
    m_bPictureKnown = false;
    m_hPictureShown = nullptr;
}

void CTrayIcon::RememberPicture(BOOL bShellResult)
{
    // After a failed call the shell's picture is unknown: it may have refused the change or
    // lost the icon altogether.
    if (!bShellResult) {
        ForgetPicture();
        return;
    }
    m_bPictureKnown = true;
    m_hPictureShown = m_nid.hIcon;
}

bool CTrayIcon::IsShown() const
{
    CLockScope lock(m_lock);
    return m_bEnabled != 0;
}

HMENU CTrayIcon::LoadTrayMenu(HMENU* phPopup) const
{
    UINT uID;
    {
        CLockScope lock(m_lock);
        uID = m_nid.uID;
    }
    LPCSTR pszMenu = MAKEINTRESOURCEA(static_cast<WORD>(uID));
    HMENU hMenu = ::LoadMenuA(AfxFindResourceHandle(pszMenu, RT_MENU), pszMenu);
    if (hMenu == nullptr)
        return nullptr;
    *phPopup = ::GetSubMenu(hMenu, 0);
    if (*phPopup == nullptr) {
        ::DestroyMenu(hMenu);
        return nullptr;
    }
    return hMenu;
}

int CTrayIcon::OnTrayNotification(WPARAM wParam, LPARAM lParam)
{
    HWND hWndOwner;
    UINT uID;
    {
        CLockScope lock(m_lock);
        hWndOwner = m_nid.hWnd;
        uID = m_nid.uID;
    }
    if (wParam != uID)
        return 0;

    switch (LOWORD(lParam)) {
    case WM_RBUTTONUP: {
        HMENU hPopup = nullptr;
        HMENU hMenu = LoadTrayMenu(&hPopup);
        if (hMenu == nullptr)
            return 0;
        ::SetMenuDefaultItem(hPopup, 0, TRUE);
        POINT pt = {0, 0};
        ::GetCursorPos(&pt);
        ::SetForegroundWindow(hWndOwner);
        ::TrackPopupMenu(hPopup, 0, pt.x, pt.y, 0, hWndOwner, nullptr);
        // Lets the menu close properly when the user clicks elsewhere.
        ::PostMessageA(hWndOwner, WM_USER, 0, 0);
        ::DestroyMenu(hMenu);
        return 1;
    }
    case WM_LBUTTONDBLCLK: {
        HMENU hPopup = nullptr;
        HMENU hMenu = LoadTrayMenu(&hPopup);
        if (hMenu == nullptr)
            return 0;
        ::SetForegroundWindow(hWndOwner);
        const UINT uCommand = ::GetMenuItemID(hPopup, 0);
        ::SendMessageA(hWndOwner, WM_COMMAND, uCommand, 0);
        ::DestroyMenu(hMenu);
        return 1;
    }
    default:
        return 1;
    }
}
