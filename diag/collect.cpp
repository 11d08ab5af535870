// Finding the bundle's files and writing the archive; see collect.h.
#include "diag/collect.h"

#include <shlobj.h>

#include <memory>
#include <vector>

#include "app/config_ini.h"
#include "app/settings_store.h"
#include "app/stored_settings.h"
#include "diag/collect_facts.h"
#include "diag/summary.h"
#include "log/log_file_rules.h"
#include "log/log_file_writer.h"
#include "ui/string_format.h"

namespace {

// Held while a bundle is written, by whichever process writes it (per session).
constexpr wchar_t COLLECT_MUTEX[] = L"Local\\Pellarin.DiagnosticsBundle";
constexpr int MAX_COPIES = 99;  // names tried for one second

// The archive file: appends at its end; overwrites and cuts through the file pointer.
class CFileOutput : public IZipOutput {
public:
    explicit CFileOutput(HANDLE hFile) : m_hFile(hFile) {}
    bool Append(const void* pData, size_t nBytes) override
    {
        return Seek(m_nEnd) && WriteAll(pData, nBytes) && (m_nEnd += nBytes, true);
    }
    bool Overwrite(uint64_t nOffset, const void* pData, size_t nBytes) override
    {
        return Seek(nOffset) && WriteAll(pData, nBytes);
    }
    bool Truncate(uint64_t nSize) override
    {
        if (!Seek(nSize) || !::SetEndOfFile(m_hFile))
            return false;
        m_nEnd = nSize;
        return true;
    }
    DWORD m_dwError = 0;  // the first write error

private:
    bool Seek(uint64_t nOffset)
    {
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(nOffset);
        return ::SetFilePointerEx(m_hFile, position, nullptr, FILE_BEGIN) || Failed();
    }
    bool WriteAll(const void* pData, size_t nBytes)
    {
        const char* p = static_cast<const char*>(pData);
        while (nBytes > 0) {
            DWORD dwWritten = 0;
            const DWORD dwPiece = nBytes > (1u << 20) ? (1u << 20) : static_cast<DWORD>(nBytes);
            if (!::WriteFile(m_hFile, p, dwPiece, &dwWritten, nullptr) || dwWritten == 0)
                return Failed();
            p += dwWritten;
            nBytes -= dwWritten;
        }
        return true;
    }
    bool Failed()
    {
        if (m_dwError == 0)
            m_dwError = ::GetLastError();
        return false;
    }
    HANDLE m_hFile;
    uint64_t m_nEnd = 0;
};

class CFileSource : public IBundleSource {
public:
    explicit CFileSource(HANDLE hFile) : m_hFile(hFile) {}
    ~CFileSource() override { ::CloseHandle(m_hFile); }
    long Read(void* pBuffer, size_t nBytes) override
    {
        DWORD dwRead = 0;
        if (!::ReadFile(m_hFile, pBuffer, static_cast<DWORD>(nBytes), &dwRead, nullptr))
            return -1;
        return static_cast<long>(dwRead);
    }

private:
    HANDLE m_hFile;
};

std::string WindowsMessage(DWORD dwError)
{
    wchar_t* pszText = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, dwError, 0, reinterpret_cast<LPWSTR>(&pszText), 0, nullptr);
    std::wstring strText = pszText != nullptr ? pszText : L"";
    ::LocalFree(pszText);
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r' ||
                                strText.back() == L' ' || strText.back() == L'.'))
        strText.pop_back();
    return StringPrintf("오류 %lu", static_cast<unsigned long>(dwError)) +
           (strText.empty() ? std::string() : ": " + NarrowText(strText));
}

ZipTime ZipTimeOfLocal(const SYSTEMTIME& st)
{
    return ZipTimeOf(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

// A bundle item for a file: opened when its turn comes, stamped with its last write.
BundleItem FileItem(const std::string& strName, const std::wstring& strPath, bool bLogFile)
{
    BundleItem item;
    item.strName = strName;
    item.bLogFile = bLogFile;
    WIN32_FILE_ATTRIBUTE_DATA data;
    FILETIME local;
    SYSTEMTIME st;
    if (::GetFileAttributesExW(strPath.c_str(), GetFileExInfoStandard, &data) &&
        ::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
        ::FileTimeToSystemTime(&local, &st))
        item.time = ZipTimeOfLocal(st);
    item.open = [strPath](std::string* pstrWhy) -> std::unique_ptr<IBundleSource> {
        // The relay may be writing the file: share it every way.
        HANDLE hFile = ::CreateFileW(strPath.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) {
            const DWORD dwError = ::GetLastError();
            *pstrWhy = dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND
                           ? std::string(BUNDLE_FILE_MISSING)
                           : WindowsMessage(dwError);
            return nullptr;
        }
        return std::make_unique<CFileSource>(hFile);
    };
    return item;
}

std::wstring EnvironmentValue(const wchar_t* pszName)
{
    wchar_t szValue[MAX_PATH] = {0};
    const DWORD dwLength = ::GetEnvironmentVariableW(pszName, szValue, MAX_PATH);
    return dwLength > 0 && dwLength < MAX_PATH ? std::wstring(szValue) : std::wstring();
}

// A path from ssllib32's settings: relative ones start from its DLL's folder.
std::wstring FromFolder(const std::wstring& strFolder, const std::wstring& strPath)
{
    const bool bAbsolute = (strPath.size() > 1 && strPath[1] == L':') ||
                           (!strPath.empty() && (strPath[0] == L'\\' || strPath[0] == L'/'));
    return bAbsolute ? strPath : strFolder + strPath;
}

// The settings files: config.ini of the current folder, ssllib32's ini and log (as its own
// settings name them, and in the log folder too).
std::vector<BundleItem> SettingsItems(const std::wstring& strLogFolder)
{
    std::vector<BundleItem> items;
    wchar_t szConfig[MAX_PATH] = {0};
    ::GetFullPathNameW(L".\\config.ini", MAX_PATH, szConfig, nullptr);
    items.push_back(FileItem("config.ini", szConfig, false));

    std::wstring strSslFolder = OwnModuleFolder();
    if (HMODULE hSsl = ::GetModuleHandleW(L"ssllib32.dll")) {
        wchar_t szPath[MAX_PATH] = {0};
        const DWORD n = ::GetModuleFileNameW(hSsl, szPath, MAX_PATH);
        std::wstring strPath(szPath, n < MAX_PATH ? n : 0);
        const size_t nSlash = strPath.find_last_of(L"\\/");
        if (nSlash != std::wstring::npos)
            strSslFolder = strPath.substr(0, nSlash + 1);
    }
    std::wstring strIni = EnvironmentValue(L"SSLLIB32_INI");
    strIni = FromFolder(strSslFolder, strIni.empty() ? L"ssllib32.ini" : strIni);
    items.push_back(FileItem("ssllib32.ini", strIni, false));

    std::wstring strLog = EnvironmentValue(L"SSLLIB32_LOG");
    if (strLog.empty()) {
        wchar_t szLog[MAX_PATH] = {0};
        ::GetPrivateProfileStringW(L"TLS", L"LogFile", L"", szLog, MAX_PATH, strIni.c_str());
        strLog = szLog[0] != 0 ? szLog : L"ssllib32.log";
    }
    strLog = FromFolder(strSslFolder, strLog);
    // Where the settings put it, and the log folder's one: under its own name whichever is
    // there, and both when both are.
    const std::wstring strInLogFolder = strLogFolder + L"\\ssllib32.log";
    auto exists = [](const std::wstring& strPath) {
        return ::GetFileAttributesW(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    const bool bOther = lstrcmpiW(strInLogFolder.c_str(), strLog.c_str()) != 0 &&
                        exists(strInLogFolder);
    if (bOther && !exists(strLog)) {
        strLog = strInLogFolder;
    } else if (bOther) {
        items.push_back(FileItem("log-ssllib32.log", strInLogFolder, false));
        items.push_back(FileItem("log-ssllib32.log.1", strInLogFolder + L".1", false));
    }
    items.push_back(FileItem("ssllib32.log", strLog, false));
    items.push_back(FileItem("ssllib32.log.1", strLog + L".1", false));
    return items;
}

std::vector<BundleItem> LogItems(const std::wstring& strFolder, int nToday)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE hFind = ::FindFirstFileW((strFolder + L"\\pellarin-*.log").c_str(), &found);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                names.push_back(NarrowText(found.cFileName));
        } while (::FindNextFileW(hFind, &found));
        ::FindClose(hFind);
    }
    std::vector<BundleItem> items;
    for (const std::string& strName : RecentLogFiles(names, nToday))
        items.push_back(FileItem(strName, strFolder + L"\\" + WideText(strName), true));
    return items;
}

std::wstring DesktopFolder()
{
    wchar_t szPath[MAX_PATH] = {0};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT,
                                  szPath)))
        return std::wstring();
    return szPath;
}

// Releases the bundle mutex (held) and closes it.
struct MutexHold {
    HANDLE hMutex = nullptr;
    bool bOwned = false;
    ~MutexHold()
    {
        if (bOwned)
            ::ReleaseMutex(hMutex);
        if (hMutex != nullptr)
            ::CloseHandle(hMutex);
    }
};

} // namespace

CollectResult CollectBundle(const CollectRequest& request)
{
    CollectResult result;
    MutexHold hold;
    hold.hMutex = ::CreateMutexW(nullptr, FALSE, COLLECT_MUTEX);
    if (hold.hMutex != nullptr) {
        const DWORD dwWait = ::WaitForSingleObject(hold.hMutex, 0);
        // An abandoned mutex (a writer that died) is ours now.
        hold.bOwned = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
        if (!hold.bOwned) {
            result.status = CollectStatus::Busy;
            return result;
        }
    }

    result.strFolder = request.strFolder.empty() ? DesktopFolder() : request.strFolder;
    while (result.strFolder.size() > 3 &&
           (result.strFolder.back() == L'\\' || result.strFolder.back() == L'/'))
        result.strFolder.pop_back();

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t szComputer[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD dwComputer = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(szComputer, &dwComputer);
    const std::wstring strSeparator =
        !result.strFolder.empty() && result.strFolder.back() == L'\\' ? L"" : L"\\";
    // A bundle of the same second (one just finished) keeps its file: this one takes the
    // next copy number.
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD dwError = ERROR_PATH_NOT_FOUND;
    for (int nCopy = 1; nCopy <= MAX_COPIES && !result.strFolder.empty(); ++nCopy) {
        result.strPath = result.strFolder + strSeparator +
                         WideText(BundleFileName(NarrowText(szComputer), now.wYear, now.wMonth,
                                                 now.wDay, now.wHour, now.wMinute, now.wSecond,
                                                 nCopy));
        hFile = ::CreateFileW(result.strPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        dwError = ::GetLastError();
        if (hFile != INVALID_HANDLE_VALUE || dwError != ERROR_FILE_EXISTS)
            break;
    }
    if (hFile == INVALID_HANDLE_VALUE) {
        result.status = CollectStatus::FolderFailed;
        result.dwError = dwError;
        return result;
    }

    std::vector<std::string> notes;  // said in summary.txt's settings, not here
    const std::string strLogFolder = ResolveLogFolder(
        ParseLogSettings(ReadConfigIni(SETTINGS_INI_PATH).LogValues(), &notes).strDir);
    const std::wstring strWideLogFolder = WideText(strLogFolder);
    std::vector<BundleItem> items = SettingsItems(strWideLogFolder);
    for (BundleItem& item :
         LogItems(strWideLogFolder, DaysFromCivil(now.wYear, now.wMonth, now.wDay)))
        items.push_back(std::move(item));

    SummaryFacts facts;
    facts.strCreated = StringPrintf("%04d/%02d/%02d %02d:%02d:%02d", now.wYear, now.wMonth,
                                    now.wDay, now.wHour, now.wMinute, now.wSecond);
    GatherSummaryFacts(strLogFolder, &facts);
    facts.strHealth = request.strHealth;

    CFileOutput output(hFile);
    CZipWriter writer(output);
    const bool bDone = WriteBundle(
        writer, items, request.nCapBytes,
        [&](const BundleOutcome& outcome) {
            return ComposeSummary(facts, outcome, request.nCapBytes);
        },
        ZipTimeOfLocal(now), request.pCancel, &result.outcome);
    ::CloseHandle(hFile);
    if (bDone) {
        result.status = CollectStatus::Done;
        return result;
    }
    ::DeleteFileW(result.strPath.c_str());
    result.status = result.outcome.bCancelled ? CollectStatus::Cancelled
                                              : CollectStatus::WriteFailed;
    result.dwError = output.m_dwError;
    return result;
}

std::string CollectResultText(const CollectResult& result)
{
    switch (result.status) {
    case CollectStatus::Done:
        return "진단 정보를 저장했습니다:\r\n" + NarrowText(result.strPath) +
               (result.outcome.leftOut.empty()
                    ? std::string()
                    : StringPrintf("\r\n(크기 제한으로 파일 %u개가 빠졌습니다. summary.txt를 "
                                   "보십시오.)",
                                   static_cast<unsigned>(result.outcome.leftOut.size())));
    case CollectStatus::Busy:
        return "진단 정보를 이미 저장하고 있습니다. 끝난 뒤에 다시 하십시오.";
    case CollectStatus::FolderFailed:
        return "진단 정보를 이 폴더에 저장할 수 없습니다:\r\n" + NarrowText(result.strFolder) +
               "\r\n" + WindowsMessage(result.dwError);
    case CollectStatus::WriteFailed:
        return "진단 정보를 저장하지 못했습니다:\r\n" + NarrowText(result.strPath) + "\r\n" +
               WindowsMessage(result.dwError);
    case CollectStatus::Cancelled:
        return "진단 정보 저장을 멈췄습니다.";
    }
    return std::string();
}
