// The main window as the port-settings window: the Settings command with its password gate,
// and the Set button that moves the serial link to the chosen port.
//
// Both run on the user-interface thread. A host connection that is open during a port change
// stays open: the Set button touches only m_Comm. The host receive thread may write to m_Comm
// at any moment; CCom keeps those writes apart from the close and the reopen with its lock
// (a write in progress is cancelled and finishes before the device is released; a write while
// no port is open writes nothing and returns 0). Host bytes that arrive while no port is open
// therefore reach no terminal; they are still logged as host blocks.
#include "app/converter_dlg.h"

#include "app/password_dlg.h"
#include "app/product.h"
#include "app/stored_settings.h"
#include "log/debug_dlg.h"
#include "log/event_log.h"
#include "res/resource.h"
#include "ui/string_format.h"

namespace {

constexpr DWORD PORT_REOPEN_PAUSE_MS = 100;  // after a close, before the next open
constexpr UINT STOP_BOX = MB_OK | MB_ICONHAND;  // 0x10

} // namespace

void CConverterDlg::OnTraySettings()
{
    CPasswordDlg dlgPassword;
    if (dlgPassword.DoModal() != IDOK)
        return;
    m_bUnlocked = 1;
    // Any name the field takes opens (through the device namespace) and is stored whole.
    ::SendDlgItemMessageA(m_hWnd, IDC_COMBO_PORT, CB_LIMITTEXT, SETTINGS_PORT_MAX_CHARS, 0);
    ShowWindow(SW_SHOW);
    // A window shown again after being hidden may stay behind the others (Wine leaves it
    // there): the operator must see the settings window at once.
    ::SetWindowPos(m_hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::SetForegroundWindow(m_hWnd);
}

void CConverterDlg::OnButtonSet()
{
    // Only the window the password opened, in this opening, applies a port: a BN_CLICKED
    // that another program sends to the hidden window changes nothing.
    if (!m_bUnlocked || !IsWindowVisible())
        return;
    // Initialisation stopped before the log window was made: the port was never configured
    // either, and nothing here could be reported.
    if (m_pDebugDlg == nullptr || m_pDebugDlg->m_hWnd == nullptr)
        return;

    // The operator's choice wins over the retries of a lost port; OpenPort below gives up
    // that port's claim before it claims the chosen one.
    StopPortRetries();
    if (m_Comm.m_bRunning) {
        m_Comm.ClosePort();
        LogStatus(StringPrintf("%s Close", m_strPort.c_str()));  // still the closed port's name
        ::Sleep(PORT_REOPEN_PAUSE_MS);
    }

    // The combo box's text: a list entry or a typed name, taken as it is.
    UpdateData(TRUE);
    const std::string strPortCopy = m_strPort;
    m_Comm.SetPortConfig(strPortCopy.c_str(), 9600, 8, 0, 0);
    if (m_Comm.OpenPort()) {
        m_Comm.SetNotifyWindow(m_hWnd);
        LogStatus(StringPrintf("%s Open 성공!", m_strPort.c_str()));
        m_bUnlocked = 0;
        ShowWindow(SW_HIDE);
        LONG lError = ERROR_SUCCESS;
        if (!WriteRegistry(m_strPort.c_str(), &lError)) {
            // A standard user may not write HKLM: the port holds for this run only.
            LogStatus(StringPrintf("%s 설정 저장 실패(오류 %ld%s): 이번 실행에만 적용됩니다",
                                   m_strPort.c_str(), lError,
                                   lError == ERROR_ACCESS_DENIED ? ", 관리자 권한 필요" : ""));
        }
        return;
    }
    // The window stays shown and unlocked; no port is open until a later Set succeeds.
    const std::string strMessage = StringPrintf("%s 포트를 열 수 없습니다!", m_strPort.c_str());
    ::MessageBoxA(m_hWnd, strMessage.c_str(), PRODUCT_TITLE, STOP_BOX);
    LogStatus(StringPrintf("%s Open 실패!", m_strPort.c_str()));
    EventLog::Report(EventLog::PortOpenFailed(m_strPort));
}
