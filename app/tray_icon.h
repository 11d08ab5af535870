// The program's icon in the shell's notification area: add it, change its picture, remove
// it, and turn the user's clicks on it into the commands of the tray menu.
//
// Threads. Create, Restore, RemoveIcon, SetTip, SetIcon and OnTrayNotification run on the
// user-interface thread; RequestIcon and RequestIconInTurn run there and on the host receive
// threads, and the object's worker thread hands requests over (see below). Every change of
// m_nid happens under m_lock, and each shell call hands over a whole copy of it taken under
// the lock, so two pictures set at once never mix fields. No shell call is made while a lock
// is held: the shell is another process (a hung or slow one answers late), and a thread that
// waits for a lock answers nothing meanwhile. A shell call overtaken by a later one may have
// reached the shell after it: the worker then hands the latest record over again. Nor is a
// lock held while a window message is sent to this program's own windows (TrackPopupMenu and
// the double-click's WM_COMMAND run outside it).
//
// The shell copies the icon's bits at every call, so a change to the picture already shown is
// not handed over: the object remembers the picture of its last successful add or change and
// forgets it whenever a call fails, at RemoveIcon and at Restore, so that a refused or lost
// icon is never taken for one still showing that picture.
//
// Requests from the relay (RequestIcon, RequestIconInTurn) do not wait for the shell: a
// picture change costs the shell's side most of a millisecond, which a receive thread would
// otherwise pay per block, and a hung shell would hold the relay. The object's own worker
// thread, started by Create, hands the shell the latest picture requested, so a burst of
// requests costs one change; RequestIconInTurn keeps the picture requested before it (if not
// handed over yet) and has it shown first. SetIcon calls the shell at once and supersedes a
// request still waiting, as Create does. Lock order: m_lock, then m_csRequest; the requests
// take only m_csRequest.
//
// The record is the shell's first NOTIFYICONDATA layout: 88 bytes on 32-bit Windows, its
// pointer-sized equivalent (NOTIFYICONDATAA_V1_SIZE) on 64-bit.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <cstddef>

#include "ui/object.h"

constexpr UINT WM_TRAY_NOTIFY = WM_USER + 10;  // the shell's callback to the owner window

// NOTIFYICONDATAA in its first layout.
struct TRAY_ICON_DATA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[64];
};

static_assert(sizeof(TRAY_ICON_DATA) == NOTIFYICONDATAA_V1_SIZE,
              "the tray record must be the shell's first NOTIFYICONDATA layout");
static_assert(offsetof(TRAY_ICON_DATA, szTip) == offsetof(NOTIFYICONDATAA, szTip),
              "tray record fields must sit where the shell reads them");
#ifndef _WIN64
static_assert(sizeof(TRAY_ICON_DATA) == 88, "the 32-bit tray record is 88 bytes");
#endif

class CTrayIcon : public CObject {
public:
    static const CRuntimeClass classCTrayIcon;

    CTrayIcon();
    ~CTrayIcon() override;  // removes the icon
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;
    const CRuntimeClass* GetRuntimeClass() const override { return &classCTrayIcon; }

    // Adds the icon for hWndOwner, which receives uCallbackMessage with wParam uID. The tip is
    // cut to 63 bytes at a character boundary. 1 if the shell added it, else 0.
    int Create(HWND hWndOwner, UINT uCallbackMessage, const char* pszTip, HICON hIcon, UINT uID);
    // Changes the picture. The shell's result, 1 without a call when the shell already shows
    // hIcon, or 0 while the icon is not shown.
    int SetIcon(HICON hIcon);
    // The same with an icon resource of this module, loaded at every call.
    int SetIcon(UINT nIDResource);
    // Asks for hIcon without waiting: the worker shows the latest picture asked for (after a
    // failed change, the next request asks the shell again). Any thread; nothing happens
    // before Create.
    void RequestIcon(HICON hIcon);
    // The same, but a picture asked for before and not handed over yet is shown first.
    void RequestIconInTurn(HICON hIcon);
    // Waits until the latest request has been handed to the shell (or superseded). True
    // when it has within dwTimeoutMs.
    bool WaitForPicture(DWORD dwTimeoutMs) const;
    // Changes the tip (cut as Create cuts it); it is kept for a Restore. The shell's result,
    // or 0 while the icon is not shown (the tip is still kept).
    int SetTip(const char* pszTip);
    // Removes the icon. The shell's result, or 0 when it was not shown.
    int RemoveIcon();
    // Adds the icon again after the shell has restarted (its "TaskbarCreated" broadcast).
    // When the icon turns out to be still there, it is refreshed instead. 1 if shown.
    int Restore();
    // True while the icon is in the notification area.
    bool IsShown() const;

    // The owner window's handler of the callback message: the menu on a right-button release,
    // the menu's first command on a double-click. Returns the message's result.
    virtual int OnTrayNotification(WPARAM wParam, LPARAM lParam);

protected:
    // Guarded by m_lock. m_bEnabled: 1 while the icon is shown (result of the last add).
    // m_nid: the record handed to the shell; owner, id and message are written by Create on
    // the user-interface thread, flags and icon by every call.
    int m_bEnabled;
    TRAY_ICON_DATA m_nid;

private:
    // Guarded by m_lock: the picture the shell was last handed with success, valid while
    // m_bPictureKnown is true.
    void ForgetPicture();
    void RememberPicture(BOOL bShellResult);
    bool m_bPictureKnown;
    HICON m_hPictureShown;

    HMENU LoadTrayMenu(HMENU* phPopup) const;

    // The shell call of SetIcon(HICON), made without a lock held; for the worker's request
    // nRequest (0: a direct change), nothing once that request has been superseded.
    int ChangePicture(HICON hIcon, unsigned long nRequest = 0);
    // After a picture call made as the nCall-th one: remembers its result, unless a later
    // call was made meanwhile; m_lock held.
    void CompletePictureCall(unsigned long nCall, BOOL bShellResult);
    unsigned long m_nPictureCalls = 0;  // guarded by m_lock: picture calls begun so far
    bool m_bHandOverAgain = false;      // guarded by m_lock: the worker hands m_nid over again
    // Makes hIcon the latest picture asked for, handed over now by the caller; m_lock held.
    void SupersedeRequests(HICON hIcon);

    // The worker (tray_icon_worker.cpp). Started by Create, stopped by the destructor.
    void StartWorker();
    void StopWorker();
    static unsigned WorkerProc(void* pParam);
    // Hands the latest request to the shell unless that was done or superseded. Worker only.
    void HandOverRequest();

    mutable CRITICAL_SECTION m_lock;

    // Guarded by m_csRequest: the latest picture asked for (valid while m_bRequestKnown), the
    // number of requests so far, the number handed over or superseded (m_nApplied), and the
    // picture to show before the latest (m_hShowFirst, valid while m_bShowFirst);
    // m_hSettled is set while the two numbers are equal.
    mutable CRITICAL_SECTION m_csRequest;
    bool m_bRequestKnown;
    HICON m_hRequested;
    unsigned long m_nRequested;
    unsigned long m_nApplied;
    bool m_bShowFirst = false;
    HICON m_hShowFirst = nullptr;
    HANDLE m_hSettled;  // manual reset
    HANDLE m_hWake;     // auto reset: a request is waiting
    HANDLE m_hStopWorker;
    HANDLE m_hWorker;
};
