// Text sink for a multi-line edit control: any thread appends, the control's thread inserts.
//
// Producers append to a bounded queue under its lock and post at most one WM_SINK_FLUSH to
// the control until a flush has taken the queue; they never wait for the control. The flush
// runs inside the control's window procedure: when the user follows the end of the text
// (caret at the end, nothing selected, last page shown) it inserts at once and the control
// scrolls with it; otherwise it waits, and inserts while keeping the selection with its
// direction and the first visible line when the timer (SINK_TIMER_ID, one period) fires or,
// whichever comes first, at the first flush one period after the waiting began (a steady
// stream of messages can hold a timer back for ever). A flush that waits leaves the queue
// alone; one that inserts takes it whole, so text appended by other threads meanwhile waits
// for the next flush. What was taken goes into the control SINK_INSERT_CHARS at a time, each
// part in a flush of its own (the sink posts itself another WM_SINK_FLUSH), in the order
// taken and before anything queued later.
//
// While the control is hidden (its window not visible) nobody sees where text goes in, and
// each insertion costs the control a layout, a scroll-bar update and notifications whatever
// its length: the flush then inserts nothing until SINK_HIDDEN_BATCH_CHARS are queued or the
// hidden period (far shorter than the reader's) has passed since the first flush that
// waited, and puts all of it in at once. FlushNow, which the owner calls when it shows the
// control, inserts what is queued at once.
//
// Ownership: the owner constructs the sink (possibly before the control exists), attaches it
// on the control's thread and destroys it there; the sink leaves the control at its
// WM_DESTROY. AppendText, AppendTextW and QueuedChars may be called from any thread;
// everything else runs on the control's thread.
#pragma once
#include <windows.h>

#include "log/flush_deferral.h"
#include "log/sink_queue.h"
#include "log/subclass_wnd.h"

const UINT WM_SINK_FLUSH = WM_USER + 500;  // 1524, posted to the control itself
const UINT_PTR SINK_TIMER_ID = 4711;
// Narrow text up to this many bytes, terminator included, is converted on the stack.
const size_t SINK_STACK_CHARS = 1024;
// Most code units one insertion hands the control (about five level-99 lines); the rest of
// what a flush took follows in flushes of its own, so that laying out a large batch never
// keeps the control's thread from its other messages for long.
const size_t SINK_INSERT_CHARS = 65536;
// While the control is hidden, queued text waits for one insertion until it holds this many
// code units (or the hidden period passed).
const size_t SINK_HIDDEN_BATCH_CHARS = SINK_INSERT_CHARS;
// The hidden period's default, in milliseconds.
const UINT SINK_HIDDEN_INTERVAL_MS = 50;

// True on the NT family (GetVersion's high bit clear): the control gets wide text through
// SendMessageW; otherwise ANSI text through SendMessageA. Set when the module is loaded.
extern const bool g_bUseWideText;

class CEditLogSink : public CSubclassWnd {
public:
    // hWndEdit may be null (attach later); nIntervalMs is the deferred-insert period while
    // the reader has scrolled away, nHiddenIntervalMs the one while the control is hidden.
    CEditLogSink(HWND hWndEdit, UINT nIntervalMs,
                 UINT nHiddenIntervalMs = SINK_HIDDEN_INTERVAL_MS);
    ~CEditLogSink() override;

    // Any thread. Null text is ignored; with bConvertLf every LF is queued as CR LF.
    virtual void AppendTextW(const wchar_t* pszText, bool bConvertLf);
    // Hooks the edit control (leaving any other control first) and lifts its text limit.
    virtual void Attach(HWND hWndEdit);
    // Any thread. Narrow text in the ANSI code page; converted, then as AppendTextW.
    void AppendText(const char* pszText, bool bConvertLf);

    bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;
    // Inserts the queued text; answers false when it deferred (only when bForce is false).
    bool Flush(bool bForce);
    void OnTimer(UINT_PTR nIdEvent);
    // Inserts what is queued now, whatever the view (keeping it as a forced flush does).
    // Control's thread.
    void FlushNow();
    // Code units not yet inserted: queued, or taken and waiting for their turn. Control's
    // thread.
    size_t QueuedChars() const
    {
        return m_queue.QueuedChars() + (m_strTaken.size() - m_nTakenDone);
    }
    // Empties the control so that it keeps no copy of the old text (no undo). Control's thread.
    static void EmptyControl(HWND hWndEdit);

protected:
    UINT_PTR m_nTimer;     // 0 while no deferred-insert timer runs; control's thread only
    UINT m_nInterval;      // milliseconds
    UINT m_nHiddenInterval;  // milliseconds
    UINT m_nWaitMs;        // the period of the last wait: the timer's; control's thread only
    FlushDeferral m_deferral;  // since when flushes have waited; control's thread only
    FlushDeferral m_hiddenDeferral;  // the same while hidden; control's thread only
    std::wstring m_strTaken;   // what the last take answered; control's thread only
    size_t m_nTakenDone = 0;   // code units of m_strTaken inserted so far
    SinkQueue m_queue;     // queue, flush-posted flag and the post target, under one lock
    HWND m_hWndTarget;     // where appends post WM_SINK_FLUSH; guarded by m_queue's lock

    // The tick count that the deferral compares: GetTickCount (a test may answer its own).
    virtual DWORD Now() const;

private:
    void SetPostTarget(HWND hWnd);
    void StopTimer();
    // True when a flush should leave the text queued because the control is hidden and the
    // batch is not due yet.
    bool WaitsWhileHidden();
    void InsertAtEnd(const std::wstring& strText, int nLength);
};
