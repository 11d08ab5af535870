// The transaction-log window. Each WM_LOG_RECORD is rendered by the platform-free formatter (a
// block from a masked copy of its bytes, card_mask.h) and handed to the sink with no line-feed
// conversion (every line already ends in CR LF), then to the daily file's writer; past
// LOG_MAX_LINES lines, or LOG_MAX_TEXT_CHARS characters, the control is emptied first. Stream
// text arrives through the two stream buffers, which convert LF to CR LF. Runs on the
// user-interface thread, which owns the window; producers on other threads reach it through
// SendMessage and wait.
#include "log/debug_dlg.h"

#include "log/log_folder_guard.h"

#include <climits>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "log/card_mask.h"
#include "log/line_format.h"
#include "log/log_folder_guard.h"
#include "log/log_record.h"
#include "res/resource.h"
#include "ui/data_exchange.h"
#include "ui/module_state.h"

namespace {

constexpr UINT LOG_SINK_INTERVAL_MS = 500;
// Posted by the log file's writer thread when it has a note (a folder that failed).
constexpr UINT WM_LOG_FILE_NOTE = WM_APP + 0x10;

// Keeps the stream buffers of destroyed log windows until the library is unloaded: another
// thread may have fetched cout's buffer just before OnDestroy swapped it back, and must find
// a live (cut) buffer when it writes.
class RetiredStreamBufs {
public:
    static void Keep(CNarrowStreamBuf* pNarrow, CWideStreamBuf* pWide)
    {
        RetiredStreamBufs& self = Instance();
        std::lock_guard<std::mutex> guard(self.m_lock);
        self.m_narrow.emplace_back(pNarrow);
        self.m_wide.emplace_back(pWide);
    }

private:
    static RetiredStreamBufs& Instance()
    {
        static RetiredStreamBufs s_keeper;
        return s_keeper;
    }
    std::mutex m_lock;
    std::vector<std::unique_ptr<CNarrowStreamBuf>> m_narrow;
    std::vector<std::unique_ptr<CWideStreamBuf>> m_wide;
};

}  // namespace

const MessageRow<CDebugDlg> CDebugDlg::s_messageTable[] = {
    MessageHandler(WM_DESTROY, &CDebugDlg::OnDestroy),
    MessageHandler(WM_SHOWWINDOW, &CDebugDlg::OnShowWindow),
    CommandHandler(BN_CLICKED, IDC_BUTTON_CLEAR, &CDebugDlg::OnClear),
    CommandHandler(BN_CLICKED, IDC_BUTTON_HIDE, &CDebugDlg::OnHide),
    MessageHandler(WM_LOG_RECORD, &CDebugDlg::OnLogRecord),
    MessageHandler(WM_LOG_FILE_NOTE, &CDebugDlg::OnLogFileNote),
};

CDebugDlg::CDebugDlg(HWND hWndParent)
    : CDialog(IDD_DEBUG, hWndParent),
      m_nLevel(0),
      m_nLineCount(0),
      m_nTextChars(0),
      m_logSink(nullptr, LOG_SINK_INTERVAL_MS),
      m_pCoutBuf(new CNarrowStreamBuf(&m_logSink)),
      m_pWcoutBuf(new CWideStreamBuf(&m_logSink)),
      m_pOldCoutBuf(nullptr),
      m_pOldWcoutBuf(nullptr),
      m_bMaskCards(true),
      m_bRedirected(false)
{
    LPCSTR pszIcon = MAKEINTRESOURCEA(IDI_DEBUG);
    m_hIcon = ::LoadIconA(AfxFindResourceHandle(pszIcon, RT_GROUP_ICON), pszIcon);
}

CDebugDlg::~CDebugDlg()
{
    if (m_hWnd != nullptr)
        ::DestroyWindow(m_hWnd);
    m_logFile.Stop();
    // Should the window never have been destroyed through OnDestroy (creation failed half
    // way), the streams and the buffers are put right here.
    RestoreStreams();
    m_pCoutBuf->Detach();
    m_pWcoutBuf->Detach();
    RetiredStreamBufs::Keep(m_pCoutBuf, m_pWcoutBuf);
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
    // Attaching lifts the control's text limit; the line count bounds the text instead.
    m_logSink.Attach(m_editLog.m_hWnd);
    if (!m_bRedirected) {
        m_pOldCoutBuf = std::cout.rdbuf(m_pCoutBuf);
        m_pOldWcoutBuf = std::wcout.rdbuf(m_pWcoutBuf);
        m_bRedirected = true;
    }
    return TRUE;
}

LRESULT CDebugDlg::OnDestroy(WPARAM, LPARAM)
{
    m_logFile.Stop();  // writes what is queued; the writer only posts to this window
    RestoreStreams();
    // A writer that took a buffer before the swap may still be inside it: wait for it under
    // the buffer's lock, and drop whatever comes later. The sink dies with this object.
    m_pCoutBuf->Detach();
    m_pWcoutBuf->Detach();
    SetMsgHandled(false);
    return 0;
}

LRESULT CDebugDlg::OnShowWindow(WPARAM wParam, LPARAM)
{
    // Hidden, the sink gathers text for one insertion; the reader gets all of it when the
    // window opens.
    if (wParam != FALSE)
        m_logSink.FlushNow();
    SetMsgHandled(false);
    return 0;
}

void CDebugDlg::RestoreStreams()
{
    if (!m_bRedirected)
        return;
    std::cout.rdbuf(m_pOldCoutBuf);
    std::wcout.rdbuf(m_pOldWcoutBuf);
    m_bRedirected = false;
}

LRESULT CDebugDlg::OnLogRecord(WPARAM wParam, LPARAM lParam)
{
    const LogRecord* pRecord = reinterpret_cast<const LogRecord*>(lParam);
    if (pRecord == nullptr)
        return 0;
    char szTimestamp[LOG_TIMESTAMP_CHARS + 1] = {0};
    FormatTimestamp(szTimestamp);
    const int nCount = wParam > static_cast<WPARAM>(INT_MAX) ? INT_MAX : static_cast<int>(wParam);
    // A summary line (level 0) shows no byte of a block but its first, which masking never
    // changes (a card number keeps its first 6 digits): only dumps need the masked copy.
    const bool bMask = m_bMaskCards && m_nLevel != LOG_LEVEL_SUMMARY;
    const std::string strMasked =
        bMask ? MaskedLogText(pRecord->nKind, nCount, pRecord->strText) : std::string();
    const std::string& strText = bMask ? strMasked : pRecord->strText;
    const std::string strLine = FormatLogLine(m_nLevel, pRecord->nKind, nCount, strText,
                                              szTimestamp);
    if (strLine.empty())
        return 0;

    // Bytes of code page 949 are never fewer than the characters they make, so counting
    // bytes keeps the text within the bound.
    if (++m_nLineCount > LOG_MAX_LINES || m_nTextChars + strLine.size() > LOG_MAX_TEXT_CHARS) {
        ClearLog();
        m_nLineCount = 0;
        // What the sink still holds comes after the emptying: it counts against the bound.
        m_nTextChars = m_logSink.QueuedChars();
    }
    m_nTextChars += strLine.size();
    m_logSink.AppendText(strLine.c_str(), false);
    // The file's line shows every byte of the block, one line of text per record.
    if (m_logFile.IsRunning())
        m_logFile.Append(FormatFileLine(m_nLevel, pRecord->nKind, nCount, strText, szTimestamp),
                         szTimestamp);
    return 0;
}

void CDebugDlg::StartLogFile(const LogIniValues& values)
{
    std::vector<std::string> strNotes;
    const LogSettings settings = ParseLogSettings(values, &strNotes);
    m_bMaskCards = settings.bMaskCards;
    const std::string strFolder = ResolveLogFolder(settings.strDir);
    std::string strRefused;
    if (LogFolderAcceptable(strFolder, &strRefused))
        m_logFile.Start(strFolder, settings.nKeepDays, settings.nMaxFileMB, m_hWnd,
                        WM_LOG_FILE_NOTE);
    else
        strNotes.push_back(strRefused);
    for (const std::string& strNote : strNotes)
        LogStatusLine(strNote);
}

void CDebugDlg::LogStatusLine(const std::string& strText)
{
    LogRecord record;
    record.nKind = LOG_STATUS;
    record.strText = strText;
    OnLogRecord(0, reinterpret_cast<LPARAM>(&record));
}

LRESULT CDebugDlg::OnLogFileNote(WPARAM, LPARAM)
{
    for (const std::string& strNote : m_logFile.TakeNotes())
        LogStatusLine(strNote);
    return 0;
}

void CDebugDlg::ClearLog()
{
    CEditLogSink::EmptyControl(m_editLog.m_hWnd);
}

void CDebugDlg::OnClear()
{
    ClearLog();
    // The next automatic clear is counted from this emptying, like after an automatic one.
    m_nLineCount = 0;
    m_nTextChars = m_logSink.QueuedChars();
}

void CDebugDlg::OnHide()
{
    ShowWindow(SW_HIDE);
}
