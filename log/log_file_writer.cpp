// The daily log file's writer thread; see log_file_writer.h.
#include "log/log_file_writer.h"

#include <shlobj.h>

#include <chrono>

#include "log/log_file_rules.h"
#include "log/relay_health.h"
#include "ui/string_format.h"

namespace {

std::string Win32Message(DWORD dwError)
{
    char szText[512] = {0};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, dwError, 0, szText, sizeof szText, nullptr);
    std::string strText(szText, n);
    while (!strText.empty() && (strText.back() == '\r' || strText.back() == '\n' ||
                                strText.back() == ' ' || strText.back() == '.'))
        strText.pop_back();
    return StringPrintf("%lu: %s", static_cast<unsigned long>(dwError),
                        strText.empty() ? "?" : strText.c_str());
}

// Creates strFolder and every missing folder above it. ERROR_SUCCESS, or the error of the
// first folder that could not be made.
DWORD CreateFolderPath(const std::string& strFolder)
{
    // A network path's server and share (\\server\share) exist or not; they are never made.
    size_t nFirst = 0;
    if (strFolder.compare(0, 2, "\\\\") == 0) {
        const size_t nServerEnd = strFolder.find('\\', 2);
        nFirst = nServerEnd == std::string::npos ? strFolder.size()
                                                 : strFolder.find('\\', nServerEnd + 1);
        if (nFirst == std::string::npos)
            nFirst = strFolder.size();
    }
    for (size_t i = nFirst; i <= strFolder.size(); ++i) {
        if (i < strFolder.size() && strFolder[i] != '\\' && strFolder[i] != '/')
            continue;
        const std::string strPart = strFolder.substr(0, i);
        if (strPart.empty() || strPart.back() == ':' ||
            (i > 0 && (strFolder[i - 1] == '\\' || strFolder[i - 1] == '/')))
            continue;  // a drive, the root, a doubled separator
        const DWORD dwAttributes = ::GetFileAttributesA(strPart.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (!::CreateDirectoryA(strPart.c_str(), nullptr)) {
            const DWORD dwError = ::GetLastError();
            if (dwError != ERROR_ALREADY_EXISTS)
                return dwError;
        }
    }
    const DWORD dwAttributes = ::GetFileAttributesA(strFolder.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

// The local day of a file time; nFallback when it cannot be converted (the file then counts as
// written on that day, which keeps it).
int LocalDayOf(const FILETIME& ftUtc, int nFallback)
{
    FILETIME ftLocal;
    SYSTEMTIME st;
    if (!::FileTimeToLocalFileTime(&ftUtc, &ftLocal) || !::FileTimeToSystemTime(&ftLocal, &st))
        return nFallback;
    return DaysFromCivil(st.wYear, st.wMonth, st.wDay);
}

uint64_t NowMs()
{
    return ::GetTickCount64();
}

}  // namespace

std::string ResolveLogFolder(const std::string& strDir)
{
    std::string strName = strDir;
    if (strName.empty()) {
        // %ProgramData%; where the variable is missing, the folder it stands for.
        char szCommon[MAX_PATH] = {0};
        const DWORD n = ::GetEnvironmentVariableA("ProgramData", szCommon, MAX_PATH);
        if ((n == 0 || n >= MAX_PATH) &&
            ::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, szCommon) != S_OK)
            lstrcpynA(szCommon, "C:\\ProgramData", MAX_PATH);
        strName = std::string(szCommon) + "\\Pellarin\\log";
    } else {
        char szExpanded[MAX_PATH] = {0};
        const DWORD n = ::ExpandEnvironmentStringsA(strName.c_str(), szExpanded, MAX_PATH);
        if (n > 0 && n <= MAX_PATH)
            strName = szExpanded;
    }
    char szFull[MAX_PATH] = {0};
    const DWORD n = ::GetFullPathNameA(strName.c_str(), MAX_PATH, szFull, nullptr);
    if (n > 0 && n < MAX_PATH)
        strName = szFull;
    while (strName.size() > 3 && (strName.back() == '\\' || strName.back() == '/'))
        strName.pop_back();
    return strName;
}

bool CLogFileWriter::Start(const std::string& strFolder, int nKeepDays, int nMaxFileMB,
                           HWND hNotify, UINT uNotifyMsg)
{
    if (m_bRunning)
        return true;
    m_strFolder = strFolder;
    m_nKeepDays = nKeepDays;
    m_nMaxBytes = static_cast<uint64_t>(nMaxFileMB) * 1024 * 1024;
    m_hNotify = hNotify;
    m_uNotifyMsg = uNotifyMsg;
    m_bStop = false;
    try {
        m_thread = std::thread(&CLogFileWriter::Run, this);
    } catch (...) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_bRunning = true;
    return true;
}

void CLogFileWriter::Append(const std::string& strLine, const char* pszTimestamp)
{
    int nDay = -1;
    if (!DayOfTimestamp(pszTimestamp, &nDay))
        nDay = -1;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_bRunning || m_bStop)
        return;
    // Once a line is dropped, every later one is too until the writer takes the queue, so the
    // note it writes stands where the gap is.
    if (m_nDropped > 0 || m_nQueuedBytes + strLine.size() > LOG_FILE_QUEUE_MAX_BYTES) {
        ++m_nDropped;
        RelayHealth::Count(HEALTH_LOG_LINES_DROPPED);
        return;
    }
    m_queue.push_back({nDay, strLine});
    m_nQueuedBytes += strLine.size();
}

bool CLogFileWriter::IsRunning()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bRunning && !m_bStop;
}

void CLogFileWriter::Stop()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_bRunning)
            return;
        m_bStop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> guard(m_lock);
    m_bRunning = false;
}

std::vector<std::string> CLogFileWriter::TakeNotes()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> notes;
    notes.swap(m_notes);
    return notes;
}

void CLogFileWriter::Run()
{
    for (;;) {
        std::vector<Line> lines;
        size_t nDropped = 0;
        bool bStop = false;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            m_wake.wait_for(guard, std::chrono::milliseconds(LOG_FILE_FLUSH_MS),
                            [this] { return m_bStop; });
            lines.swap(m_queue);
            nDropped = m_nDropped;
            m_nQueuedBytes = 0;
            m_nDropped = 0;
            bStop = m_bStop;
        }
        WriteBatch(lines, nDropped);
        if (bStop)
            break;
    }
    CloseFile();
}

void CLogFileWriter::WriteBatch(std::vector<Line>& lines, size_t nDropped)
{
    for (Line& line : lines)
        WriteLine(line.nDay, line.strText);
    if (nDropped > 0)
        WriteLine(-1, StringPrintf("... %d줄 생략 ...\r\n", static_cast<int>(nDropped)));
    FlushPending();
}

void CLogFileWriter::WriteLine(int nDay, const std::string& strText)
{
    if (nDay < 0)
        nDay = m_nFileDay;  // a line without a date goes where the one before it went
    if (nDay < 0)
        return;
    if (m_bFailed) {
        if (!ShouldRetryFolder(m_nFailDay, m_nFailMs, nDay, NowMs()))
            return;
        m_bFailed = false;
    }
    if (m_hFile == INVALID_HANDLE_VALUE || nDay != m_nFileDay) {
        if (!OpenDay(nDay))
            return;
    } else if (NeedsNextPart(m_nFileBytes, strText.size(), m_nMaxBytes)) {
        FlushPending();
        CloseFile();
        ++m_nFilePart;
        if (!OpenPart())
            return;
    }
    m_strPending += strText;
    m_nFileBytes += strText.size();
}

bool CLogFileWriter::OpenDay(int nDay)
{
    FlushPending();
    CloseFile();
    m_nFileDay = nDay;
    const DWORD dwError = CreateFolderPath(m_strFolder);
    if (dwError != ERROR_SUCCESS) {
        Fail(dwError);
        return false;
    }
    if (m_nRetentionDay != nDay) {
        m_nRetentionDay = nDay;
        DeleteExpired(nDay);
    }
    // Go on in the last part of the day that still has room.
    m_nFilePart = 0;
    for (;;) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        const std::string strPath = m_strFolder + "\\" + LogFileName(nDay, m_nFilePart);
        if (!::GetFileAttributesExA(strPath.c_str(), GetFileExInfoStandard, &data))
            break;
        const uint64_t nSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (nSize < m_nMaxBytes)
            break;
        ++m_nFilePart;
    }
    return OpenPart();
}

bool CLogFileWriter::OpenPart()
{
    const std::string strPath = m_strFolder + "\\" + LogFileName(m_nFileDay, m_nFilePart);
    // Readers (Notepad, type, a collector) may open, read and even delete the file meanwhile.
    m_hFile = ::CreateFileA(strPath.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE) {
        Fail(::GetLastError());
        return false;
    }
    LARGE_INTEGER size = {};
    m_nFileBytes = ::GetFileSizeEx(m_hFile, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    return true;
}

void CLogFileWriter::FlushPending()
{
    if (m_strPending.empty() || m_hFile == INVALID_HANDLE_VALUE) {
        m_strPending.clear();
        return;
    }
    size_t nDone = 0;
    while (nDone < m_strPending.size()) {
        DWORD dwWritten = 0;
        const DWORD dwChunk = static_cast<DWORD>(m_strPending.size() - nDone);
        if (!::WriteFile(m_hFile, m_strPending.data() + nDone, dwChunk, &dwWritten, nullptr) ||
            dwWritten == 0) {
            const DWORD dwError = ::GetLastError();
            m_strPending.clear();
            CloseFile();
            Fail(dwError);
            return;
        }
        nDone += dwWritten;
    }
    m_strPending.clear();
}

void CLogFileWriter::CloseFile()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

void CLogFileWriter::Fail(DWORD dwError)
{
    if (!m_bFailed)
        Note(StringPrintf("로그 파일 폴더에 기록할 수 없음: %s (%s)", m_strFolder.c_str(),
                          Win32Message(dwError).c_str()));
    m_bFailed = true;
    m_nFailDay = m_nFileDay;
    m_nFailMs = NowMs();
}

void CLogFileWriter::DeleteExpired(int nToday)
{
    std::vector<LogFileEntry> files;
    WIN32_FIND_DATAA found;
    const std::string strPattern = m_strFolder + "\\pellarin-*.log";
    HANDLE hFind = ::FindFirstFileA(strPattern.c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back({found.cFileName, LocalDayOf(found.ftLastWriteTime, nToday)});
    } while (::FindNextFileA(hFind, &found));
    ::FindClose(hFind);
    const RetentionPlan plan = PlanRetention(files, nToday, m_nKeepDays);
    for (const std::string& strName : plan.expired)
        ::DeleteFileA((m_strFolder + "\\" + strName).c_str());
    for (const std::string& strNote : plan.notes)
        Note(strNote);
}

void CLogFileWriter::Note(const std::string& strText)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_notes.push_back(strText);
    }
    if (m_hNotify != nullptr)
        ::PostMessageA(m_hNotify, m_uNotifyMsg, 0, 0);
}
