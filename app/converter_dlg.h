// The main window (template 102): the hub that owns the serial port, the tray icon, the log
// window, the frame dispatcher (which holds the host connection) and the user-interface
// thread's log record. It is hidden a moment after start; shown, it is the port-settings
// window.
//
// Threads. The window and every handler belong to the user-interface thread (the caller of
// StartMain). The serial watch thread reaches it only through WM_COMM_RXCHAR, sent and waited
// for. The host receive thread reaches it through IRelayOwner: it uses m_trayIcon (which locks
// itself), m_Comm's WritePort and its own log records sent with SendLogRecord (never
// m_LogRecord).
//
// No modal loop inside the dispatcher. The dispatcher's waits (the connect, the end of a
// receive thread) handle messages sent to this thread, among them the shell's tray
// notifications and commands sent by other programs. A command that would open a window or
// ask a question there (About, Settings, the log window, Exit, the tray menu) would run its
// modal loop inside OnCommRxChar, with the serial watch thread parked behind it. While the
// dispatcher runs, such messages are posted back to this window instead, in their order, and
// run once the dispatcher has returned (the waits never take posted messages).
//
// Nothing re-enters either. A terminal frame (WM_COMM_RXCHAR) or a port-lost notice
// (WM_COMM_LOST) that arrives while a wait of the dispatcher, OnDestroy or OnCommLost runs is
// copied to m_held and handled once that has returned, in the order they came; during
// WM_DESTROY frames are dropped (the relay is ending; no connect may start).
//
// Shutdown, in stages: Exit ends the modal run; WM_DESTROY wakes the host receive thread (so
// it stops writing to the terminal), stops the serial port (its watch thread ends before
// ClosePort returns, so no connect request can arrive any more), then ends the host
// connection and waits for its receive thread, then destroys the log window, which nothing
// can send to any more; StartMain then destroys this object, which removes the tray icon and
// ends Windows Sockets.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "app/relay_settings.h"
#include "app/tray_icon.h"
#include "diag/collect_job.h"
#include "log/health_record.h"
#include "log/log_record.h"
#include "relay/frame_dispatcher.h"
#include "serial/ccom.h"
#include "ui/dialog.h"
#include "ui/message_table.h"
#include "ui/wnd.h"

class CDebugDlg;

// Posted by the diagnostics bundle's thread to the main window when the bundle is finished.
constexpr UINT WM_COLLECT_DONE = WM_APP + 0x20;

class CConverterDlg : public CDialog, public IRelayOwner {
public:
    explicit CConverterDlg(HWND hWndParent = nullptr);
    ~CConverterDlg() override;

    // Settings store (registry and config file); UI thread.
    int ReadRegistry();
    // *plError (when given) takes the registry's answer.
    int WriteRegistry(const char* pszPort, LONG* plError = nullptr);
    int ReadDebugLevel();

    // Sends a record to the log window and waits until it has been rendered; does nothing
    // when there is no log window. Any thread; the record must be the caller's own.
    void SendLogRecord(LogRecord& record, WPARAM wCount) const override;
    // Logs a status text through m_LogRecord. UI thread only.
    void LogStatus(const std::string& strText);

    HICON m_hIcon;                 // icon 131; set by the constructor, then only read
    HICON m_hTrafficIcon;          // icon 132; set by the constructor, then only read
    CTrayIcon m_trayIcon;          // any thread (locks itself)
    int m_bUnlocked;               // UI thread: the password was given in this opening
    CComboBox m_comboPort;         // UI thread: control 1000
    std::string m_strPort;         // UI thread: the port name, exchanged with control 1000
    CCom m_Comm;                   // opened and closed by the UI thread; written by receive threads
    std::string m_strTitle;        // UI thread: the caption
    CDebugDlg* m_pDebugDlg;        // set once by the UI thread at initialisation; null if none
    LogRecord m_LogRecord;         // the UI thread's own record
    // The frame dispatcher and the host connection it holds; fed by OnCommRxChar, ended at
    // WM_DESTROY after the serial port has stopped.
    CFrameDispatcher m_dispatcher{this};

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL PreTranslateMessage(MSG* pMsg) override;
    BOOL OnInitDialog() override;
    bool ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnPaint(WPARAM wParam, LPARAM lParam);
    LRESULT OnQueryDragIcon(WPARAM wParam, LPARAM lParam);
    LRESULT OnClose(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
    LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
    LRESULT OnTaskbarCreated(WPARAM wParam, LPARAM lParam);
    LRESULT OnCommRxChar(WPARAM wParam, LPARAM lParam);  // copies the burst to m_dispatcher
    // The serial device lost and reopened (app/port_watch.cpp).
    LRESULT OnCommLost(WPARAM wParam, LPARAM lParam);
    void OnPortRetryTimer();
    void StopPortRetries();  // also restores the tip; Set and WM_DESTROY
    // The day's health summary (app/daily_summary.cpp): at each local midnight and at Exit.
    void StartHealthRecord();
    void OnHealthTimer();
    void ReportHealthDay(const HealthDay& day);
    void OnTrayAbout();
    void OnTrayDebug();
    void OnTrayExit();
    // The port settings (app/port_settings.cpp): the password-gated Settings command and the
    // Set button.
    void OnTraySettings();
    void OnButtonSet();
    // The diagnostics bundle (app/collect_tray.cpp): the tray item starts it on its own
    // thread; WM_COLLECT_DONE, posted by that thread, shows the outcome.
    void OnTrayCollect();
    LRESULT OnCollectDone(WPARAM wParam, LPARAM lParam);

    // IRelayOwner, for the dispatcher and its receive threads.
    void SetTrayPicture(UINT nIconId) override;
    void RequestTrayPicture(UINT nIconId) override;
    void WriteTerminal(const unsigned char* pBytes, int nCount, HANDLE hAbort) override;

private:
    // Counts the dispatcher's calls in progress while it lives; see the top of this file.
    class CDispatching {
    public:
        explicit CDispatching(int& nDepth) : m_nDepth(nDepth) { ++m_nDepth; }
        ~CDispatching() { --m_nDepth; }
        CDispatching(const CDispatching&) = delete;
        CDispatching& operator=(const CDispatching&) = delete;

    private:
        int& m_nDepth;
    };
    // True (and the message posted back to this window) when it would open a window or ask
    // a question while the dispatcher runs.
    bool DeferWhileDispatching(UINT uMsg, WPARAM wParam, LPARAM lParam);
    void ApplyRelaySettings(const RelaySettings& settings);
    // A frame or a port-lost notice held back while the dispatcher was busy.
    struct HeldEvent {
        UINT uMsg;                         // WM_COMM_RXCHAR or WM_COMM_LOST
        WPARAM wParam;                     // WM_COMM_LOST: the opening it is about
        std::vector<unsigned char> frame;  // WM_COMM_RXCHAR: the frame's own copy
    };
    void RunFrame(const unsigned char* pFrame, int nCount);
    void RunCommLost(WPARAM wParam);
    // Handles the held events in order, once nothing of the dispatcher's runs any more.
    void RunHeldEvents();

    // The shell's "TaskbarCreated" message, registered when the library is loaded.
    static const UINT s_uTaskbarCreated;
    static const MessageRow<CConverterDlg> s_messageTable[];

    bool m_bSocketsStarted = false;  // UI thread: WSAStartup succeeded, WSACleanup owed
    bool m_bStarted = false;         // UI thread: initialisation got past the tray icon
    int m_nDispatching = 0;          // UI thread: dispatcher calls in progress (CDispatching)
    std::deque<HeldEvent> m_held;    // UI thread: frames and notices to handle after them
    bool m_bDestroying = false;      // UI thread: WM_DESTROY has begun
    bool m_bPortLost = false;        // UI thread: the device was lost; the retry timer runs
    static constexpr UINT_PTR PORT_RETRY_TIMER_ID = 2;  // reopens a lost port
    CCollectJob m_collectJob;        // UI thread: the tray item's bundle
    static constexpr UINT_PTR HEALTH_TIMER_ID = 3;      // looks for a new local day
};
