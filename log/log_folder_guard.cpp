// See log_folder_guard.h.
#include "log/log_folder_guard.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "ui/string_format.h"

namespace {

std::string SidText(PSID pSid)
{
    char* pszText = nullptr;
    if (!::ConvertSidToStringSidA(pSid, &pszText))
        return "?";
    std::string strText = pszText;
    ::LocalFree(pszText);
    return strText;
}

}  // namespace

bool LogFolderOwnerTrusted(void* pOwnerSid)
{
    PSID pOwner = static_cast<PSID>(pOwnerSid);
    if (pOwner == nullptr || !::IsValidSid(pOwner))
        return false;
    if (::IsWellKnownSid(pOwner, WinBuiltinAdministratorsSid) ||
        ::IsWellKnownSid(pOwner, WinLocalSystemSid))
        return true;
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return false;
    alignas(TOKEN_USER) char abBuffer[256];
    DWORD cbBuffer = 0;
    const bool bSame =
        ::GetTokenInformation(hToken, TokenUser, abBuffer, sizeof(abBuffer), &cbBuffer) &&
        ::EqualSid(pOwner, reinterpret_cast<TOKEN_USER*>(abBuffer)->User.Sid);
    ::CloseHandle(hToken);
    return bSame;
}

bool LogFolderAcceptable(const std::string& strFolder, std::string* pstrWhy)
{
    const DWORD dwAttributes = ::GetFileAttributesA(strFolder.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
        return true;  // made by the relay itself, later
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        *pstrWhy = StringPrintf("로그 파일 폴더 거부: %s 은(는) 연결(junction/링크)입니다, "
                                "로그 파일 없이 계속합니다", strFolder.c_str());
        return false;
    }
    PSID pOwner = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    const DWORD dwResult = ::GetNamedSecurityInfoA(strFolder.c_str(), SE_FILE_OBJECT,
                                                   OWNER_SECURITY_INFORMATION, &pOwner, nullptr,
                                                   nullptr, nullptr, &pDescriptor);
    if (dwResult != ERROR_SUCCESS || pOwner == nullptr) {
        *pstrWhy = StringPrintf("로그 파일 폴더 거부: %s 의 소유자를 알 수 없습니다(오류 %lu), "
                                "로그 파일 없이 계속합니다", strFolder.c_str(), dwResult);
        if (pDescriptor != nullptr)
            ::LocalFree(pDescriptor);
        return false;
    }
    const bool bTrusted = LogFolderOwnerTrusted(pOwner);
    if (!bTrusted) {
        *pstrWhy = StringPrintf("로그 파일 폴더 거부: %s 의 소유자(%s)가 관리자가 아닙니다, "
                                "로그 파일 없이 계속합니다", strFolder.c_str(),
                                SidText(pOwner).c_str());
    }
    ::LocalFree(pDescriptor);
    return bTrusted;
}
