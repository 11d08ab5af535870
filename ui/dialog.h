// The dialog base: a window built from a dialog template in the module's resources, run
// modally (DoModal) or modelessly (Create), with a message table and data exchange.
//
// Dispatch. Every dialog shares one dialog procedure. WM_INITDIALOG carries the object's
// address; from then on the window holds it in a property, so the procedure finds the object
// for each message and hands the message to ProcessWindowMessage (the class's table), then to
// the built-in rows (WM_INITDIALOG -> OnInitDialog, IDOK -> OnOK, IDCANCEL -> OnCancel). A
// message nobody handles goes to the platform's dialog default. The message being handled is
// kept in m_pCurrentMsg, saved and restored around each dispatch, so a handler that pumps
// messages (a message box, a nested modal run) finds its own message again afterwards.
//
// Modal run. DoModal creates the window, shows it, and pumps this thread's messages until
// EndDialog, passing each message first through PreTranslateThreadMessage: the dialogs that
// the message's window belongs to get PreTranslateMessage (the default runs the platform's
// dialog keyboard handling), so modeless dialogs of this thread are served by any modal loop
// that runs. DoModal returns after the window has been destroyed. EndDialog on a modeless
// dialog hides it.
//
// Resources. Templates are looked up through the current module state, so a dialog built
// while StartMain holds the DLL's state comes from the DLL.
//
// All of it runs on the thread that owns the window.
#pragma once
#include <windows.h>

#include "ui/wnd.h"

class CDataExchange;

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, HWND hWndParent = nullptr);
    ~CDialog() override;  // destroys a window that is still open

    // Runs the dialog modally. Returns the EndDialog value, or -1 when the window could not
    // be created (or the run was ended by WM_QUIT, which is posted again).
    INT_PTR DoModal();
    // Creates the window modelessly. True when it exists after its initialisation.
    BOOL Create(UINT nIDTemplate, HWND hWndParent = nullptr);

    // Exchanges data between the controls and the members: from the controls when
    // bSaveAndValidate, else into them.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    // Ends a modal run with nResult (after the current message), or hides a modeless dialog.
    void EndDialog(INT_PTR nResult);

    // Called for every message this thread's loops take for this window or its children
    // before it is dispatched. True: the message is consumed.
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    // Offers a message to the dialogs its window belongs to (innermost first).
    static BOOL PreTranslateThreadMessage(MSG* pMsg);
    // The dialog object of a window, or null when the window is not one of ours.
    static CDialog* FromHandle(HWND hWnd);

    // Message-table support: a handler that also wants default processing calls
    // SetMsgHandled(false). Valid only while a message is being dispatched.
    void SetMsgHandled(bool bHandled);
    bool IsMsgHandled() const;
    const MSG* GetCurrentMessage() const;

protected:
    virtual BOOL OnInitDialog();                 // default: UpdateData(FALSE); returns TRUE
    virtual void DoDataExchange(CDataExchange*) {}
    virtual void OnOK();                         // UpdateData(TRUE), then EndDialog(IDOK)
    virtual void OnCancel();                     // EndDialog(IDCANCEL)
    // The class's message table (DispatchMessageTable). True when handled.
    virtual bool ProcessWindowMessage(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

    UINT m_nIDTemplate;
    HWND m_hWndParent;

private:
    struct CurrentMessage {
        MSG msg;
        bool bHandled;
    };

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

    CurrentMessage* m_pCurrentMsg = nullptr;  // innermost message being dispatched
    bool m_bInModalRun = false;               // DoModal is running for this object
    bool m_bContinueModal = false;            // cleared by EndDialog
    INT_PTR m_nModalResult = -1;
};
