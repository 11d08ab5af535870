// The main window's side of a serial device that goes away and comes back (a USB adapter
// unplugged and plugged in again, a driver restart).
//
// The watch thread only reports the loss (WM_COMM_LOST, posted); everything here runs on the
// user-interface thread. The relay then logs the loss once, shows the idle picture with a tip
// that names the lost port, ends the host connection as DLE does (its terminal is gone), and
// tries every PORT_RETRY_PERIOD_MS to open the same port with the same settings. It keeps its
// claim on the port meanwhile (serial/port_claim.h), so no second relay takes it. When the
// port opens it logs the opening as at start, restores the tip and relays again. Nothing asks
// the operator anything: nobody may be at the PC. A Set in the settings window stops the
// retries and wins (StopPortRetries); Exit kills the timer with the window, so it ends at once.
#include "app/converter_dlg.h"

#include "app/product.h"
#include "log/event_log.h"
#include "log/relay_health.h"
#include "res/resource.h"
#include "ui/string_format.h"

namespace {

constexpr UINT PORT_RETRY_PERIOD_MS = 2000;

} // namespace

LRESULT CConverterDlg::OnCommLost(WPARAM wParam, LPARAM)
{
    if (m_bDestroying)
        return 0;
    // Inside a wait of the dispatcher: after it, in its turn among the frames held back.
    if (m_nDispatching > 0) {
        m_held.push_back(HeldEvent{WM_COMM_LOST, wParam, {}});
        return 0;
    }
    RunCommLost(wParam);
    RunHeldEvents();
    return 0;
}

void CConverterDlg::RunCommLost(WPARAM wParam)
{
    // A notice posted before the port was closed, reopened or moved (Set) is stale.
    if (m_bPortLost || !m_Comm.m_bRunning || static_cast<LONG>(wParam) != m_Comm.Opening())
        return;
    // Its waits (the device's write lock, the receive thread) handle sent messages: frames
    // and window commands that come meanwhile are held back.
    CDispatching dispatching(m_nDispatching);
    m_bPortLost = true;
    m_Comm.ReleaseDevice();  // the dead handle goes now; the claim stays
    m_dispatcher.EndHostConnection();
    const std::string& strPort = m_Comm.m_strPortName;
    m_trayIcon.SetIcon(static_cast<UINT>(ICON_IDLE));
    m_trayIcon.SetTip(StringPrintf("%s - %s 연결 끊김", PRODUCT_TITLE, strPort.c_str()).c_str());
    LogStatus(StringPrintf("%s 포트 연결 끊김!", strPort.c_str()));
    EventLog::Report(EventLog::PortLost(strPort));
    RelayHealth::Count(HEALTH_PORT_LOSSES);
    ::SetTimer(m_hWnd, PORT_RETRY_TIMER_ID, PORT_RETRY_PERIOD_MS, nullptr);
}

void CConverterDlg::OnPortRetryTimer()
{
    if (!m_bPortLost) {
        ::KillTimer(m_hWnd, PORT_RETRY_TIMER_ID);
        return;
    }
    if (!m_Comm.ReopenPort())
        return;  // not back yet: the next tick tries again
    StopPortRetries();
    RelayHealth::Count(HEALTH_PORT_REOPENS);
    m_Comm.SetNotifyWindow(m_hWnd);
    LogStatus(StringPrintf("%s Open 성공!", m_Comm.m_strPortName.c_str()));
}

void CConverterDlg::StopPortRetries()
{
    ::KillTimer(m_hWnd, PORT_RETRY_TIMER_ID);
    if (!m_bPortLost)
        return;
    m_bPortLost = false;
    m_trayIcon.SetTip(PRODUCT_TITLE);
}
