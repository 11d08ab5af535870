// See protected_places.h: the platform side (full paths, this DLL's folder).
#include "app/protected_places.h"

#include <windows.h>

#include <vector>

std::string InstallFolder()
{
    HMODULE hSelf = nullptr;
    char szPath[MAX_PATH] = "";
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCSTR>(&InstallFolder), &hSelf))
        return std::string();
    const DWORD dwLength = ::GetModuleFileNameA(hSelf, szPath, MAX_PATH);
    if (dwLength == 0 || dwLength >= MAX_PATH)
        return std::string();
    std::string strFolder(szPath, dwLength);
    const size_t nSlash = strFolder.find_last_of("\\/");
    return nSlash == std::string::npos ? std::string() : strFolder.substr(0, nSlash + 1);
}

bool IsProtectedConfigFile(const char* pszIniPath)
{
    char szFull[MAX_PATH] = "";
    const DWORD dwLength = ::GetFullPathNameA(pszIniPath, MAX_PATH, szFull, nullptr);
    if (dwLength == 0 || dwLength >= MAX_PATH)
        return false;
    return IsFileInFolder(std::string(szFull, dwLength), InstallFolder());
}

std::string RefuseUnprotectedUnmasking(LogIniValues& values, const char* pszIniPath)
{
    // Decided by the same parser that applies the value, so no spelling of 0 slips through.
    LogIniValues maskOnly;
    maskOnly.strMaskCardNumbers = values.strMaskCardNumbers;
    std::vector<std::string> notes;
    if (ParseLogSettings(maskOnly, &notes).bMaskCards || IsProtectedConfigFile(pszIniPath))
        return std::string();
    values.strMaskCardNumbers.clear();
    char szFull[MAX_PATH] = "";
    if (::GetFullPathNameA(pszIniPath, MAX_PATH, szFull, nullptr) == 0)
        lstrcpynA(szFull, pszIniPath, MAX_PATH);
    return std::string("[LOG] MaskCardNumbers=0 거부: 설치 폴더 밖의 설정 파일 ") + szFull +
           " 에서는 카드번호 마스킹을 끌 수 없습니다, 마스킹 켜짐";
}
