// The transaction-log window: a modeless dialog (template 134) with one read-only edit control
// that shows every log line, and Clear and Close buttons.
//
// The main window creates it once, hidden, sets its level and shows it from the tray menu;
// Close (and Escape, Return and the close box, through the dialog's OK/Cancel) only hide it.
// Producers send WM_LOG_RECORD with the address of a record that stays valid until the send
// returns; OnLogRecord renders the line at once on the user-interface thread and appends it
// to the edit control. Everything here runs on the user-interface thread.
#pragma once
#include <windows.h>

#include "ui/dialog.h"
#include "ui/message_table.h"
#include "ui/wnd.h"

class CDebugDlg : public CDialog {
public:
    explicit CDebugDlg(HWND hWndParent = nullptr);
    ~CDebugDlg() override = default;

    // Empties the edit control although it is read-only (and leaves it read-only).
    void ClearLog();

    // Log level: written once by the main window right after Create, before the first
    // record; read by OnLogRecord. UI thread only.
    int m_nLevel;
    // Lines appended since the last automatic clear. UI thread only.
    int m_nLineCount;
    CEdit m_editLog;  // control 1002, bound by the data exchange
    HICON m_hIcon;    // icon 137 from the module that holds it

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    bool ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

    LRESULT OnLogRecord(WPARAM wParam, LPARAM lParam);
    void OnClear();
    void OnHide();

private:
    static const MessageRow<CDebugDlg> s_messageTable[];
};
