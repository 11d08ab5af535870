// Reading the summary's facts from Windows; see collect_facts.h.
#include "diag/collect_facts.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <vector>

#include "app/config_ini.h"
#include "app/relay_settings.h"
#include "app/settings_store.h"
#include "app/stored_settings.h"
#include "ui/string_format.h"

namespace {

constexpr UINT TEXT_CODE_PAGE = 949;
constexpr wchar_t SERIALCOMM_KEY[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr wchar_t EVENT_SOURCE_KEY[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Pellarin";

std::string ErrorText(DWORD dwError)
{
    return StringPrintf("오류 %lu", static_cast<unsigned long>(dwError));
}

// "1.3.55.0" from the file's version record, or why not.
std::string FileVersion(const std::wstring& strPath)
{
    DWORD dwHandle = 0;
    const DWORD dwSize = ::GetFileVersionInfoSizeW(strPath.c_str(), &dwHandle);
    if (dwSize == 0)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND ? "파일 없음" : "버전 정보 없음";
    std::vector<BYTE> info(dwSize);
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT uLength = 0;
    if (!::GetFileVersionInfoW(strPath.c_str(), 0, dwSize, info.data()) ||
        !::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &uLength) ||
        pFixed == nullptr || uLength < sizeof(VS_FIXEDFILEINFO))
        return "버전 정보 없음";
    return StringPrintf("%lu.%lu.%lu.%lu",
                        static_cast<unsigned long>(HIWORD(pFixed->dwFileVersionMS)),
                        static_cast<unsigned long>(LOWORD(pFixed->dwFileVersionMS)),
                        static_cast<unsigned long>(HIWORD(pFixed->dwFileVersionLS)),
                        static_cast<unsigned long>(LOWORD(pFixed->dwFileVersionLS)));
}

// The name of the certificate that signed the file (Authenticode), or empty when unsigned.
std::string SignerName(const std::wstring& strPath)
{
    HCERTSTORE hStore = nullptr;
    HCRYPTMSG hMessage = nullptr;
    DWORD dwEncoding = 0, dwContent = 0, dwFormat = 0;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, strPath.c_str(),
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &dwEncoding, &dwContent,
                            &dwFormat, &hStore, &hMessage, nullptr))
        return std::string();
    std::string strName;
    DWORD dwSize = 0;
    if (::CryptMsgGetParam(hMessage, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &dwSize) && dwSize > 0) {
        std::vector<BYTE> buffer(dwSize);
        if (::CryptMsgGetParam(hMessage, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &dwSize)) {
            const auto* pSigner = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
            CERT_INFO certInfo = {};
            certInfo.Issuer = pSigner->Issuer;
            certInfo.SerialNumber = pSigner->SerialNumber;
            PCCERT_CONTEXT pCert = ::CertFindCertificateInStore(
                hStore, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
                &certInfo, nullptr);
            if (pCert != nullptr) {
                wchar_t szName[256] = {0};
                ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, szName,
                                     256);
                strName = NarrowText(szName);
                ::CertFreeCertificateContext(pCert);
            }
        }
    }
    if (strName.empty())
        strName = "(이름 없음)";
    ::CryptMsgClose(hMessage);
    ::CertCloseStore(hStore, 0);
    return strName;
}

// Whether Windows trusts the file's signature (no revocation check, no network, no UI).
std::string SignatureVerdict(const std::wstring& strPath)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = strPath.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG nResult = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return nResult == 0 ? "유효" : StringPrintf("확인 안 됨 0x%08lX", static_cast<unsigned long>(nResult));
}

std::string ModuleFact(const std::wstring& strPath)
{
    std::string strText = FileVersion(strPath);
    if (::GetFileAttributesW(strPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return "파일 없음 (" + NarrowText(strPath) + ")";
    const std::string strSigner = SignerName(strPath);
    strText += strSigner.empty() ? ", 서명 없음"
                                 : ", 서명: " + strSigner + " (" + SignatureVerdict(strPath) + ")";
    return strText + " (" + NarrowText(strPath) + ")";
}

// The folder of a loaded module, or of this module when that one is not loaded.
std::wstring ModuleFolder(const wchar_t* pszModule)
{
    HMODULE hModule = ::GetModuleHandleW(pszModule);
    if (hModule == nullptr)
        return OwnModuleFolder();
    wchar_t szPath[MAX_PATH] = {0};
    const DWORD dwLength = ::GetModuleFileNameW(hModule, szPath, MAX_PATH);
    std::wstring strPath(szPath, dwLength < MAX_PATH ? dwLength : 0);
    const size_t nSlash = strPath.find_last_of(L"\\/");
    return nSlash == std::wstring::npos ? OwnModuleFolder() : strPath.substr(0, nSlash + 1);
}

// The system's serial ports, from the list the port drivers keep.
std::string SystemPorts()
{
    HKEY hKey = nullptr;
    const LONG nOpen = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_READ, &hKey);
    if (nOpen == ERROR_FILE_NOT_FOUND)
        return "없음";
    if (nOpen != ERROR_SUCCESS)
        return "읽을 수 없음 (" + ErrorText(static_cast<DWORD>(nOpen)) + ")";
    std::string strPorts;
    for (DWORD i = 0;; ++i) {
        wchar_t szName[256] = {0};
        wchar_t szData[64] = {0};
        DWORD dwName = 256, dwData = sizeof(szData) - sizeof(wchar_t), dwType = 0;
        const LONG nResult = ::RegEnumValueW(hKey, i, szName, &dwName, nullptr, &dwType,
                                             reinterpret_cast<BYTE*>(szData), &dwData);
        if (nResult == ERROR_NO_MORE_ITEMS)
            break;
        if (nResult != ERROR_SUCCESS || dwType != REG_SZ)
            continue;
        strPorts += (strPorts.empty() ? "" : ", ") + NarrowText(szData) + " (" +
                    NarrowText(szName) + ")";
    }
    ::RegCloseKey(hKey);
    return strPorts.empty() ? "없음" : strPorts;
}

std::string EventSource()
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, KEY_READ, &hKey) !=
        ERROR_SUCCESS)
        return "등록되지 않음";
    wchar_t szFile[MAX_PATH] = {0};
    DWORD dwSize = sizeof(szFile) - sizeof(wchar_t), dwType = 0;
    const LONG nResult = ::RegQueryValueExW(hKey, L"EventMessageFile", nullptr, &dwType,
                                            reinterpret_cast<BYTE*>(szFile), &dwSize);
    ::RegCloseKey(hKey);
    if (nResult != ERROR_SUCCESS)
        return "등록됨 (EventMessageFile 없음)";
    return "등록됨 (EventMessageFile=" + NarrowText(szFile) + ")";
}

// The real version (GetVersionEx answers what the program's manifest allows), and Wine's
// version where Wine runs it.
std::string WindowsVersion()
{
    using RtlGetVersionProc = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    using WineVersionProc = const char*(CDECL*)();
    HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
    std::string strText = "알 수 없음";
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    auto pfnRtlGetVersion = reinterpret_cast<RtlGetVersionProc>(
        reinterpret_cast<void*>(::GetProcAddress(hNtdll, "RtlGetVersion")));
    if (pfnRtlGetVersion != nullptr && pfnRtlGetVersion(&info) == 0) {
        strText = StringPrintf("Windows %lu.%lu.%lu", static_cast<unsigned long>(info.dwMajorVersion),
                               static_cast<unsigned long>(info.dwMinorVersion),
                               static_cast<unsigned long>(info.dwBuildNumber));
        if (info.szCSDVersion[0] != 0)
            strText += " " + NarrowText(info.szCSDVersion);
    }
    BOOL bWow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &bWow64) && bWow64)
        strText += ", 64비트 (32비트 프로그램)";
    auto pfnWineVersion = reinterpret_cast<WineVersionProc>(
        reinterpret_cast<void*>(::GetProcAddress(hNtdll, "wine_get_version")));
    if (pfnWineVersion != nullptr)
        strText += StringPrintf(", Wine %s", pfnWineVersion());
    return strText;
}

std::string TimeZone()
{
    DYNAMIC_TIME_ZONE_INFORMATION zone = {};
    if (::GetDynamicTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID)
        return "알 수 없음";
    const long nMinutes = -zone.Bias;  // UTC = local + bias
    const std::string strKey = zone.TimeZoneKeyName[0] != 0 ? NarrowText(zone.TimeZoneKeyName)
                                                           : NarrowText(zone.StandardName);
    return StringPrintf("%s (UTC%c%02ld:%02ld)", strKey.c_str(), nMinutes < 0 ? '-' : '+',
                        (nMinutes < 0 ? -nMinutes : nMinutes) / 60,
                        (nMinutes < 0 ? -nMinutes : nMinutes) % 60);
}

std::string FullPath(const char* pszPath)
{
    char szFull[MAX_PATH] = {0};
    const DWORD dwLength = ::GetFullPathNameA(pszPath, MAX_PATH, szFull, nullptr);
    return dwLength > 0 && dwLength < MAX_PATH ? std::string(szFull) : std::string(pszPath);
}

} // namespace

std::string NarrowText(const std::wstring& strText)
{
    if (strText.empty())
        return std::string();
    const int n = ::WideCharToMultiByte(TEXT_CODE_PAGE, 0, strText.data(),
                                        static_cast<int>(strText.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string strResult(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(TEXT_CODE_PAGE, 0, strText.data(), static_cast<int>(strText.size()),
                              &strResult[0], n, nullptr, nullptr);
    return strResult;
}

std::wstring WideText(const std::string& strText)
{
    if (strText.empty())
        return std::wstring();
    const int n = ::MultiByteToWideChar(TEXT_CODE_PAGE, 0, strText.data(),
                                        static_cast<int>(strText.size()), nullptr, 0);
    std::wstring strResult(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(TEXT_CODE_PAGE, 0, strText.data(), static_cast<int>(strText.size()),
                              &strResult[0], n);
    return strResult;
}

std::wstring OwnModuleFolder()
{
    HMODULE hModule = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&OwnModuleFolder), &hModule);
    wchar_t szPath[MAX_PATH] = {0};
    const DWORD dwLength = ::GetModuleFileNameW(hModule, szPath, MAX_PATH);
    std::wstring strPath(szPath, dwLength < MAX_PATH ? dwLength : 0);
    const size_t nSlash = strPath.find_last_of(L"\\/");
    return nSlash == std::wstring::npos ? std::wstring() : strPath.substr(0, nSlash + 1);
}

void GatherSummaryFacts(const std::string& strLogFolder, SummaryFacts* pFacts)
{
    auto& facts = pFacts->facts;
    wchar_t szComputer[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD dwComputer = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(szComputer, &dwComputer);
    facts.emplace_back("컴퓨터", NarrowText(szComputer));
    facts.emplace_back("Windows", WindowsVersion());
    facts.emplace_back("시간대", TimeZone());

    const std::wstring strFolder = OwnModuleFolder();
    facts.emplace_back("pellarin.exe", ModuleFact(strFolder + L"pellarin.exe"));
    facts.emplace_back("pellarin.dll", ModuleFact(strFolder + L"pellarin.dll"));
    facts.emplace_back("ssllib32.dll", ModuleFact(ModuleFolder(L"ssllib32.dll") + L"ssllib32.dll"));

    std::string strPort;
    facts.emplace_back("저장된 포트", ReadStoredPort(strPort) == 1
                                         ? strPort
                                         : std::string("없음 (COM1로 시작합니다)"));
    facts.emplace_back("시스템의 COM 포트", SystemPorts());
    facts.emplace_back("이벤트 원본 \"Pellarin\"", EventSource());
    facts.emplace_back("현재 폴더의 config.ini", FullPath(SETTINGS_INI_PATH));

    const ConfigIni config = ReadConfigIni(SETTINGS_INI_PATH);
    const RelaySettings relay = config.Relay();
    std::vector<std::string> logNotes;
    const LogSettings log = ParseLogSettings(config.LogValues(), &logNotes);
    pFacts->settings = DescribeRelaySettings(relay.nConnectTimeoutS, relay.allowHosts,
                                             relay.notices);
    for (const std::string& strLine :
         DescribeLogSettings(log, strLogFolder, config.nDebugLevel, logNotes))
        pFacts->settings.push_back(strLine);
}
