// Helpers for the application-shell tests: a run of the real pellarin.dll's StartMain on a
// thread of the test program, finding its windows the way a user sees them (top-level window,
// class, caption), reading and answering message boxes by pressing their buttons, the
// settings key through the wide registry API, and the shell's view of a tray icon.
//
// Every text the tests compare is a wide literal: what the program wrote as code page 949
// bytes must arrive as these characters, which a shared wrong encoding could not fake.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>

namespace apptest {

inline const wchar_t kTitle[] = L"(주)Norvane Pellarin";
inline const wchar_t kCaption[] = L"(주)Norvane Pellarin 1.3";
inline const wchar_t kLogCaption[] = L"디버그 화면";
inline const wchar_t kCompanyKey[] = L"Software\\(주)Norvane";
inline const wchar_t kSettingsKey[] = L"Software\\(주)Norvane\\(주)Norvane Pellarin\\1.0";
constexpr DWORD kWaitMs = 10000;  // bound on every wait for a window or a state
// Bound on a start of pellarin.exe as a process of its own: three times its first start in a
// new prefix (6.6 s to its first window, measured on a busy 2-core machine).
constexpr DWORD kStartMs = 20000;
constexpr UINT kTrayId = 133;
constexpr UINT kTrayNotify = WM_USER + 10;

// Polls cond (every 10 ms) until it holds or dwMs pass; returns whether it held.
bool WaitUntil(const std::function<bool()>& cond, DWORD dwMs = kWaitMs);

std::wstring WindowText(HWND hWnd);
// For failure messages.
std::string Utf8(const std::wstring& strText);
std::wstring ClassOf(HWND hWnd);
// A top-level window of process dwPid (and of thread dwTid when not 0) with that class and
// caption; with bVisibleOnly only a visible one; hExclude is skipped. Null when there is none.
HWND FindTopWindow(const wchar_t* pszClass, const std::wstring& strCaption, bool bVisibleOnly,
                   HWND hExclude = nullptr, DWORD dwPid = GetCurrentProcessId(), DWORD dwTid = 0);
// Waits for such a window (visible) and returns it, or null after the bound.
HWND WaitForDialog(const std::wstring& strCaption, HWND hExclude = nullptr,
                   DWORD dwPid = GetCurrentProcessId(), DWORD dwTid = 0);

// A message box as the user sees it.
struct MessageBoxView {
    std::wstring strText;   // the message
    HICON hIcon = nullptr;  // the picture beside it
    bool bOk = false;       // buttons present
    bool bCancel = false;
};
MessageBoxView ReadMessageBox(HWND hBox);
// Clicks a button of a dialog (BM_CLICK, as a mouse click does).
void PressButton(HWND hDlg, int nId);

// Settings key through the wide API, in the 32-bit view, which both builds of the program
// use (as the installer does).
void DeleteSettings();
void StoreRawPort(DWORD dwType, const void* pData, DWORD cbData);
// Reads a value of the settings key; false when the key or value is missing.
bool ReadSetting(const wchar_t* pszName, DWORD* pdwType, std::wstring* pstrText,
                 std::string* pstrBytes = nullptr);

// Whether the shell holds an icon for (hOwner, uID): a modification that changes nothing
// succeeds only for an icon the shell has.
bool TrayIconPresent(HWND hOwner, UINT uID);

// A folder of its own per test, made the current directory (the program reads .\config.ini);
// the previous directory comes back at destruction.
class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    void WriteFile(const wchar_t* pszName, const std::string& strBytes) const;
    const std::wstring& Path() const { return m_strPath; }

private:
    std::wstring m_strPath;
    std::wstring m_strPrevious;
};

// StartMain of the real pellarin.dll (loaded from the test program's folder), on a thread.
// Its windows are looked up by that thread: a window of an earlier run that is still being
// torn down has the same caption.
class CStartMainRun {
public:
    CStartMainRun();
    ~CStartMainRun();  // ends a run still going through Exit + OK
    CStartMainRun(const CStartMainRun&) = delete;
    CStartMainRun& operator=(const CStartMainRun&) = delete;

    // The main window (found by its caption once the initialisation has set it).
    HWND WaitMainWindow();
    HWND Main() const { return m_hMain; }
    // The hidden log window and its text.
    HWND LogWindow() const;
    std::wstring LogText() const;
    bool Running() const;
    bool WaitEnded(DWORD dwMs = kWaitMs) const;
    // Chooses Exit and answers the question with OK; true when StartMain returned.
    bool ExitWithOk();

private:
    HMODULE m_hLibrary = nullptr;
    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    HWND m_hMain = nullptr;
};

} // namespace apptest
