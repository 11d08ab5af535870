// The main window: its initialisation (icons, caption, port list, Windows Sockets, tray icon,
// hiding timer, log window, serial port), its message table and its handlers; terminal frames
// go on to the frame dispatcher (relay/frame_dispatcher.h). Everything here runs on the
// user-interface thread, except the IRelayOwner calls of the receive threads.
#include "app/converter_dlg.h"

#include <cstring>

#include "app/about_dlg.h"
#include "app/product.h"
#include "app/config_ini.h"
#include "app/protected_places.h"
#include "app/relay_settings.h"
#include "app/ssl_library.h"
#include "app/settings_store.h"
#include "app/stored_settings.h"
#include "log/debug_dlg.h"
#include "log/event_log.h"
#include "log/relay_health.h"
#include "res/resource.h"
#include "ui/data_exchange.h"
#include "ui/module_state.h"
#include "ui/string_format.h"

namespace {

constexpr UINT_PTR HIDING_TIMER_ID = 1;   // its first tick after the window shows hides it
constexpr UINT HIDING_TIMER_PERIOD = 1;   // ms
constexpr WORD SOCKETS_VERSION = 0x0101;  // Windows Sockets 1.1
constexpr UINT STOP_BOX = MB_OK | MB_ICONHAND;              // 0x10
constexpr UINT EXIT_QUESTION_BOX = MB_OKCANCEL | MB_ICONEXCLAMATION;  // 0x31
constexpr WPARAM SC_ABOUT_BASE = 0x0010;  // system commands 0x0010 to 0x001F open the about box

const char* const kPortNames[] = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                  "COM6", "COM7", "COM8", "COM9"};

} // namespace

const UINT CConverterDlg::s_uTaskbarCreated = ::RegisterWindowMessageA("TaskbarCreated");

const MessageRow<CConverterDlg> CConverterDlg::s_messageTable[] = {
    MessageHandler(WM_SYSCOMMAND, &CConverterDlg::OnSysCommand),
    MessageHandler(WM_PAINT, &CConverterDlg::OnPaint),
    MessageHandler(WM_QUERYDRAGICON, &CConverterDlg::OnQueryDragIcon),
    MessageHandler(WM_CLOSE, &CConverterDlg::OnClose),
    MessageHandler(WM_DESTROY, &CConverterDlg::OnDestroy),
    MessageHandler(WM_TIMER, &CConverterDlg::OnTimer),
    CommandHandler(0, ID_TRAY_ABOUT, &CConverterDlg::OnTrayAbout),
    CommandHandler(0, ID_TRAY_SETTINGS, &CConverterDlg::OnTraySettings),
    CommandHandler(0, ID_TRAY_DEBUG, &CConverterDlg::OnTrayDebug),
    CommandHandler(0, ID_TRAY_EXIT, &CConverterDlg::OnTrayExit),
    CommandHandler(0, ID_TRAY_COLLECT, &CConverterDlg::OnTrayCollect),
    MessageHandler(WM_COLLECT_DONE, &CConverterDlg::OnCollectDone),
    CommandHandler(BN_CLICKED, IDC_BUTTON_SET, &CConverterDlg::OnButtonSet),
    MessageHandler(WM_TRAY_NOTIFY, &CConverterDlg::OnTrayNotify),
    MessageHandler(WM_COMM_RXCHAR, &CConverterDlg::OnCommRxChar),
    MessageHandler(WM_COMM_LOST, &CConverterDlg::OnCommLost),
    RegisteredMessageHandler(&CConverterDlg::s_uTaskbarCreated, &CConverterDlg::OnTaskbarCreated),
};

CConverterDlg::CConverterDlg(HWND hWndParent)
    : CDialog(IDD_CONVERTER, hWndParent),
      m_hIcon(nullptr),
      m_hTrafficIcon(nullptr),
      m_bUnlocked(0),
      m_pDebugDlg(nullptr)
{
    LPCSTR pszIcon = MAKEINTRESOURCEA(ICON_IDLE);
    m_hIcon = ::LoadIconA(AfxFindResourceHandle(pszIcon, RT_GROUP_ICON), pszIcon);
    // Loaded once: the relay asks for a picture per block.
    LPCSTR pszTraffic = MAKEINTRESOURCEA(ICON_TRAFFIC);
    m_hTrafficIcon = ::LoadIconA(AfxFindResourceHandle(pszTraffic, RT_GROUP_ICON), pszTraffic);
}

CConverterDlg::~CConverterDlg()
{
    CDispatching dispatching(m_nDispatching);
    m_dispatcher.EndHostConnection();  // normally done at WM_DESTROY already; sockets first
    if (m_bSocketsStarted)
        ::WSACleanup();
}

bool CConverterDlg::ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam,
                                         LRESULT& lResult)
{
    if (DeferWhileDispatching(uMsg, wParam, lParam)) {
        lResult = 0;
        return true;
    }
    return DispatchMessageTable(this, s_messageTable, uMsg, wParam, lParam, lResult);
}

bool CConverterDlg::DeferWhileDispatching(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (m_nDispatching == 0)
        return false;
    bool bOpensWindow = false;
    switch (uMsg) {
    case WM_COMMAND:
        bOpensWindow = HIWORD(wParam) == 0 &&
                       (LOWORD(wParam) == ID_TRAY_ABOUT || LOWORD(wParam) == ID_TRAY_SETTINGS ||
                        LOWORD(wParam) == ID_TRAY_DEBUG || LOWORD(wParam) == ID_TRAY_EXIT ||
                        LOWORD(wParam) == ID_TRAY_COLLECT);
        break;
    case WM_COLLECT_DONE:  // shows a box
        bOpensWindow = true;
        break;
    case WM_TRAY_NOTIFY:
        bOpensWindow = LOWORD(lParam) == WM_RBUTTONUP || LOWORD(lParam) == WM_LBUTTONDBLCLK;
        break;
    case WM_SYSCOMMAND:
        bOpensWindow = (wParam & ~static_cast<WPARAM>(0xF)) == SC_ABOUT_BASE;
        break;
    case WM_CLOSE:
        bOpensWindow = true;  // without a tray icon it asks the Exit question
        break;
    default:
        break;
    }
    return bOpensWindow && ::PostMessageA(m_hWnd, uMsg, wParam, lParam);
}

void CConverterDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_COMBO_PORT, m_comboPort);
    DDX_CBString(pDX, IDC_COMBO_PORT, m_strPort);
}

BOOL CConverterDlg::PreTranslateMessage(MSG* pMsg)
{
    // Escape and Return would end the dialog (Cancel, OK): the main window only ends by Exit.
    if (pMsg->message == WM_KEYDOWN && (pMsg->wParam == VK_ESCAPE || pMsg->wParam == VK_RETURN))
        return TRUE;
    return CDialog::PreTranslateMessage(pMsg);
}

BOOL CConverterDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    m_strTitle = StringPrintf("%s %s", PRODUCT_TITLE, PRODUCT_VERSION);
    SetText(m_strTitle);

    if (!ReadRegistry())
        m_strPort = "COM1";
    for (const char* pszName : kPortNames)
        m_comboPort.AddString(pszName);
    for (int i = 0; i < static_cast<int>(sizeof(kPortNames) / sizeof(kPortNames[0])); ++i) {
        if (std::strcmp(m_strPort.c_str(), kPortNames[i]) == 0) {
            m_comboPort.SetCurSel(i);
            break;
        }
    }

    WSADATA wsaData;
    if (::WSAStartup(SOCKETS_VERSION, &wsaData) != 0) {
        ::MessageBoxA(m_hWnd, "프로그램을 실행할 수 없습니다", PRODUCT_TITLE, STOP_BOX);
        OnOK();
        return FALSE;
    }
    m_bSocketsStarted = true;

    if (!m_trayIcon.Create(m_hWnd, WM_TRAY_NOTIFY, PRODUCT_TITLE, nullptr, IDR_TRAY_MENU))
        return FALSE;  // stays shown; its close box then asks the Exit question
    m_bStarted = true;
    m_trayIcon.SetIcon(static_cast<UINT>(ICON_IDLE));

    ::SetTimer(m_hWnd, HIDING_TIMER_ID, HIDING_TIMER_PERIOD, nullptr);

    const ConfigIni config = ReadConfigIni(SETTINGS_INI_PATH);
    m_pDebugDlg = new CDebugDlg(nullptr);
    if (m_pDebugDlg->Create(IDD_DEBUG, nullptr)) {
        m_pDebugDlg->m_nLevel = config.nDebugLevel;
        LogIniValues logValues = config.LogValues();
        const std::string strRefused =
            RefuseUnprotectedUnmasking(logValues, config.strPath.c_str());
        m_pDebugDlg->StartLogFile(logValues);
        m_pDebugDlg->ShowWindow(SW_HIDE);
        if (!strRefused.empty())
            LogStatus(strRefused);
    } else {
        delete m_pDebugDlg;
        m_pDebugDlg = nullptr;
    }
    ApplyRelaySettings(config.Relay());
    StartHealthRecord();
    const std::string strSslProblem = LoadSslLibrary();
    if (!strSslProblem.empty())
        LogStatus(strSslProblem);
    for (const std::string& strRefusedTls : RefusedTlsEnvironment())
        LogStatus(strRefusedTls);

    const std::string strPortCopy = m_strPort;
    m_Comm.SetPortConfig(strPortCopy.c_str(), 9600, 8, 0, 0);
    if (m_Comm.OpenPort()) {
        m_Comm.SetNotifyWindow(m_hWnd);
        LogStatus(StringPrintf("%s Open 성공!", m_strPort.c_str()));
        WriteRegistry(m_strPort.c_str());
    } else {
        const std::string strMessage = StringPrintf("%s 포트를 열 수 없습니다!", m_strPort.c_str());
        ::MessageBoxA(m_hWnd, strMessage.c_str(), PRODUCT_TITLE, STOP_BOX);
        LogStatus(StringPrintf("%s Open 실패!", m_strPort.c_str()));
        EventLog::Report(EventLog::PortOpenFailed(m_strPort));
    }
    return TRUE;
}

void CConverterDlg::ApplyRelaySettings(const RelaySettings& settings)
{
    for (const std::string& strNotice : settings.notices)
        LogStatus(strNotice);
    m_dispatcher.SetHostPolicy(settings.nConnectTimeoutS, settings.allowHosts);
}

int CConverterDlg::ReadRegistry()
{
    return ReadStoredPort(m_strPort);
}

int CConverterDlg::WriteRegistry(const char* pszPort, LONG* plError)
{
    return WriteStoredPort(pszPort, plError);
}

int CConverterDlg::ReadDebugLevel()
{
    return ReadConfigIni(SETTINGS_INI_PATH).nDebugLevel;
}

void CConverterDlg::SendLogRecord(LogRecord& record, WPARAM wCount) const
{
    if (m_pDebugDlg == nullptr || m_pDebugDlg->m_hWnd == nullptr)
        return;  // initialisation stopped before the log window was made
    ::SendMessageA(m_pDebugDlg->m_hWnd, WM_LOG_RECORD, wCount, reinterpret_cast<LPARAM>(&record));
}

void CConverterDlg::LogStatus(const std::string& strText)
{
    m_LogRecord.nKind = LOG_STATUS;
    m_LogRecord.strText = strText;
    SendLogRecord(m_LogRecord, 0);
}

LRESULT CConverterDlg::OnSysCommand(WPARAM wParam, LPARAM)
{
    if ((wParam & ~static_cast<WPARAM>(0xF)) == SC_ABOUT_BASE) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
        return 0;
    }
    SetMsgHandled(false);
    return 0;
}

LRESULT CConverterDlg::OnPaint(WPARAM, LPARAM)
{
    if (!::IsIconic(m_hWnd)) {
        SetMsgHandled(false);
        return 0;
    }
    PAINTSTRUCT ps;
    HDC hDC = ::BeginPaint(m_hWnd, &ps);
    ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDC), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    ::GetClientRect(m_hWnd, &rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    ::DrawIcon(hDC, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
    return 0;
}

LRESULT CConverterDlg::OnQueryDragIcon(WPARAM, LPARAM)
{
    return reinterpret_cast<LRESULT>(m_hIcon);
}

LRESULT CConverterDlg::OnClose(WPARAM, LPARAM)
{
    // Hidden with no tray icon, the program could not be reached or ended any more.
    if (!m_trayIcon.IsShown()) {
        OnTrayExit();
        return 0;
    }
    ShowWindow(SW_HIDE);
    m_bUnlocked = 0;  // the password holds for one opening of the window
    return 0;
}

LRESULT CConverterDlg::OnDestroy(WPARAM, LPARAM)
{
    ::KillTimer(m_hWnd, HIDING_TIMER_ID);
    m_bDestroying = true;
    m_held.clear();
    CDispatching dispatching(m_nDispatching);
    StopPortRetries();
    // Stage 0: the receive thread gives up a write to a terminal that may not be reading, and
    // ends its connection without anyone waiting yet.
    m_dispatcher.StopHostConnection();
    // Stage 1: the serial watch thread stops (a frame it still delivers meanwhile is
    // dropped); no connect request can arrive after this. A lost port's claim goes too.
    m_Comm.ClosePort();
    // Stage 2: the host connection ends and its receive thread is waited for.
    m_dispatcher.EndHostConnection();
    // The day so far, with every connection ended, while the log window still takes lines.
    if (m_bStarted)
        ReportHealthDay(g_relayHealth.Today());
    // Stage 3: nothing sends to the log window any more; it goes with the main window.
    delete m_pDebugDlg;
    m_pDebugDlg = nullptr;
    return 0;
}

LRESULT CConverterDlg::OnTimer(WPARAM wParam, LPARAM)
{
    if (wParam == PORT_RETRY_TIMER_ID) {
        OnPortRetryTimer();
        return 0;
    }
    if (wParam == HEALTH_TIMER_ID) {
        OnHealthTimer();
        return 0;
    }
    if (wParam != HIDING_TIMER_ID) {
        SetMsgHandled(false);
        return 0;
    }
    // A tick that arrives before the window was first shown (a message box of the
    // initialisation was pumping messages) would leave the window shown for good, the
    // settings unlocked without the password: wait for a tick after the show.
    if (!IsWindowVisible())
        return 0;
    if (!m_bUnlocked)
        ShowWindow(SW_HIDE);
    ::KillTimer(m_hWnd, HIDING_TIMER_ID);
    SetMsgHandled(false);
    return 0;
}

LRESULT CConverterDlg::OnTrayNotify(WPARAM wParam, LPARAM lParam)
{
    return m_trayIcon.OnTrayNotification(wParam, lParam);
}

LRESULT CConverterDlg::OnTaskbarCreated(WPARAM, LPARAM)
{
    // After a failed start (no icon, no port, no log window) the window stays shown and its
    // close box asks the Exit question; an icon added now would claim a running relay and
    // turn the close box back into hiding a program that does nothing.
    if (m_bStarted)
        m_trayIcon.Restore();
    return 0;
}

LRESULT CConverterDlg::OnCommRxChar(WPARAM, LPARAM)
{
    // Only the watch thread's own notification, sent from another thread while its burst is
    // pending, carries terminal bytes: one posted, sent from this thread or sent by another
    // program finds no burst and is ignored (it would replay the last burst to the host).
    // Taken once, a burst is relayed once, whoever's message arrives first.
    if (!::InSendMessage())
        return 0;
    // The watch thread waits while this runs, so m_abRxBuf is stable during the copy (and
    // only then: a held frame keeps a copy of its own); the count is the watch thread's own,
    // which its message carries as wParam.
    const int nCount = m_Comm.TakeBurst();
    if (nCount <= 0 || nCount > COMM_RX_BUFFER || m_bDestroying)
        return 0;
    if (m_nDispatching > 0) {
        m_held.push_back(HeldEvent{WM_COMM_RXCHAR, 0,
                                   std::vector<unsigned char>(m_Comm.m_abRxBuf,
                                                              m_Comm.m_abRxBuf + nCount)});
        return 0;
    }
    unsigned char abFrame[COMM_RX_BUFFER];
    std::memset(abFrame, 0, sizeof(abFrame));
    std::memcpy(abFrame, m_Comm.m_abRxBuf, static_cast<size_t>(nCount));
    RunFrame(abFrame, nCount);
    RunHeldEvents();
    return 0;
}

void CConverterDlg::RunFrame(const unsigned char* pFrame, int nCount)
{
    CDispatching dispatching(m_nDispatching);
    m_dispatcher.OnFrame(pFrame, nCount);
}

void CConverterDlg::RunHeldEvents()
{
    while (m_nDispatching == 0 && !m_bDestroying && !m_held.empty()) {
        HeldEvent held = std::move(m_held.front());
        m_held.pop_front();
        if (held.uMsg == WM_COMM_RXCHAR)
            RunFrame(held.frame.data(), static_cast<int>(held.frame.size()));
        else
            RunCommLost(held.wParam);
    }
}

void CConverterDlg::SetTrayPicture(UINT nIconId)
{
    m_trayIcon.RequestIconInTurn(nIconId == ICON_TRAFFIC ? m_hTrafficIcon : m_hIcon);
}

void CConverterDlg::RequestTrayPicture(UINT nIconId)
{
    m_trayIcon.RequestIcon(nIconId == ICON_TRAFFIC ? m_hTrafficIcon : m_hIcon);
}

void CConverterDlg::WriteTerminal(const unsigned char* pBytes, int nCount, HANDLE hAbort)
{
    m_Comm.WritePort(pBytes, nCount, hAbort);
}

void CConverterDlg::OnTrayAbout()
{
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
}

void CConverterDlg::OnTrayDebug()
{
    if (m_pDebugDlg != nullptr && m_pDebugDlg->m_hWnd != nullptr)
        m_pDebugDlg->ShowWindow(SW_SHOW);
}

void CConverterDlg::OnTrayExit()
{
    if (::MessageBoxA(m_hWnd, "프로그램을 종료하시겠습니까?", PRODUCT_TITLE, EXIT_QUESTION_BOX) ==
        IDOK)
        OnOK();
}
