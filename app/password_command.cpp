// The settings-password commands of pellarin.exe; see password_command.h. pellarin.exe is a
// Windows (not a console) program, so it has a console only when one is attached: the parent's
// (a command prompt, "start /wait pellarin.exe ..."), or a new one when it has none at all.
#include "app/password_command.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "app/settings_password.h"

namespace {

constexpr wchar_t kSet[] = L"--set-settings-password";
constexpr wchar_t kClear[] = L"--clear-settings-password";
constexpr size_t PASSWORD_MAX_BYTES = 256;

enum ExitCode { EXIT_DONE = 0, EXIT_NOT_STORED = 1, EXIT_REFUSED = 2, EXIT_FAILED = 3 };

std::string Utf8(const std::wstring& wide)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string str(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &str[0], n,
                              nullptr, nullptr);
    return str;
}

std::wstring Wide(const std::string& str, UINT nCodePage, DWORD dwFlags = 0)
{
    const int n = ::MultiByteToWideChar(nCodePage, dwFlags, str.data(),
                                        static_cast<int>(str.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(nCodePage, dwFlags, str.data(), static_cast<int>(str.size()),
                              &wide[0], n);
    return wide;
}

void Wipe(std::string& str) { SecureZeroMemory(&str[0], str.size()); }
void Wipe(std::wstring& str) { SecureZeroMemory(&str[0], str.size() * sizeof(wchar_t)); }

bool IsConsole(HANDLE h)
{
    DWORD dwMode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &dwMode);
}

bool IsUsable(HANDLE h)
{
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// Standard input and output, or the console's when the program has none of its own: the
// parent's, or (only when a password is to be typed) a new one. The installer's form needs
// no console, and gets none.
class CTerminal {
public:
    explicit CTerminal(bool bMayAsk)
        : m_hIn(::GetStdHandle(STD_INPUT_HANDLE)), m_hOut(::GetStdHandle(STD_OUTPUT_HANDLE))
    {
        if (IsUsable(m_hIn) && IsUsable(m_hOut))
            return;
        if (!::AttachConsole(ATTACH_PARENT_PROCESS) && bMayAsk)
            ::AllocConsole();
        if (!IsUsable(m_hIn))
            m_hIn = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (!IsUsable(m_hOut))
            m_hOut = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    }

    bool InputIsConsole() const { return IsConsole(m_hIn); }

    // One line of text (code page 949 in the sources) with a line end.
    void Say(const char* pszText) const
    {
        std::string strLine = std::string(pszText) + "\r\n";
        if (IsConsole(m_hOut)) {
            const std::wstring wide = Wide(strLine, CP_ACP);
            DWORD dwDone = 0;
            ::WriteConsoleW(m_hOut, wide.data(), static_cast<DWORD>(wide.size()), &dwDone,
                            nullptr);
        } else if (IsUsable(m_hOut)) {
            DWORD dwDone = 0;
            ::WriteFile(m_hOut, strLine.data(), static_cast<DWORD>(strLine.size()), &dwDone,
                        nullptr);
        }
    }

    // A prompt, then one line typed at the console with echo off. False on end of input.
    bool AskHidden(const char* pszPrompt, std::wstring& line) const
    {
        const std::wstring prompt = Wide(pszPrompt, CP_ACP);
        DWORD dwDone = 0;
        ::WriteConsoleW(m_hOut, prompt.data(), static_cast<DWORD>(prompt.size()), &dwDone,
                        nullptr);
        DWORD dwMode = 0;
        ::GetConsoleMode(m_hIn, &dwMode);
        ::SetConsoleMode(m_hIn, (dwMode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT |
                                    ENABLE_PROCESSED_INPUT);
        line.clear();
        bool bEnded = false;
        wchar_t ch = 0;
        DWORD dwRead = 0;
        while (!bEnded && ::ReadConsoleW(m_hIn, &ch, 1, &dwRead, nullptr) && dwRead == 1) {
            if (ch == L'\n')
                bEnded = true;
            else if (ch != L'\r')
                line += ch;
        }
        ::SetConsoleMode(m_hIn, dwMode);
        ::WriteConsoleW(m_hOut, L"\r\n", 2, &dwDone, nullptr);
        return bEnded;
    }

    // One line of standard input, without its line end, as UTF-8: taken as UTF-8 when it is
    // valid UTF-8, else as code page 949 (what a batch file's echo writes). False when nothing
    // came or it is overlong.
    bool ReadLine(std::string& strUtf8) const
    {
        std::string strLine;
        char ch = 0;
        DWORD dwRead = 0;
        while (::ReadFile(m_hIn, &ch, 1, &dwRead, nullptr) && dwRead == 1 && ch != '\n') {
            if (strLine.size() > PASSWORD_MAX_BYTES) {
                Wipe(strLine);
                return false;
            }
            strLine += ch;
        }
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        std::wstring wide = Wide(strLine, CP_UTF8, MB_ERR_INVALID_CHARS);
        if (wide.empty() && !strLine.empty())
            wide = Wide(strLine, CP_ACP);
        strUtf8 = Utf8(wide);
        Wipe(strLine);
        Wipe(wide);
        return true;
    }

private:
    HANDLE m_hIn;
    HANDLE m_hOut;
};

int Finish(const CTerminal& term, PasswordStoreResult result, unsigned long dwError,
           const char* pszDone)
{
    switch (result) {
    case PasswordStoreResult::Done:
        term.Say(pszDone);
        return EXIT_DONE;
    case PasswordStoreResult::NothingStored:
        term.Say("저장된 설정 비밀번호가 없습니다.");
        return EXIT_DONE;
    case PasswordStoreResult::AccessDenied:
        term.Say("관리자 권한이 필요합니다. 관리자 권한으로 실행한 명령 프롬프트에서 다시 "
                 "실행하십시오.");
        return EXIT_REFUSED;
    case PasswordStoreResult::Failed:
        break;
    }
    char szText[128];
    wsprintfA(szText, "설정 비밀번호를 저장할 수 없습니다 (오류 %lu).", dwError);
    term.Say(szText);
    return EXIT_FAILED;
}

int SetPassword(const CTerminal& term, std::string strUtf8)
{
    int nExit = EXIT_NOT_STORED;
    if (strUtf8.empty()) {
        term.Say("비밀번호가 비어 있어 저장하지 않았습니다.");
    } else if (strUtf8.size() > PASSWORD_MAX_BYTES) {
        term.Say("비밀번호가 너무 길어 저장하지 않았습니다.");
    } else {
        unsigned long dwError = 0;
        nExit = Finish(term, StoreSettingsPassword(strUtf8, &dwError), dwError,
                       "설정 비밀번호를 저장했습니다.");
    }
    Wipe(strUtf8);
    return nExit;
}

int SetFromTerminal(const CTerminal& term)
{
    std::string strUtf8;
    if (!term.InputIsConsole()) {
        if (!term.ReadLine(strUtf8)) {
            term.Say("표준 입력에서 비밀번호를 읽을 수 없습니다.");
            return EXIT_NOT_STORED;
        }
        return SetPassword(term, strUtf8);
    }
    std::wstring first, second;
    const bool bTyped = term.AskHidden("새 설정 비밀번호: ", first) &&
                        term.AskHidden("한 번 더 입력: ", second);
    const bool bSame = bTyped && first == second;
    strUtf8 = Utf8(first);
    Wipe(first);
    Wipe(second);
    if (!bSame) {
        Wipe(strUtf8);
        term.Say("두 비밀번호가 다릅니다. 저장하지 않았습니다.");
        return EXIT_NOT_STORED;
    }
    return SetPassword(term, strUtf8);
}

}  // namespace

bool RunSettingsPasswordCommand(int* pnExitCode)
{
    int nArgs = 0;
    LPWSTR* ppszArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs);
    const std::wstring first = ppszArgs != nullptr && nArgs >= 2 ? ppszArgs[1] : L"";
    ::LocalFree(ppszArgs);
    const std::wstring setWith = std::wstring(kSet) + L"=";
    if (first != kSet && first != kClear && first.compare(0, setWith.size(), setWith) != 0)
        return false;

    CTerminal term(first == kSet);
    if (first == kClear) {
        unsigned long dwError = 0;
        *pnExitCode = Finish(term, ClearSettingsPassword(&dwError), dwError,
                             "설정 비밀번호를 지웠습니다. 기본 비밀번호가 다시 쓰입니다.");
    } else if (first == kSet) {
        *pnExitCode = SetFromTerminal(term);
    } else {
        // Everything after the '=' as it stands on the command line, spaces and quotes too.
        const std::wstring line = ::GetCommandLineW();
        const size_t nAt = line.find(setWith);
        std::wstring password = line.substr(nAt + setWith.size());
        *pnExitCode = SetPassword(term, Utf8(password));
        Wipe(password);
    }
    return true;
}
