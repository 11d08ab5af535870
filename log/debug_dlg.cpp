// The transaction-log window (interim form): each WM_LOG_RECORD is rendered by the
// platform-free formatter and appended straight to the edit control; after LOG_MAX_LINES lines
// the control is emptied first. Runs on the user-interface thread, which owns the window;
// producers on other threads reach it through SendMessage and wait.
#include "log/debug_dlg.h"

#include <climits>

#include "log/line_format.h"
#include "log/log_record.h"
#include "res/resource.h"
#include "ui/data_exchange.h"
#include "ui/module_state.h"

const MessageRow<CDebugDlg> CDebugDlg::s_messageTable[] = {
    CommandHandler(BN_CLICKED, IDC_BUTTON_CLEAR, &CDebugDlg::OnClear),
    CommandHandler(BN_CLICKED, IDC_BUTTON_HIDE, &CDebugDlg::OnHide),
    MessageHandler(WM_LOG_RECORD, &CDebugDlg::OnLogRecord),
};

CDebugDlg::CDebugDlg(HWND hWndParent)
    : CDialog(IDD_DEBUG, hWndParent), m_nLevel(0), m_nLineCount(0)
{
    LPCSTR pszIcon = MAKEINTRESOURCEA(IDI_DEBUG);
    m_hIcon = ::LoadIconA(AfxFindResourceHandle(pszIcon, RT_GROUP_ICON), pszIcon);
}

bool CDebugDlg::ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    return DispatchMessageTable(this, s_messageTable, uMsg, wParam, lParam, lResult);
}

void CDebugDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_EDIT_LOG, m_editLog);
}

BOOL CDebugDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    // The edit control's default limit (30,000 characters) would stop the log after a few
    // full dumps; the line count bounds the text instead.
    ::SendMessageA(m_editLog.m_hWnd, EM_SETLIMITTEXT, 0, 0);
    return TRUE;
}

LRESULT CDebugDlg::OnLogRecord(WPARAM wParam, LPARAM lParam)
{
    const LogRecord* pRecord = reinterpret_cast<const LogRecord*>(lParam);
    if (pRecord == nullptr)
        return 0;
    char szTimestamp[LOG_TIMESTAMP_CHARS + 1] = {0};
    FormatTimestamp(szTimestamp);
    const int nCount = wParam > static_cast<WPARAM>(INT_MAX) ? INT_MAX : static_cast<int>(wParam);
    const std::string strLine =
        FormatLogLine(m_nLevel, pRecord->nKind, nCount, pRecord->strText, szTimestamp);
    if (strLine.empty())
        return 0;

    if (++m_nLineCount > LOG_MAX_LINES) {
        ClearLog();
        m_nLineCount = 0;
    }
    const int nEnd = ::GetWindowTextLengthA(m_editLog.m_hWnd);
    m_editLog.SetSel(nEnd, nEnd);
    m_editLog.ReplaceSel(strLine.c_str());
    return 0;
}

void CDebugDlg::ClearLog()
{
    const bool bReadOnly = (::GetWindowLongA(m_editLog.m_hWnd, GWL_STYLE) & ES_READONLY) != 0;
    if (bReadOnly)
        m_editLog.SetReadOnly(FALSE);
    m_editLog.SetSel(0, -1);
    m_editLog.Send(WM_CLEAR);
    if (bReadOnly)
        m_editLog.SetReadOnly(TRUE);
}

void CDebugDlg::OnClear()
{
    ClearLog();
}

void CDebugDlg::OnHide()
{
    ShowWindow(SW_HIDE);
}
