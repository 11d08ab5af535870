// The dialog base: one dialog procedure for every dialog, the modal loop with message
// pre-translation, and the built-in OK/Cancel actions. See dialog.h for the protocol.
#include "ui/dialog.h"

#include "ui/data_exchange.h"
#include "ui/module_state.h"

namespace {

// Window property that holds the CDialog of a window built by this framework.
const char kDialogProp[] = "Pellarin.CDialog";

// Messages whose result a dialog procedure returns directly instead of through
// DWLP_MSGRESULT (the platform's list).
bool ReturnsResultDirectly(UINT uMsg)
{
    switch (uMsg) {
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
        return true;
    default:
        return false;
    }
}

} // namespace

CDialog::CDialog(UINT nIDTemplate, HWND hWndParent)
    : m_nIDTemplate(nIDTemplate), m_hWndParent(hWndParent)
{
}

CDialog::~CDialog()
{
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
}

CDialog* CDialog::FromHandle(HWND hWnd)
{
    return hWnd ? static_cast<CDialog*>(::GetPropA(hWnd, kDialogProp)) : nullptr;
}

BOOL CDialog::Create(UINT nIDTemplate, HWND hWndParent)
{
    m_nIDTemplate = nIDTemplate;
    m_hWndParent = hWndParent;
    LPCSTR pszTemplate = MAKEINTRESOURCEA(nIDTemplate);
    HINSTANCE hInst = AfxFindResourceHandle(pszTemplate, RT_DIALOG);
    HWND hWnd = ::CreateDialogParamA(hInst, pszTemplate, hWndParent, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    return hWnd != nullptr;
}

INT_PTR CDialog::DoModal()
{
    m_bInModalRun = true;
    m_bContinueModal = true;
    m_nModalResult = -1;

    if (!Create(m_nIDTemplate, m_hWndParent)) {
        m_bInModalRun = false;
        return -1;
    }
    // The parent stays disabled for the length of the run, as with the platform's own.
    const bool bParentDisabled = m_hWndParent != nullptr && ::IsWindowEnabled(m_hWndParent);
    if (bParentDisabled)
        ::EnableWindow(m_hWndParent, FALSE);
    // A template without WS_VISIBLE is shown here; the initialisation may already have
    // ended the run.
    if (m_bContinueModal && m_hWnd != nullptr && !::IsWindowVisible(m_hWnd))
        ::ShowWindow(m_hWnd, SW_SHOWNORMAL);

    while (m_bContinueModal && m_hWnd != nullptr) {
        MSG msg;
        BOOL bGot = ::GetMessageA(&msg, nullptr, 0, 0);
        if (bGot == -1)
            break;
        if (bGot == 0) {
            // WM_QUIT belongs to the thread's outer loop: give it back and end this run.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            m_nModalResult = -1;
            break;
        }
        if (!PreTranslateThreadMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }

    if (bParentDisabled)
        ::EnableWindow(m_hWndParent, TRUE);
    if (m_hWnd != nullptr)
        ::DestroyWindow(m_hWnd);
    m_bInModalRun = false;
    return m_nModalResult;
}

void CDialog::EndDialog(INT_PTR nResult)
{
    if (m_bInModalRun) {
        m_nModalResult = nResult;
        m_bContinueModal = false;
    }
    if (m_hWnd != nullptr) {
        ::EndDialog(m_hWnd, nResult);  // hides the window
        ::PostMessageA(m_hWnd, WM_NULL, 0, 0);  // wakes the modal loop
    }
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::PreTranslateMessage(MSG* pMsg)
{
    // The platform's dialog keyboard handling: Tab, arrows, Return (default button), Escape
    // (IDCANCEL). It also dispatches the message when it takes it.
    return ::IsDialogMessageA(m_hWnd, pMsg);
}

BOOL CDialog::PreTranslateThreadMessage(MSG* pMsg)
{
    for (HWND hWnd = pMsg->hwnd; hWnd != nullptr;) {
        if (CDialog* pDlg = FromHandle(hWnd)) {
            if (pDlg->PreTranslateMessage(pMsg))
                return TRUE;
        }
        if ((::GetWindowLongA(hWnd, GWL_STYLE) & WS_CHILD) == 0)
            break;  // a top-level window: its owner is not its container
        hWnd = ::GetParent(hWnd);
    }
    return FALSE;
}

void CDialog::SetMsgHandled(bool bHandled)
{
    if (m_pCurrentMsg != nullptr)
        m_pCurrentMsg->bHandled = bHandled;
}

bool CDialog::IsMsgHandled() const
{
    return m_pCurrentMsg != nullptr && m_pCurrentMsg->bHandled;
}

const MSG* CDialog::GetCurrentMessage() const
{
    return m_pCurrentMsg != nullptr ? &m_pCurrentMsg->msg : nullptr;
}

bool CDialog::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    if (uMsg == WM_INITDIALOG) {
        lResult = OnInitDialog();
        return true;
    }
    if (ProcessWindowMessage(uMsg, wParam, lParam, lResult))
        return true;
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            lResult = 0;
            return true;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            lResult = 0;
            return true;
        }
    }
    return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CDialog* pThis = nullptr;
    if (uMsg == WM_INITDIALOG) {
        pThis = reinterpret_cast<CDialog*>(lParam);
        pThis->m_hWnd = hWnd;
        ::SetPropA(hWnd, kDialogProp, pThis);
    } else {
        pThis = FromHandle(hWnd);
        if (pThis == nullptr)
            return FALSE;  // messages before WM_INITDIALOG: the platform's default
    }

    CurrentMessage current{{hWnd, uMsg, wParam, lParam, 0, {0, 0}}, true};
    CurrentMessage* pPrevious = pThis->m_pCurrentMsg;
    pThis->m_pCurrentMsg = &current;
    LRESULT lResult = 0;
    const bool bHandled = pThis->OnMessage(uMsg, wParam, lParam, lResult);
    pThis->m_pCurrentMsg = pPrevious;

    if (uMsg == WM_NCDESTROY) {
        ::RemovePropA(hWnd, kDialogProp);
        pThis->m_hWnd = nullptr;
    }
    if (!bHandled)
        return FALSE;
    if (ReturnsResultDirectly(uMsg))
        return static_cast<INT_PTR>(lResult);
    if (::IsWindow(hWnd))
        ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, lResult);
    return TRUE;
}
