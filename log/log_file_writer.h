// The daily log file: every line the log window shows also goes to
// <folder>\pellarin-YYYYMMDD.log (the line's local date), written by a thread of its own.
//
// Why a thread and a bounded queue: the relay's threads wait while the log window renders a
// line, so the window must never wait for a disk. Append only copies the line into a queue
// under a lock (4 MiB at most; past it lines are dropped and the file says how many); the
// writer thread takes the whole queue every 200 ms, writes it with one WriteFile per file (the
// text is then in the system's hands and survives the process dying) and, at Stop, writes the
// rest and closes. The rules (names, day change, parts, retention, retry) are the platform-free
// log_file_rules.*.
//
// Failure: when the folder cannot be created or the file not opened or written, one note
// names the folder and the Win32 message, lines are dropped, and the folder is tried again by
// the first line of another day or 60 s later; no note per failed try. Notes are handed to the
// window's thread by a posted message (the writer never sends, so a Stop that waits for it
// cannot deadlock) and taken with TakeNotes.
//
// Threads: Start, Stop and TakeNotes on the window's thread; Append on the window's thread (any
// thread would do); everything named m_file* only on the writer thread.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr size_t LOG_FILE_QUEUE_MAX_BYTES = 4 * 1024 * 1024;
constexpr unsigned LOG_FILE_FLUSH_MS = 200;

// The folder the [LOG] Dir value names, made absolute from the current directory (and with
// environment variables expanded); the default folder for an empty value.
std::string ResolveLogFolder(const std::string& strDir);

class CLogFileWriter {
public:
    CLogFileWriter() = default;
    ~CLogFileWriter() { Stop(); }
    CLogFileWriter(const CLogFileWriter&) = delete;
    CLogFileWriter& operator=(const CLogFileWriter&) = delete;

    // Starts the writer thread for strFolder (absolute); notes are announced by posting
    // uNotifyMsg to hNotify. False when the thread cannot be started (nothing is written then).
    bool Start(const std::string& strFolder, int nKeepDays, int nMaxFileMB, HWND hNotify,
               UINT uNotifyMsg);
    // Queues one finished line (CR LF included) for the file of the day its time stamp names.
    // Never waits for the disk; ignored before Start and after Stop.
    void Append(const std::string& strLine, const char* pszTimestamp);
    // Between Start and Stop: lines given to Append are written.
    bool IsRunning();
    // Writes whatever is queued, closes the file and ends the thread. Safe to call twice.
    void Stop();
    // The notes the writer has made since the last call.
    std::vector<std::string> TakeNotes();

private:
    struct Line {
        int nDay;  // -1: the day of the line before
        std::string strText;
    };

    void Run();
    void WriteBatch(std::vector<Line>& lines, size_t nDropped);
    void WriteLine(int nDay, const std::string& strText);
    bool OpenDay(int nDay);
    bool OpenPart();
    void FlushPending();
    void CloseFile();
    void Fail(DWORD dwError);
    void DeleteExpired(int nToday);
    void Note(const std::string& strText);

    // Shared, under m_lock.
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::vector<Line> m_queue;
    size_t m_nQueuedBytes = 0;
    size_t m_nDropped = 0;       // lines dropped since the writer last took the queue
    bool m_bStop = false;
    bool m_bRunning = false;     // between Start and Stop; written by the window's thread
    std::vector<std::string> m_notes;

    // Set by Start before the thread runs; read-only afterwards.
    std::string m_strFolder;
    int m_nKeepDays = 0;
    uint64_t m_nMaxBytes = 0;
    HWND m_hNotify = nullptr;
    UINT m_uNotifyMsg = 0;
    std::thread m_thread;

    // Writer thread only.
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    int m_nFileDay = -1;         // day of the open file (or of the last line, while failed)
    int m_nFilePart = 0;
    uint64_t m_nFileBytes = 0;   // size of the open file, pending text included
    std::string m_strPending;    // text for the open file not yet written
    int m_nRetentionDay = -1;    // the day retention last ran for
    bool m_bFailed = false;
    int m_nFailDay = 0;
    uint64_t m_nFailMs = 0;
};
