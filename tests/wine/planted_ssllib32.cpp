// A stranger's ssllib32.dll, planted where the search path would find it (the program's
// folder, the current directory). It exports what the relay calls, so a loader that took it
// would load it whole; loaded, it leaves planted-ssllib32-loaded.txt beside itself. The tests
// copy it under the name ssllib32.dll and check that the file never appears.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "ssl/ssllib32.h"

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    char szPath[MAX_PATH] = "";
    const DWORD dwLength = ::GetModuleFileNameA(hInstance, szPath, MAX_PATH);
    std::string strMarker(szPath, dwLength);
    strMarker = strMarker.substr(0, strMarker.find_last_of("\\/") + 1) + "planted-ssllib32-loaded.txt";
    HANDLE hFile = ::CreateFileA(strMarker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile != INVALID_HANDLE_VALUE) {
        DWORD dwWritten = 0;
        ::WriteFile(hFile, "loaded\r\n", 8, &dwWritten, nullptr);
        ::CloseHandle(hFile);
    }
    return TRUE;
}

extern "C" {
SSL_SESSION SSLAPI SSL_StartUp(SOCKET*) { return 0; }
int SSLAPI SSL_SendData(SSL_SESSION, const char*, int) { return -1; }
int SSLAPI SSL_RecvData(SSL_SESSION, char*, int) { return -1; }
int SSLAPI SSL_SelectTimeOut(SOCKET, int) { return 0; }
int SSLAPI SSL_Close(SSL_SESSION, SOCKET) { return -1; }
}
