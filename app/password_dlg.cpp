// The password gate: the check of the typed text, and the keys that must not end the dialog.
// Everything here runs on the user-interface thread, inside the Settings command's modal run.
#include "app/password_dlg.h"

#include "app/settings_password.h"
#include "res/resource.h"
#include "ui/data_exchange.h"
#include "ui/message_box.h"
#include "ui/module_state.h"
#include "ui/string_format.h"

const MessageRow<CPasswordDlg> CPasswordDlg::s_messageTable[] = {
    CommandHandler(BN_CLICKED, IDC_BUTTON_PASSWORD, &CPasswordDlg::OnCheckPassword),
};

CPasswordDlg::CPasswordDlg(HWND hWndParent) : CDialog(IDD_PASSWORD, hWndParent), m_hIcon(nullptr)
{
    LPCSTR pszIcon = MAKEINTRESOURCEA(IDI_PASSWORD);
    m_hIcon = ::LoadIconA(AfxFindResourceHandle(pszIcon, RT_GROUP_ICON), pszIcon);
}

bool CPasswordDlg::ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    return DispatchMessageTable(this, s_messageTable, uMsg, wParam, lParam, lResult);
}

void CPasswordDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Text(pDX, IDC_EDIT_PASSWORD, m_strPassword);
}

BOOL CPasswordDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    ::SetFocus(GetDlgItem(IDC_EDIT_PASSWORD));
    UpdateData(FALSE);
    return TRUE;
}

BOOL CPasswordDlg::PreTranslateMessage(MSG* pMsg)
{
    if (pMsg->message == WM_KEYDOWN) {
        // Escape would end the dialog through IDCANCEL: only the close box cancels.
        if (pMsg->wParam == VK_ESCAPE)
            return TRUE;
        // Return confirms, like the button (which is not the default button).
        if (pMsg->wParam == VK_RETURN) {
            OnCheckPassword();
            return TRUE;
        }
    }
    return CDialog::PreTranslateMessage(pMsg);
}

void CPasswordDlg::OnCheckPassword()
{
    UpdateData(TRUE);
    // The whole text of the field, no trimming, no case folding (app/settings_password.h).
    const PasswordAnswer answer = CheckSettingsPassword(m_strPassword);
    if (answer.verdict == PasswordVerdict::Accepted) {
        CDialog::OnOK();
        return;
    }
    if (answer.verdict == PasswordVerdict::Wrong)
        AfxMessageBox("비밀번호가 틀렸습니다!", MB_OK);
    else if (answer.verdict == PasswordVerdict::LockedNow)
        AfxMessageBox(StringPrintf("비밀번호가 5번 틀렸습니다! %d초 동안 입력할 수 없습니다.",
                                   answer.nLockedSeconds).c_str(), MB_OK);
    else
        AfxMessageBox(StringPrintf("비밀번호를 5번 틀려 잠겨 있습니다. %d초 후에 다시 "
                                   "입력하십시오.", answer.nLockedSeconds).c_str(), MB_OK);
    m_strPassword.clear();
    UpdateData(FALSE);
    ::SetFocus(GetDlgItem(IDC_EDIT_PASSWORD));
}
