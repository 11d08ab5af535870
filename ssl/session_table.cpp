// See session_table.h.
#include "ssl/session_table.h"

#include <map>
#include <mutex>

#include "ssl/tls_session.h"

namespace {
std::mutex g_tableLock;  // any thread; guards the three below
std::map<SSL_SESSION, std::shared_ptr<CTlsSession>> g_byHandle;
std::map<SOCKET, SSL_SESSION> g_bySocket;
SSL_SESSION g_lastHandle = 0;
// Handles stay positive and within 31 bits, so a caller that keeps them in a 32-bit int on
// a 32-bit build still sees a nonzero, positive value.
constexpr SSL_SESSION kMaxHandle = 0x7FFFFFFF;
}  // namespace

SSL_SESSION RegisterSession(std::shared_ptr<CTlsSession> session) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    do {
        g_lastHandle = g_lastHandle >= kMaxHandle ? 1 : g_lastHandle + 1;
    } while (g_byHandle.count(g_lastHandle));
    g_bySocket[session->Socket()] = g_lastHandle;
    g_byHandle[g_lastHandle] = std::move(session);
    return g_lastHandle;
}

std::shared_ptr<CTlsSession> FindSession(SSL_SESSION h) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_byHandle.find(h);
    return it == g_byHandle.end() ? nullptr : it->second;
}

std::shared_ptr<CTlsSession> TakeSession(SSL_SESSION h) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_byHandle.find(h);
    if (it == g_byHandle.end()) return nullptr;
    std::shared_ptr<CTlsSession> session = std::move(it->second);
    g_byHandle.erase(it);
    auto bySocket = g_bySocket.find(session->Socket());
    if (bySocket != g_bySocket.end() && bySocket->second == h) g_bySocket.erase(bySocket);
    return session;
}

std::shared_ptr<CTlsSession> FindSessionBySocket(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_bySocket.find(s);
    if (it == g_bySocket.end()) return nullptr;
    auto session = g_byHandle.find(it->second);
    return session == g_byHandle.end() ? nullptr : session->second;
}
