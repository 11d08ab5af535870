// The text sink's queue: wide text waiting for the control's thread, under one lock.
//
// Producers on any thread append (with line feeds turned into CR LF when asked); the first
// append after a flush has taken the queue asks its caller, under the same lock, to post one
// flush request, so at most one request is outstanding. A flush takes the whole queue at once
// (the queue is empty afterwards) and inserts it without the lock; text appended meanwhile
// stays for the next flush.
//
// Bounded: a control thread that cannot keep up (busy, or the reader holding the view) must
// not let the producers grow the process without limit, and a producer must never wait for
// the control. Past the bound the oldest queued text is dropped, whole pieces at a time, and
// the next take begins with one line that says how many lines were left out
// ("... N줄 생략 ..."). Text is kept in pieces of a few thousand code units so that dropping
// from the front costs no copy of the rest. No window code here, so the rules are tested
// natively.
#pragma once
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

// About 4 MiB of UTF-16 text: some 170 level-99 lines of 4096-byte blocks.
constexpr std::size_t SINK_QUEUE_MAX_CHARS = std::size_t(2) << 20;
// Appends go into the newest piece while it holds fewer code units than this.
constexpr std::size_t SINK_QUEUE_PIECE_CHARS = 8192;

class SinkQueue {
public:
    explicit SinkQueue(std::size_t nMaxChars = SINK_QUEUE_MAX_CHARS,
                       std::size_t nPieceChars = SINK_QUEUE_PIECE_CHARS)
        : m_nMaxChars(nMaxChars), m_nPieceChars(nPieceChars)
    {
    }

    // Appends pszText (null is ignored). When no flush request is outstanding, calls post()
    // while the lock is held; a true answer marks one outstanding. Empty text still does so.
    // Never waits for anything but the lock and never fails: past the bound the oldest text
    // goes instead.
    template <class Post>
    void Append(const wchar_t* pszText, bool bConvertLf, Post&& post)
    {
        if (pszText == nullptr)
            return;
        std::lock_guard<std::mutex> guard(m_mutex);
        AppendLocked(pszText, bConvertLf);
        if (!m_bFlushPosted && post())
            m_bFlushPosted = true;
    }

    // Takes the whole queue (the line about dropped text first, if any), leaves it empty and
    // clears the outstanding request (the next append posts again).
    std::wstring Take();
    // Clears the outstanding request without taking text (its message went to a control
    // that is gone, or the flush chose to wait); the next append posts again.
    void ForgetFlushRequest();

    // Runs f with the lock held, for state that must change together with the queue's.
    template <class F>
    void Locked(F&& f)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        f();
    }

    // Code units queued, the line about dropped text not counted.
    std::size_t QueuedChars() const;
    // For tests and diagnostics: what Take would answer, without taking it.
    std::wstring Peek() const;
    bool FlushPosted() const;

private:
    void AppendLocked(const wchar_t* pszText, bool bConvertLf);
    void DropOldestLocked();
    std::wstring PeekLocked() const;

    const std::size_t m_nMaxChars;    // past this many code units the oldest pieces go
    const std::size_t m_nPieceChars;  // a piece takes appends while shorter than this
    mutable std::mutex m_mutex;
    bool m_bFlushPosted = false;       // a request is outstanding and no flush has taken the queue
    std::deque<std::wstring> m_pieces;  // oldest first; line ends already converted where asked
    std::size_t m_nChars = 0;          // code units in m_pieces
    long long m_nDroppedLines = 0;     // line feeds dropped since the last take
    bool m_bDropEndsMidLine = false;   // the last dropped piece ended inside a line
};

// Where the next insertion of strText from nFrom ends: all of it when at most nMaxChars
// remain, otherwise after the last line feed within nMaxChars, or at nMaxChars when there is
// none (one less if that would split a surrogate pair). One insertion into the control is
// kept short this way, so the control's thread answers other messages in between.
std::size_t InsertionEnd(const std::wstring& strText, std::size_t nFrom, std::size_t nMaxChars);

// The line that stands for nLines dropped lines, CR LF included.
std::wstring DroppedLinesText(long long nLines);

// Appends pszText to strOut with a CR put before every LF (CR LF becomes CR CR LF: a CR
// already there is not looked at). Reserves the worst case once.
void AppendConvertingLf(std::wstring& strOut, const wchar_t* pszText);
