// The control-channel client (see termsim_client.h). The socket is in event-select mode so
// that a wait for its answer can also wake for window messages.
#include "tests/wine/termsim_client.h"

#include <ws2tcpip.h>

#include <cstdlib>

namespace {

bool IsOk(const std::string& strAnswer)
{
    return strAnswer.compare(0, 2, "OK") == 0;
}

DWORD Remaining(DWORD dwDeadline)
{
    const LONG nLeft = static_cast<LONG>(dwDeadline - GetTickCount());
    return nLeft > 0 ? static_cast<DWORD>(nLeft) : 0;
}

} // namespace

void PumpPendingMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

std::string ToHex(const std::string& strBytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex;
    strHex.reserve(strBytes.size() * 2);
    for (unsigned char c : strBytes) {
        strHex += kDigits[c >> 4];
        strHex += kDigits[c & 15];
    }
    return strHex;
}

std::string FromHex(const std::string& strHex)
{
    std::string strBytes;
    for (size_t i = 0; i + 1 < strHex.size(); i += 2)
        strBytes += static_cast<char>(std::strtoul(strHex.substr(i, 2).c_str(), nullptr, 16));
    return strBytes;
}

CTermSimClient::~CTermSimClient()
{
    if (m_socket != INVALID_SOCKET)
        closesocket(m_socket);
    if (m_hEvent)
        WSACloseEvent(m_hEvent);
    if (m_bWsa)
        WSACleanup();
}

bool CTermSimClient::Connect()
{
    const char* pszAddr = std::getenv("PELLARIN_TERMSIM");
    if (!pszAddr) {
        m_strError = "PELLARIN_TERMSIM is not set (run under tools/termsim.py serve)";
        return false;
    }
    std::string strAddr = pszAddr;
    const size_t nColon = strAddr.rfind(':');
    if (nColon == std::string::npos) {
        m_strError = "bad PELLARIN_TERMSIM " + strAddr;
        return false;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        m_strError = "WSAStartup failed";
        return false;
    }
    m_bWsa = true;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(std::atoi(strAddr.c_str() + nColon + 1)));
    addr.sin_addr.s_addr = inet_addr(strAddr.substr(0, nColon).c_str());
    m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_socket == INVALID_SOCKET ||
        connect(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        m_strError = "cannot connect to the terminal simulator at " + strAddr;
        return false;
    }
    m_hEvent = WSACreateEvent();
    if (!m_hEvent || WSAEventSelect(m_socket, m_hEvent, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        m_strError = "WSAEventSelect failed";
        return false;
    }
    return true;
}

bool CTermSimClient::WaitSocket(DWORD dwDeadline, bool bPump)
{
    for (;;) {
        const DWORD dwLeft = Remaining(dwDeadline);
        DWORD dwResult;
        if (bPump) {
            dwResult = MsgWaitForMultipleObjectsEx(1, &m_hEvent, dwLeft, QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);
            if (dwResult == WAIT_OBJECT_0 + 1) {
                PumpPendingMessages();
                continue;
            }
        } else {
            dwResult = WaitForSingleObject(m_hEvent, dwLeft);
        }
        if (dwResult != WAIT_OBJECT_0)
            return false;
        WSANETWORKEVENTS events;
        WSAEnumNetworkEvents(m_socket, m_hEvent, &events); // resets the event
        return true;
    }
}

bool CTermSimClient::SendAll(const std::string& strData, DWORD dwDeadline)
{
    size_t nSent = 0;
    while (nSent < strData.size()) {
        int n = send(m_socket, strData.data() + nSent, static_cast<int>(strData.size() - nSent), 0);
        if (n > 0) {
            nSent += static_cast<size_t>(n);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitSocket(dwDeadline, false))
            return false;
    }
    return true;
}

std::string CTermSimClient::Request(const std::string& strLine, bool bPump, DWORD dwTimeoutMs)
{
    const DWORD dwDeadline = GetTickCount() + dwTimeoutMs;
    if (m_socket == INVALID_SOCKET || !SendAll(strLine + "\n", dwDeadline)) {
        m_strError = "cannot send request: " + strLine.substr(0, 40);
        return "";
    }
    for (;;) {
        const size_t nEnd = m_strPending.find('\n');
        if (nEnd != std::string::npos) {
            std::string strAnswer = m_strPending.substr(0, nEnd);
            m_strPending.erase(0, nEnd + 1);
            if (!IsOk(strAnswer))
                m_strError = strAnswer;
            return strAnswer;
        }
        char buf[8192];
        int n = recv(m_socket, buf, sizeof(buf), 0);
        if (n > 0) {
            m_strPending.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !WaitSocket(dwDeadline, bPump)) {
            m_strError = "no answer to: " + strLine.substr(0, 40);
            return "";
        }
    }
}

bool CTermSimClient::Open(const std::string& strPort)
{
    return IsOk(Request("OPEN " + strPort));
}

bool CTermSimClient::Close(const std::string& strPort)
{
    return IsOk(Request("CLOSE " + strPort));
}

bool CTermSimClient::Clear(const std::string& strPort)
{
    return IsOk(Request("CLEAR " + strPort));
}

bool CTermSimClient::Send(const std::string& strPort, const std::vector<std::string>& frames,
                          bool bPaced, int nGapMs, bool bPump)
{
    std::string strLine = "SEND " + strPort + (bPaced ? " paced " : " unpaced ") +
                          std::to_string(nGapMs);
    for (const std::string& frame : frames)
        strLine += " " + ToHex(frame);
    return IsOk(Request(strLine, bPump));
}

std::string CTermSimClient::Received(const std::string& strPort, size_t nCount, DWORD dwTimeoutMs)
{
    std::string strAnswer = Request("RECV " + strPort + " " + std::to_string(nCount) + " " +
                                        std::to_string(dwTimeoutMs),
                                    true, dwTimeoutMs + 10000);
    if (!IsOk(strAnswer))
        return "";
    return strAnswer.size() > 3 ? FromHex(strAnswer.substr(3)) : "";
}

std::string CTermSimClient::ReceivedEndingWith(const std::string& strPort,
                                               const std::string& strTail, DWORD dwTimeoutMs)
{
    std::string strAnswer = Request("RECVTAIL " + strPort + " " + ToHex(strTail) + " " +
                                        std::to_string(dwTimeoutMs),
                                    true, dwTimeoutMs + 10000);
    if (!IsOk(strAnswer))
        return "";
    return strAnswer.size() > 3 ? FromHex(strAnswer.substr(3)) : "";
}

bool CTermSimClient::Kill(const std::string& strPort)
{
    return IsOk(Request("KILL " + strPort));
}

bool CTermSimClient::Start(const std::string& strPort)
{
    return IsOk(Request("START " + strPort));
}
