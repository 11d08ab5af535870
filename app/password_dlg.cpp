// The password gate: the check of the typed text, and the keys that must not end the dialog.
// Everything here runs on the user-interface thread, inside the Settings command's modal run.
#include "app/password_dlg.h"

#include <cstring>

#include "res/resource.h"
#include "ui/data_exchange.h"
#include "ui/message_box.h"
#include "ui/module_state.h"

namespace {

// Compared byte for byte with the whole text of the field: no trimming, no case folding.
const char kSettingsPassword[] = "7316";

} // namespace

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
    if (std::strcmp(m_strPassword.c_str(), kSettingsPassword) == 0) {
        CDialog::OnOK();
        return;
    }
    AfxMessageBox("비밀번호가 틀렸습니다!", MB_OK);
    m_strPassword.clear();
    UpdateData(FALSE);
    ::SetFocus(GetDlgItem(IDC_EDIT_PASSWORD));
}
