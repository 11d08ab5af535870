// See ssl_library.h.
#include "app/ssl_library.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <optional>

#include "app/protected_places.h"
#include "ssl/ssllib32.h"
#include "ssl/trust_config.h"
#include "ui/string_format.h"

namespace {

using StartUpProc = SSL_SESSION(SSLAPI*)(SOCKET*);
using SendDataProc = int(SSLAPI*)(SSL_SESSION, const char*, int);
using RecvDataProc = int(SSLAPI*)(SSL_SESSION, char*, int);
using SelectTimeOutProc = int(SSLAPI*)(SOCKET, int);
using CloseProc = int(SSLAPI*)(SSL_SESSION, SOCKET);

struct SslEntryPoints {
    StartUpProc pfnStartUp = nullptr;
    SendDataProc pfnSendData = nullptr;
    RecvDataProc pfnRecvData = nullptr;
    SelectTimeOutProc pfnSelectTimeOut = nullptr;
    CloseProc pfnClose = nullptr;
};

// Filled once by LoadSslLibrary, then published; the library stays loaded for the process.
SslEntryPoints g_entryPoints;
std::atomic<bool> g_bLoaded{false};

template <typename Proc>
bool Resolve(HMODULE hLibrary, const char* pszName, Proc* ppfn)
{
    *ppfn = reinterpret_cast<Proc>(reinterpret_cast<void*>(::GetProcAddress(hLibrary, pszName)));
    return *ppfn != nullptr;
}

const SslEntryPoints* Loaded()
{
    return g_bLoaded.load(std::memory_order_acquire) ? &g_entryPoints : nullptr;
}

} // namespace

std::string LoadSslLibrary()
{
    if (Loaded() != nullptr)
        return std::string();
    const std::string strPath = InstallFolder() + "ssllib32.dll";
    if (strPath == "ssllib32.dll")
        return "ssllib32.dll: pellarin.dll의 폴더를 알 수 없어 불러오지 않습니다";
    // A full path: no search at all; the library's own imports come from its folder and the
    // system, as for any library loaded by path.
    HMODULE hLibrary = ::LoadLibraryExA(strPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (hLibrary == nullptr) {
        return StringPrintf("%s 파일을 불러올 수 없습니다(오류 %lu): TLS 접속을 할 수 없습니다",
                            strPath.c_str(), ::GetLastError());
    }
    SslEntryPoints entryPoints;
    if (!Resolve(hLibrary, "SSL_StartUp", &entryPoints.pfnStartUp) ||
        !Resolve(hLibrary, "SSL_SendData", &entryPoints.pfnSendData) ||
        !Resolve(hLibrary, "SSL_RecvData", &entryPoints.pfnRecvData) ||
        !Resolve(hLibrary, "SSL_SelectTimeOut", &entryPoints.pfnSelectTimeOut) ||
        !Resolve(hLibrary, "SSL_Close", &entryPoints.pfnClose)) {
        ::FreeLibrary(hLibrary);
        return StringPrintf("%s: SSL_ 함수가 없습니다: TLS 접속을 할 수 없습니다",
                            strPath.c_str());
    }
    g_entryPoints = entryPoints;
    g_bLoaded.store(true, std::memory_order_release);
    return std::string();
}

std::vector<std::string> RefusedTlsEnvironment()
{
    // Read whole, as the library reads it (unset or empty: absent).
    const auto environment = [](const char* pszName) -> std::optional<std::string> {
        const DWORD dwNeeded = ::GetEnvironmentVariableA(pszName, nullptr, 0);
        if (dwNeeded <= 1)
            return std::nullopt;
        std::string strValue(dwNeeded, '\0');
        const DWORD dwLength = ::GetEnvironmentVariableA(pszName, &strValue[0], dwNeeded);
        if (dwLength == 0 || dwLength >= dwNeeded)
            return std::nullopt;
        strValue.resize(dwLength);
        return strValue;
    };
    std::vector<std::string> lines;
    for (const std::string& strName : LooseningEnvironment(environment)) {
        lines.push_back(StringPrintf(
            "%s 거부: 환경 변수로는 TLS 인증서 검증을 완화할 수 없습니다 (DLL 폴더의 "
            "ssllib32.ini에서만 설정)", strName.c_str()));
    }
    return lines;
}

// The relay's calls (relay/) land here instead of an import of ssllib32.dll.
extern "C" {

SSL_SESSION SSLAPI SSL_StartUp(SOCKET* pSocket)
{
    const SslEntryPoints* p = Loaded();
    return p != nullptr ? p->pfnStartUp(pSocket) : 0;
}

int SSLAPI SSL_SendData(SSL_SESSION hSession, const char* pData, int nLength)
{
    const SslEntryPoints* p = Loaded();
    return p != nullptr ? p->pfnSendData(hSession, pData, nLength) : -1;
}

int SSLAPI SSL_RecvData(SSL_SESSION hSession, char* pBuffer, int nCapacity)
{
    const SslEntryPoints* p = Loaded();
    return p != nullptr ? p->pfnRecvData(hSession, pBuffer, nCapacity) : -1;
}

int SSLAPI SSL_SelectTimeOut(SOCKET hSocket, int nSeconds)
{
    const SslEntryPoints* p = Loaded();
    return p != nullptr ? p->pfnSelectTimeOut(hSocket, nSeconds) : 0;
}

int SSLAPI SSL_Close(SSL_SESSION hSession, SOCKET hSocket)
{
    const SslEntryPoints* p = Loaded();
    return p != nullptr ? p->pfnClose(hSession, hSocket) : -1;
}

}  // extern "C"
