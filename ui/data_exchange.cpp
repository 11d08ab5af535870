// Data exchange: moves texts between a dialog's controls and its string members, and binds
// control wrappers to their controls. Runs on the dialog's thread.
#include "ui/data_exchange.h"

#include <vector>

#include "ui/dialog.h"

HWND CDataExchange::GetControl(int nIDC) const
{
    return ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC);
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control)
{
    control.m_hWnd = pDX->GetControl(nIDC);
}

void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value)
{
    HWND hCtrl = pDX->GetControl(nIDC);
    if (hCtrl == nullptr)
        return;
    CWnd ctrl;
    ctrl.m_hWnd = hCtrl;
    if (pDX->m_bSaveAndValidate)
        value = ctrl.GetText();
    else
        ctrl.SetText(value);
}

void DDX_CBString(CDataExchange* pDX, int nIDC, std::string& value)
{
    HWND hCtrl = pDX->GetControl(nIDC);
    if (hCtrl == nullptr)
        return;
    CWnd ctrl;
    ctrl.m_hWnd = hCtrl;
    const LONG lType = ::GetWindowLongA(hCtrl, GWL_STYLE) & 0x3;  // CBS_SIMPLE/DROPDOWN/DROPDOWNLIST
    if (pDX->m_bSaveAndValidate) {
        if (lType != CBS_DROPDOWNLIST) {
            value = ctrl.GetText();
            return;
        }
        int nIndex = static_cast<int>(ctrl.Send(CB_GETCURSEL));
        if (nIndex == CB_ERR) {
            value.clear();
            return;
        }
        int nLength = static_cast<int>(ctrl.Send(CB_GETLBTEXTLEN, nIndex));
        std::vector<char> buffer(nLength > 0 ? static_cast<size_t>(nLength) + 1 : 1, '\0');
        ctrl.Send(CB_GETLBTEXT, nIndex, reinterpret_cast<LPARAM>(buffer.data()));
        value = buffer.data();
        return;
    }
    if (ctrl.Send(CB_SELECTSTRING, static_cast<WPARAM>(-1),
                  reinterpret_cast<LPARAM>(value.c_str())) == CB_ERR)
        ctrl.SetText(value);  // a drop-down list without a field ignores this
}
