// The password gate in front of the port settings (template 141, icon 142).
//
// The operator types the password into edit 1006 and confirms with button 1007 or Return.
// Only the site's own password (its hash stored by "pellarin.exe --set-settings-password"), or
// the exact text "7316" when none is stored, ends the dialog with IDOK; a wrong one is answered
// with a message box, the field is emptied and gets the focus back. After 5 wrong ones in a row
// every attempt is refused for 30 s, with a box that says so (app/settings_password.h). Escape does nothing (the dialog has no Cancel button); the caption bar's close box
// or Alt+F4 ends it with IDCANCEL. Made, run modally and destroyed by the main window's
// Settings command, on the user-interface thread.
#pragma once
#include <windows.h>

#include <string>

#include "ui/dialog.h"
#include "ui/message_table.h"

class CPasswordDlg : public CDialog {
public:
    explicit CPasswordDlg(HWND hWndParent = nullptr);

    std::string m_strPassword;  // exchanged with edit 1006; empty at construction
    HICON m_hIcon;              // icon 142 from the library's resources

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL PreTranslateMessage(MSG* pMsg) override;
    BOOL OnInitDialog() override;
    bool ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

    // Button 1007 and Return: ends the dialog with IDOK for the right password, otherwise
    // tells the operator, empties the field and puts the focus back into it.
    void OnCheckPassword();

private:
    static const MessageRow<CPasswordDlg> s_messageTable[];
};
