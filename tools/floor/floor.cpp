// floor: the least a relay between a COM port and a TCP host can do on this platform, so the
// benchmark can show what the product adds to what the platform costs anyway.
//
//   floor.exe COMn PORT [STAGE [SSLLIB32]]
//                           connect to 127.0.0.1:PORT, open COMn, relay both ways until the
//                           host closes; prints "ready" once both are open. STAGE (default
//                           floor) adds the relay's per-block extras one by one (stages.h);
//                           tls needs the path of ssllib32.dll.
//
// Host -> terminal: the fastest wait we know of under Wine, WSAEventSelect on the socket and
// WaitForMultipleObjects, then recv until the socket is empty and one overlapped WriteFile per
// chunk. Terminal -> host: the product's own serial settings and read pattern (a wait for a
// received character, then reads with a 100 ms interval time-out until one returns nothing),
// then one send per burst. No log, no window, no tray, no TLS (unless a stage adds them).
//
// Threads: the main thread reads the port and sends; a second thread receives and writes the
// port. Each owns its own OVERLAPPED. The process ends when the host closes.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tools/floor/stages.h"

namespace {

constexpr DWORD kBuffer = 4096;
// The product's serial time-outs: a read ends after 100 ms of silence or N + 1 ms for N
// bytes; N bytes written time out after 5 x N + 5 ms.
constexpr COMMTIMEOUTS kTimeouts = {100, 1, 1, 5, 5};

HANDLE g_hPort = INVALID_HANDLE_VALUE;
SOCKET g_socket = INVALID_SOCKET;

bool Wait(OVERLAPPED* pOv, DWORD* pdwDone)
{
    return GetOverlappedResult(g_hPort, pOv, pdwDone, TRUE) != FALSE;
}

bool WritePort(OVERLAPPED* pOv, const char* pBytes, DWORD dwLength)
{
    DWORD dwDone = 0;
    if (WriteFile(g_hPort, pBytes, dwLength, &dwDone, pOv))
        return true;
    return GetLastError() == ERROR_IO_PENDING && Wait(pOv, &dwDone);
}

// Host -> terminal through the TLS session: a read waits for the next record.
void TlsHostToTerminal(OVERLAPPED* pOv)
{
    static char s_abBuf[kBuffer];
    for (;;) {
        const int n = RecvTls(s_abBuf, sizeof(s_abBuf));
        if (n <= 0)
            ExitProcess(0);  // the host closed
        if (!WritePort(pOv, s_abBuf, static_cast<DWORD>(n)))
            ExitProcess(4);
        OnHostBlock(s_abBuf, n);
    }
}

// Host -> terminal.
DWORD WINAPI HostToTerminal(LPVOID)
{
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (UsesTls() && ov.hEvent)
        TlsHostToTerminal(&ov);
    WSAEVENT hReady = WSACreateEvent();
    if (!ov.hEvent || hReady == WSA_INVALID_EVENT ||
        WSAEventSelect(g_socket, hReady, FD_READ | FD_CLOSE) != 0)
        ExitProcess(3);
    static char s_abBuf[kBuffer];
    for (;;) {
        if (WaitForMultipleObjects(1, &hReady, FALSE, INFINITE) != WAIT_OBJECT_0)
            break;
        WSANETWORKEVENTS events = {};
        WSAEnumNetworkEvents(g_socket, hReady, &events);
        for (;;) {
            const int n = recv(g_socket, s_abBuf, sizeof(s_abBuf), 0);
            if (n == 0)
                ExitProcess(0);  // the host closed
            if (n < 0) {
                if (WSAGetLastError() == WSAEWOULDBLOCK)
                    break;
                ExitProcess(0);
            }
            if (!WritePort(&ov, s_abBuf, static_cast<DWORD>(n)))
                ExitProcess(4);
            OnHostBlock(s_abBuf, n);
        }
    }
    return 0;
}

// One burst as the product reads it: reads of the room left until one returns nothing.
DWORD ReadBurst(OVERLAPPED* pOv, char* pBuf)
{
    DWORD dwHeld = 0;
    while (dwHeld < kBuffer) {
        DWORD dwErrors = 0;
        COMSTAT stat = {};
        ClearCommError(g_hPort, &dwErrors, &stat);
        if (stat.cbInQue == 0)
            break;
        DWORD dwRead = 0;
        if (!ReadFile(g_hPort, pBuf + dwHeld, kBuffer - dwHeld, &dwRead, pOv) &&
            (GetLastError() != ERROR_IO_PENDING || !Wait(pOv, &dwRead)))
            break;
        if (dwRead == 0)
            break;
        dwHeld += dwRead;
    }
    return dwHeld;
}

// Terminal -> host.
void TerminalToHost()
{
    OVERLAPPED ovWait = {}, ovRead = {};
    ovWait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ovRead.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    static char s_abBuf[kBuffer];
    for (;;) {
        DWORD dwEvent = 0, dwUnused = 0;
        ResetEvent(ovWait.hEvent);
        if (!WaitCommEvent(g_hPort, &dwEvent, &ovWait)) {
            if (GetLastError() != ERROR_IO_PENDING || !Wait(&ovWait, &dwUnused))
                ExitProcess(5);
        }
        if (!(dwEvent & EV_RXCHAR))
            continue;
        const DWORD dwHeld = ReadBurst(&ovRead, s_abBuf);
        for (DWORD dwSent = 0; dwSent < dwHeld;) {
            const int nLeft = static_cast<int>(dwHeld - dwSent);
            const int n = UsesTls() ? SendTls(s_abBuf + dwSent, nLeft)
                                    : send(g_socket, s_abBuf + dwSent, nLeft, 0);
            if (n > 0) {
                dwSent += static_cast<DWORD>(n);
                continue;
            }
            if (UsesTls() || WSAGetLastError() != WSAEWOULDBLOCK)
                ExitProcess(0);
            Sleep(1);  // the socket is non-blocking after WSAEventSelect: its buffer is full
        }
    }
}

bool OpenPort(const char* pszPort)
{
    char szPath[32];
    snprintf(szPath, sizeof(szPath), "\\\\.\\%s", pszPort);
    g_hPort = CreateFileA(szPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (g_hPort == INVALID_HANDLE_VALUE)
        return false;
    SetupComm(g_hPort, kBuffer, kBuffer);
    SetCommMask(g_hPort, EV_RXCHAR);
    PurgeComm(g_hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS timeouts = kTimeouts;
    SetCommTimeouts(g_hPort, &timeouts);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(g_hPort, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(g_hPort, &dcb) != FALSE;
}

bool ConnectHost(unsigned short nPort)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;
    g_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (g_socket == INVALID_SOCKET)
        return false;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(g_socket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return false;
    BOOL bNoDelay = TRUE;  // as the product's connection
    setsockopt(g_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay),
               sizeof(bNoDelay));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Stage stage = {};
    if (argc < 3 || argc > 5 || (argc >= 4 && !ParseStage(argv[3], &stage)) ||
        stage.bTls != (argc == 5)) {
        fprintf(stderr, "usage: floor COMn PORT [floor|message|tray|log|log-no-tray|tls "
                        "SSLLIB32]\n");
        return 2;
    }
    if (!OpenPort(argv[1])) {
        fprintf(stderr, "floor: cannot open %s (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    if (!ConnectHost(static_cast<unsigned short>(atoi(argv[2])))) {
        fprintf(stderr, "floor: cannot connect to port %s (%d)\n", argv[2], WSAGetLastError());
        return 1;
    }
    if (!StartStages(stage, g_socket, argc == 5 ? argv[4] : nullptr))
        return 1;
    if (!CreateThread(nullptr, 0, HostToTerminal, nullptr, 0, nullptr))
        return 1;
    printf("ready\n");
    fflush(stdout);
    TerminalToHost();
    return 0;
}
