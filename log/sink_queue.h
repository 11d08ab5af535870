// The text sink's queue: wide text waiting for the control's thread, under one lock.
//
// Producers on any thread append (with line feeds turned into CR LF when asked); the first
// append after a flush has taken the queue asks its caller, under the same lock, to post one
// flush request, so at most one request is outstanding. The flush copies the whole queue,
// works on the copy without the lock, and then removes exactly what it copied: text appended
// in between stays for the next flush. No window code here, so the rules are tested natively.
#pragma once
#include <cstddef>
#include <mutex>
#include <string>

class SinkQueue {
public:
    // Appends pszText (null is ignored). When no flush request is outstanding, calls post()
    // while the lock is held; a true answer marks one outstanding. Empty text still does so.
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

    // Copies the whole queue and clears the outstanding request (the next append posts again).
    std::wstring Take();
    // Clears the outstanding request without taking text (its message went to a control
    // that is gone); the next append posts again.
    void ForgetFlushRequest();
    // Removes the first nTaken code units, or fewer if the queue is shorter.
    void Remove(std::size_t nTaken);

    // Runs f with the lock held, for state that must change together with the queue's.
    template <class F>
    void Locked(F&& f)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        f();
    }

    // For tests and diagnostics.
    std::wstring Peek() const;
    bool FlushPosted() const;

private:
    void AppendLocked(const wchar_t* pszText, bool bConvertLf);

    mutable std::mutex m_mutex;
    bool m_bFlushPosted = false;  // a request is outstanding and no flush has taken the queue
    std::wstring m_strQueue;      // line ends already converted where asked
};

// Appends pszText to strOut with a CR put before every LF (CR LF becomes CR CR LF: a CR
// already there is not looked at). Reserves the worst case once.
void AppendConvertingLf(std::wstring& strOut, const wchar_t* pszText);
