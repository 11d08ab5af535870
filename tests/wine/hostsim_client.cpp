// See hostsim_client.h.
#include "tests/wine/hostsim_client.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

std::string Field(const std::string& reply, const char* key) {
    std::string tag = std::string("\"") + key + "\": ";
    std::size_t at = reply.find(tag);
    if (at == std::string::npos) return "";
    at += tag.size();
    if (reply[at] == '"') {
        std::size_t end = reply.find('"', at + 1);
        return reply.substr(at + 1, end - at - 1);
    }
    std::size_t end = reply.find_first_of(",}", at);
    return reply.substr(at, end - at);
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

}  // namespace

SOCKET ConnectLoopback(int port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

std::string PkiFile(const std::string& name) {
    const char* dir = std::getenv("PELLARIN_TEST_PKI");
    return std::string(dir ? dir : "") + name;
}

std::string PkiLine(const std::string& name) {
    std::ifstream in(PkiFile(name));
    std::string line;
    std::getline(in, line);
    return line;
}

CHostSim::CHostSim() {
    const char* port = std::getenv("HOSTSIM_CONTROL_PORT");
    if (port) m_hControl = ConnectLoopback(std::atoi(port));
}

CHostSim::~CHostSim() {
    if (m_hControl != INVALID_SOCKET) closesocket(m_hControl);
}

std::string CHostSim::Call(const std::string& request) {
    std::string line = request + "\n";
    if (send(m_hControl, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()))
        return "";
    for (;;) {
        std::size_t nl = m_pending.find('\n');
        if (nl != std::string::npos) {
            std::string reply = m_pending.substr(0, nl);
            m_pending.erase(0, nl + 1);
            return reply;
        }
        char chunk[65536];
        int r = recv(m_hControl, chunk, sizeof chunk, 0);
        if (r <= 0) return "";
        m_pending.append(chunk, static_cast<std::size_t>(r));
    }
}

int CHostSim::Listen(const std::string& members, int* pPort) {
    std::string reply = Call("{\"cmd\": \"listen\"" + (members.empty() ? "" : ", " + members) + "}");
    *pPort = std::atoi(Field(reply, "port").c_str());
    return Field(reply, "ok") == "true" ? std::atoi(Field(reply, "id").c_str()) : 0;
}

CHostSim::Seen CHostSim::WaitFor(int id, const char* kind, int count, long bytes, double seconds) {
    char request[256];
    std::snprintf(request, sizeof request,
                  "{\"cmd\": \"wait\", \"id\": %d, \"kind\": \"%s\", \"count\": %d, \"bytes\": %ld, "
                  "\"timeout\": %.3f}", id, kind, count, bytes, seconds);
    Seen seen;
    seen.strReply = Call(request);
    seen.bReached = Field(seen.strReply, "ok") == "true";
    seen.nCount = std::atoi(Field(seen.strReply, "count").c_str());
    seen.nBytes = std::atol(Field(seen.strReply, "bytes").c_str());
    seen.strData = FromHex(Field(seen.strReply, "hex"));
    return seen;
}

void CHostSim::Stop(int id) {
    Call("{\"cmd\": \"stop\", \"id\": " + std::to_string(id) + "}");
}
