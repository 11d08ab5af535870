// The transaction-log window: a modeless dialog (template 134) with one read-only edit control
// that shows every log line and whatever the process writes to cout and wcout, and Clear and
// Close buttons.
//
// The main window creates it once, hidden, sets its level and shows it from the tray menu;
// Close (and Escape, Return and the close box, through the dialog's OK/Cancel) only hide it.
// Producers send WM_LOG_RECORD with the address of a record that stays valid until the send
// returns; OnLogRecord renders the line on the user-interface thread and appends it to the
// text sink, which inserts it into the control a little later (in batches, keeping the user's
// view when they have scrolled away from the end).
//
// Streams. From OnInitDialog to OnDestroy, cout and wcout write into two stream buffers whose
// text goes to the same sink. Any thread may be writing to them when the window goes: after
// giving the streams their former buffers back, OnDestroy cuts both buffers from the sink
// under their locks, so a late writer's text is dropped. The buffer objects themselves are
// never freed while the library is loaded (a writer may still hold their address); the object
// hands them to a process-wide keeper when it is destroyed.
//
// Ownership: the window, the control, the sink's insertions and every member here belong to
// the user-interface thread; the stream buffers alone are written by any thread.
#pragma once
#include <windows.h>

#include <ostream>

#include "log/edit_log_sink.h"
#include "log/edit_stream_buf.h"
#include "log/log_file_rules.h"
#include "log/log_file_writer.h"
#include "ui/dialog.h"
#include "ui/message_table.h"
#include "ui/wnd.h"

// The control is emptied before a line that would take its text past this many characters
// (about 2 MB of UTF-16), whatever the line count: at level 99 a 4096-byte block makes a line
// of 12,333 characters, and 5,000 such lines would hold some 120 MB.
constexpr size_t LOG_MAX_TEXT_CHARS = 1000000;

using CNarrowStreamBuf = CEditStreamBuf<char, CEditLogSink>;    // code page 949, for cout
using CWideStreamBuf = CEditStreamBuf<wchar_t, CEditLogSink>;   // UTF-16, for wcout

class CDebugDlg : public CDialog {
public:
    explicit CDebugDlg(HWND hWndParent = nullptr);
    // Destroys a window that is still open (so OnDestroy runs on the whole object), then
    // hands the stream buffers to the keeper.
    ~CDebugDlg() override;

    // Empties the edit control although it is read-only (and leaves it read-only), keeping no
    // undo copy of the old text. Lines still queued in the sink appear after the emptying.
    void ClearLog();

    // Applies config.ini's [LOG] values: card masking, and the daily file, whose writer starts
    // here. A value that cannot be used, and masking turned off, each give a status line.
    // Called once by the main window right after it sets m_nLevel.
    void StartLogFile(const LogIniValues& values);
    // Logs strText as a status line (window and file). UI thread only.
    void LogStatusLine(const std::string& strText);

    // Log level: written once by the main window right after Create, before the first
    // record; read by OnLogRecord. UI thread only.
    int m_nLevel;
    // Lines handed to the sink since the window was last emptied (Clear or automatic). UI thread only.
    int m_nLineCount;
    // Characters the control holds or will hold once the sink has inserted its queue, counted
    // since the window was last emptied (bytes of code page 949, never fewer). UI thread only.
    size_t m_nTextChars;
    CEdit m_editLog;            // control 1002, bound by the data exchange
    CEditLogSink m_logSink;     // no window at construction, 500 ms; attached in OnInitDialog
    CNarrowStreamBuf* const m_pCoutBuf;   // cout's buffer while redirected; never freed
    CWideStreamBuf* const m_pWcoutBuf;    // wcout's buffer while redirected; never freed
    std::streambuf* m_pOldCoutBuf;        // what cout used before OnInitDialog
    std::wstreambuf* m_pOldWcoutBuf;      // what wcout used before OnInitDialog
    HICON m_hIcon;                        // icon 137 from the module that holds it
    // Card numbers in blocks are masked before rendering; cleared only by StartLogFile
    // (MaskCardNumbers=0). UI thread only.
    bool m_bMaskCards;
    CLogFileWriter m_logFile;             // the daily file; started by StartLogFile

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    bool ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

    LRESULT OnLogRecord(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
    LRESULT OnShowWindow(WPARAM wParam, LPARAM lParam);
    LRESULT OnLogFileNote(WPARAM wParam, LPARAM lParam);
    void OnClear();
    void OnHide();

private:
    void RestoreStreams();

    bool m_bRedirected;  // cout and wcout hold our buffers (OnInitDialog .. OnDestroy)
    static const MessageRow<CDebugDlg> s_messageTable[];
};
