// The notification-area icon. Every Shell_NotifyIconA call is made under m_lock with the one
// record m_nid, so concurrent SetIcon calls from the user-interface thread and the receive
// threads hand the shell whole records one after the other. Menus and the double-click
// command are delivered outside the lock (see tray_icon.h). The picture last shown is kept
// beside the record under the same lock, so a skipped change can never race a real one.
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
    CLockScope lock(m_lock);
    SupersedeRequests(hIcon);
    if (LOBYTE(LOWORD(::GetVersion())) < 4 || hWndOwner == nullptr || !::IsWindow(hWndOwner)) {
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
    const BOOL bAdded = Notify(NIM_ADD, &m_nid);
    RememberPicture(bAdded);
    m_bEnabled = bAdded ? 1 : 0;
    return m_bEnabled;
}

int CTrayIcon::SetIcon(HICON hIcon)
{
    CLockScope lock(m_lock);
    // A request not handed over yet is shown first, so that every change the callers made in
    // turn reaches the shell in turn (one traffic block just before the connection's end).
    HandOverRequest();
    SupersedeRequests(hIcon);
    const int nResult = SetIconLocked(hIcon);
    if (nResult == 0) {
        CLockScope request(m_csRequest);
        m_bRequestKnown = false;  // the next request asks the shell again
    }
    return nResult;
}

int CTrayIcon::SetIconLocked(HICON hIcon)
{
    if (!m_bEnabled)
        return 0;
    if (m_bPictureKnown && m_hPictureShown == hIcon)
        return 1;  // the shell shows it already
    m_nid.uFlags = NIF_ICON;
    m_nid.hIcon = hIcon;
    const BOOL bChanged = Notify(NIM_MODIFY, &m_nid);
    RememberPicture(bChanged);
    return bChanged ? 1 : 0;
}

int CTrayIcon::SetIcon(UINT nIDResource)
{
    LPCSTR pszIcon = MAKEINTRESOURCEA(static_cast<WORD>(nIDResource));
    HICON hIcon = ::LoadIconA(AfxFindResourceHandle(pszIcon, RT_GROUP_ICON), pszIcon);
    return SetIcon(hIcon);
}

int CTrayIcon::SetTip(const char* pszTip)
{
    CLockScope lock(m_lock);
    CopyTip(m_nid.szTip, pszTip);
    if (!m_bEnabled)
        return 0;
    m_nid.uFlags = NIF_TIP;
    return Notify(NIM_MODIFY, &m_nid) ? 1 : 0;
}

int CTrayIcon::RemoveIcon()
{
    CLockScope lock(m_lock);
    if (!m_bEnabled)
        return 0;
    m_nid.uFlags = 0;
    const BOOL bResult = Notify(NIM_DELETE, &m_nid);
    ForgetPicture();
    m_bEnabled = 0;
    return bResult ? 1 : 0;
}

int CTrayIcon::Restore()
{
    CLockScope lock(m_lock);
    if (m_nid.hWnd == nullptr || !::IsWindow(m_nid.hWnd))
        return 0;  // never created: nothing to restore
    // The shell may have lost the icon with its picture: nothing it showed is known any more.
    ForgetPicture();
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    BOOL bShown = Notify(NIM_ADD, &m_nid);
    if (!bShown)
        bShown = Notify(NIM_MODIFY, &m_nid);  // the shell still had it
    RememberPicture(bShown);
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
