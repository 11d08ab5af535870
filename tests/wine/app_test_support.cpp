// Helpers for the application-shell tests (see app_test_support.h).
#include "tests/wine/app_test_support.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <vector>

namespace apptest {

bool WaitUntil(const std::function<bool()>& cond, DWORD dwMs)
{
    const DWORD dwStart = GetTickCount();
    for (;;) {
        if (cond())
            return true;
        if (GetTickCount() - dwStart >= dwMs)
            return false;
        Sleep(10);
    }
}

std::wstring WindowText(HWND hWnd)
{
    wchar_t szText[1024] = {0};
    DWORD_PTR dwResult = 0;
    // WM_GETTEXT with a bound: the owner thread may be busy in a modal loop of its own.
    if (!SendMessageTimeoutW(hWnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(szText),
                             SMTO_ABORTIFHUNG, kWaitMs, &dwResult))
        return std::wstring();
    return szText;
}

std::string Utf8(const std::wstring& strText)
{
    char szText[4096] = {0};
    WideCharToMultiByte(CP_UTF8, 0, strText.c_str(), -1, szText, sizeof(szText) - 1, nullptr,
                        nullptr);
    return szText;
}

std::wstring ClassOf(HWND hWnd)
{
    wchar_t szClass[256] = {0};
    GetClassNameW(hWnd, szClass, 256);
    return szClass;
}

namespace {

struct FindArgs {
    const wchar_t* pszClass;
    const std::wstring* pstrCaption;
    bool bVisibleOnly;
    HWND hExclude;
    DWORD dwPid;
    DWORD dwTid;
    HWND hFound;
};

BOOL CALLBACK FindProc(HWND hWnd, LPARAM lParam)
{
    auto* pArgs = reinterpret_cast<FindArgs*>(lParam);
    DWORD dwPid = 0;
    const DWORD dwTid = GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid != pArgs->dwPid || hWnd == pArgs->hExclude)
        return TRUE;
    if (pArgs->dwTid != 0 && dwTid != pArgs->dwTid)
        return TRUE;
    if (pArgs->bVisibleOnly && !IsWindowVisible(hWnd))
        return TRUE;
    if (ClassOf(hWnd) != pArgs->pszClass)
        return TRUE;
    wchar_t szText[512] = {0};
    GetWindowTextW(hWnd, szText, 512);  // top-level caption: no message needed
    if (pArgs->pstrCaption != nullptr && *pArgs->pstrCaption != szText)
        return TRUE;
    pArgs->hFound = hWnd;
    return FALSE;
}

} // namespace

HWND FindTopWindow(const wchar_t* pszClass, const std::wstring& strCaption, bool bVisibleOnly,
                   HWND hExclude, DWORD dwPid, DWORD dwTid)
{
    FindArgs args{pszClass, &strCaption, bVisibleOnly, hExclude, dwPid, dwTid, nullptr};
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&args));
    return args.hFound;
}

HWND WaitForDialog(const std::wstring& strCaption, HWND hExclude, DWORD dwPid, DWORD dwTid)
{
    HWND hFound = nullptr;
    WaitUntil([&] {
        hFound = FindTopWindow(L"#32770", strCaption, true, hExclude, dwPid, dwTid);
        return hFound != nullptr;
    });
    return hFound;
}

namespace {

BOOL CALLBACK ReadBoxChild(HWND hChild, LPARAM lParam)
{
    auto* pView = reinterpret_cast<MessageBoxView*>(lParam);
    const std::wstring strClass = ClassOf(hChild);
    const int nId = GetDlgCtrlID(hChild);
    if (_wcsicmp(strClass.c_str(), L"Static") == 0) {
        const LONG lStyle = GetWindowLongW(hChild, GWL_STYLE);
        if ((lStyle & SS_TYPEMASK) == SS_ICON)
            pView->hIcon = reinterpret_cast<HICON>(SendMessageW(hChild, STM_GETICON, 0, 0));
        else if (IsWindowVisible(hChild) && !WindowText(hChild).empty())
            pView->strText = WindowText(hChild);
    } else if (_wcsicmp(strClass.c_str(), L"Button") == 0 && IsWindowVisible(hChild)) {
        pView->bOk |= nId == IDOK;
        pView->bCancel |= nId == IDCANCEL;
    }
    return TRUE;
}

} // namespace

MessageBoxView ReadMessageBox(HWND hBox)
{
    MessageBoxView view;
    EnumChildWindows(hBox, ReadBoxChild, reinterpret_cast<LPARAM>(&view));
    return view;
}

void PressButton(HWND hDlg, int nId)
{
    HWND hButton = GetDlgItem(hDlg, nId);
    ASSERT_NE(hButton, nullptr) << "no button " << nId;
    // Posted: the click may start something modal on the dialog's thread.
    PostMessageW(hButton, BM_CLICK, 0, 0);
}

void DeleteSettings()
{
    HKEY hKey = nullptr;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCompanyKey, 0,
                                 KEY_ALL_ACCESS | KEY_WOW64_32KEY, &hKey);
    if (lResult == ERROR_SUCCESS) {
        lResult = RegDeleteTreeW(hKey, nullptr);
        RegCloseKey(hKey);
        if (lResult == ERROR_SUCCESS)
            lResult = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kCompanyKey, KEY_WOW64_32KEY, 0);
    }
    ASSERT_TRUE(lResult == ERROR_SUCCESS || lResult == ERROR_FILE_NOT_FOUND) << lResult;
}

void StoreRawPort(DWORD dwType, const void* pData, DWORD cbData)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(hKey, L"COM Port", 0, dwType, static_cast<const BYTE*>(pData),
                             cbData),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
}

bool ReadSetting(const wchar_t* pszName, DWORD* pdwType, std::wstring* pstrText,
                 std::string* pstrBytes)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_32KEY, &hKey) !=
        ERROR_SUCCESS)
        return false;
    BYTE abData[256] = {0};
    DWORD cbData = sizeof(abData) - sizeof(wchar_t);
    const LONG lResult = RegQueryValueExW(hKey, pszName, nullptr, pdwType, abData, &cbData);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS)
        return false;
    if (pstrText != nullptr)
        *pstrText = reinterpret_cast<const wchar_t*>(abData);
    if (pstrBytes != nullptr)
        pstrBytes->assign(reinterpret_cast<const char*>(abData), cbData);
    return true;
}

bool TrayIconPresent(HWND hOwner, UINT uID)
{
    NOTIFYICONDATAW nid;
    ZeroMemory(&nid, sizeof(nid));
    nid.cbSize = NOTIFYICONDATAW_V1_SIZE;
    nid.hWnd = hOwner;
    nid.uID = uID;
    nid.uFlags = 0;
    return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

CScratchDir::CScratchDir()
{
    wchar_t szTemp[MAX_PATH] = {0};
    GetTempPathW(MAX_PATH, szTemp);
    static LONG s_nCounter = 0;
    m_strPath = std::wstring(szTemp) + L"pellarin-app-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(InterlockedIncrement(&s_nCounter));
    CreateDirectoryW(m_strPath.c_str(), nullptr);
    wchar_t szCurrent[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, szCurrent);
    m_strPrevious = szCurrent;
    SetCurrentDirectoryW(m_strPath.c_str());
}

CScratchDir::~CScratchDir()
{
    SetCurrentDirectoryW(m_strPrevious.c_str());
    DeleteFileW((m_strPath + L"\\config.ini").c_str());
    RemoveDirectoryW(m_strPath.c_str());
}

void CScratchDir::WriteFile(const wchar_t* pszName, const std::string& strBytes) const
{
    HANDLE hFile = CreateFileW((m_strPath + L"\\" + pszName).c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    DWORD dwWritten = 0;
    ::WriteFile(hFile, strBytes.data(), static_cast<DWORD>(strBytes.size()), &dwWritten, nullptr);
    CloseHandle(hFile);
}

namespace {

std::wstring ProgramFolder()
{
    wchar_t szPath[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring strPath = szPath;
    return strPath.substr(0, strPath.find_last_of(L"\\/") + 1);
}

DWORD WINAPI StartMainThread(LPVOID pv)
{
    reinterpret_cast<void (*)()>(pv)();
    return 0;
}

} // namespace

CStartMainRun::CStartMainRun()
{
    // Loaded once for the whole test program, as a host program loads it: Wine 8 faults in
    // its loader when a mingw DLL (which always has a TLS directory) is loaded a third time
    // after threads came and went.
    static HMODULE s_hLibrary = LoadLibraryW((ProgramFolder() + L"pellarin.dll").c_str());
    m_hLibrary = s_hLibrary;
    if (m_hLibrary == nullptr) {
        ADD_FAILURE() << "pellarin.dll not found beside the test program";
        return;
    }
    FARPROC pfn = GetProcAddress(m_hLibrary, "StartMain");
    if (pfn == nullptr) {
        ADD_FAILURE() << "pellarin.dll exports no StartMain";
        return;
    }
    m_hThread = CreateThread(nullptr, 0, StartMainThread, reinterpret_cast<LPVOID>(pfn), 0,
                             &m_dwThreadId);
}

CStartMainRun::~CStartMainRun()
{
    if (Running()) {
        EXPECT_TRUE(ExitWithOk()) << "StartMain did not end";
    }
    if (m_hThread != nullptr)
        CloseHandle(m_hThread);
}

HWND CStartMainRun::WaitMainWindow()
{
    WaitUntil([&] {
        m_hMain = FindTopWindow(L"#32770", kCaption, false, nullptr, GetCurrentProcessId(),
                                m_dwThreadId);
        return m_hMain != nullptr && GetDlgItem(m_hMain, 1000) != nullptr;
    });
    return m_hMain;
}

HWND CStartMainRun::LogWindow() const
{
    return FindTopWindow(L"#32770", kLogCaption, false, nullptr, GetCurrentProcessId(),
                         m_dwThreadId);
}

std::wstring CStartMainRun::LogText() const
{
    HWND hLog = LogWindow();
    return hLog ? WindowText(GetDlgItem(hLog, 1002)) : std::wstring();
}

bool CStartMainRun::Running() const
{
    return m_hThread != nullptr && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

bool CStartMainRun::WaitEnded(DWORD dwMs) const
{
    return m_hThread != nullptr && WaitForSingleObject(m_hThread, dwMs) == WAIT_OBJECT_0;
}

bool CStartMainRun::ExitWithOk()
{
    if (m_hMain == nullptr)
        WaitMainWindow();
    PostMessageW(m_hMain, WM_COMMAND, 32774, 0);
    HWND hBox = WaitForDialog(kTitle, nullptr, GetCurrentProcessId(), m_dwThreadId);
    if (hBox == nullptr)
        return false;
    PressButton(hBox, IDOK);
    return WaitEnded();
}

} // namespace apptest
