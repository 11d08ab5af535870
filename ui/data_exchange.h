// Data exchange between a dialog's controls and its members.
//
// DoDataExchange lists the pairs once; UpdateData runs it in one direction: from the controls
// into the members (m_bSaveAndValidate true) or from the members into the controls. Texts are
// code page 949 strings.
#pragma once
#include <windows.h>

#include <string>

class CDialog;
class CWnd;

class CDataExchange {
public:
    CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate)
        : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(bSaveAndValidate) {}

    HWND GetControl(int nIDC) const;

    CDialog* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds the control wrapper to the dialog's control nIDC (both directions).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control);
// The control's window text <-> value.
void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value);
// Combo box: saving takes the text of its field (or, without a field, of the selected
// entry); loading selects the first entry that begins with value, or, when none does, puts
// value into the field.
void DDX_CBString(CDataExchange* pDX, int nIDC, std::string& value);
