// The frame dispatcher's state table, without the main window: real loopback sockets as hosts,
// the real receive threads and TLS library, and a recording stand-in for the window's part
// (log records, tray pictures, terminal writes), which is the narrow interface itself.
//
// Windows Sockets is started as the program starts it (version 1.1), so these runs also show
// that the receive thread's Winsock 2 calls (overlapped receive, event wait, cancel) work
// after a 1.1 start.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/frame_dispatcher.h"

namespace {

constexpr DWORD kBoundMs = 10000;  // for anything that should take well under a second

// What the dispatcher handed to its owner, in order: "tray 131", "log <kind> <count> <text>",
// "terminal <count>".
class CRecordingOwner : public IRelayOwner {
public:
    void SendLogRecord(LogRecord& record, WPARAM wCount) const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back("log " + std::to_string(record.nKind) + " " + std::to_string(wCount) +
                          " " + record.strText);
    }
    void SetTrayPicture(UINT nIconId) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back("tray " + std::to_string(nIconId));
    }
    void RequestTrayPicture(UINT nIconId) override { SetTrayPicture(nIconId); }
    void WriteTerminal(const unsigned char* pBytes, int nCount, HANDLE) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back("terminal " + std::to_string(nCount));
        }
        // A write held until the test lets it go, whatever the abort event says: a terminal
        // write whose cancel was lost, which no real port gives on demand.
        if (m_hHoldWrite && std::string(reinterpret_cast<const char*>(pBytes), nCount) == m_strHeld)
            WaitForSingleObject(m_hHoldWrite, INFINITE);
    }
    // Writes of exactly strBytes wait until hRelease is set.
    void HoldWritesOf(const std::string& strBytes, HANDLE hRelease)
    {
        m_strHeld = strBytes;
        m_hHoldWrite = hRelease;
    }
    std::vector<std::string> Calls() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::vector<std::string> m_calls;
    std::string m_strHeld;
    HANDLE m_hHoldWrite = nullptr;
};

bool WaitUntil(const std::function<bool()>& done, DWORD dwBoundMs = kBoundMs)
{
    const DWORD dwStart = GetTickCount();
    while (!done()) {
        if (GetTickCount() - dwStart > dwBoundMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

// A listening loopback socket on a port of at most 4 digits (a connect request has 4).
class CListener {
public:
    CListener()
    {
        m_hSocket = socket(AF_INET, SOCK_STREAM, 0);
        for (int nPort = 2000 + static_cast<int>(GetTickCount() % 7000); m_nPort == 0; ++nPort) {
            if (nPort > 9999)
                nPort = 2000;
            sockaddr_in addr = {};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<u_short>(nPort));
            addr.sin_addr.s_addr = inet_addr("127.0.0.1");
            if (bind(m_hSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
                m_nPort = nPort;
        }
        listen(m_hSocket, 4);
    }
    ~CListener()
    {
        for (SOCKET s : m_accepted)
            closesocket(s);
        closesocket(m_hSocket);
    }
    int Port() const { return m_nPort; }
    // The next connection the relay made (already queued: connect returns once it is).
    SOCKET Accept()
    {
        SOCKET s = accept(m_hSocket, nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            DWORD dwLimit = kBoundMs;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwLimit),
                       sizeof(dwLimit));
            m_accepted.push_back(s);
        }
        return s;
    }

private:
    SOCKET m_hSocket;
    int m_nPort = 0;
    std::vector<SOCKET> m_accepted;
};

std::string Request(unsigned char byKind, int nPort, const char* pszGroups = "127000000001")
{
    char szDigits[32];
    std::snprintf(szDigits, sizeof(szDigits), "%s%04d", pszGroups, nPort);
    std::string strFrame(1, static_cast<char>(byKind));
    strFrame += szDigits;
    strFrame += byKind == 0x25 ? 'X' : static_cast<char>(byKind);
    return strFrame;
}

void Feed(CFrameDispatcher& dispatcher, const std::string& strFrame)
{
    dispatcher.OnFrame(reinterpret_cast<const unsigned char*>(strFrame.data()),
                       static_cast<int>(strFrame.size()));
}

std::string LogOf(const std::string& strFrame)
{
    return "log 1 " + std::to_string(strFrame.size()) + " " + strFrame.substr(0, strFrame.find('\0'));
}

class FrameDispatcher : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    }
    static void TearDownTestSuite() { WSACleanup(); }
};

// The state table: from no connection, a sequence of frames (a connect request "@" names the
// row's host), the state it ends in and everything the owner was handed, in order. A status
// line always follows the tray picture it goes with; an end made by the terminal (DLE, EOM, a
// request that drops the old connection) returns with the receive thread gone, its idle
// picture already set. Host bytes reach the terminal before the log.
TEST_F(FrameDispatcher, StateTable)
{
    enum class Host { Accepts, Refuses, ClosesAtOnce, AnswersThenCloses };
    struct Row {
        const char* pszName;
        std::vector<std::string> frames;
        Host host;
        HostLink expected;
        std::vector<std::string> calls;  // after the first frame's two; %d: the port
    };
    const std::string strPlain = "%";   // kind byte of a plain request
    const std::string strTls = "!";     // kind byte of a TLS request
    const Row rows[] = {
        {"plain connection", {strPlain}, Host::Accepts, HostLink::Plain,
         {"tray 132", "log 0 0 접속 127.0.0.1:%d"}},
        {"connect fails", {strPlain}, Host::Refuses, HostLink::None,
         {"tray 131", "log 0 0 #1 접속오류!![-2] 127.0.0.1:%d"}},
        {"TLS start fails", {strTls}, Host::ClosesAtOnce, HostLink::None,
         {"tray 131", "log 0 0 #2 접속오류!! 127.0.0.1:%d"}},
        {"DLE closes", {strPlain, "\x10"}, Host::Accepts, HostLink::None,
         {"tray 132", "log 0 0 접속 127.0.0.1:%d", "tray 131", "log 1 1 \x10", "tray 131"}},
        {"EOM closes", {strPlain, "\x19"}, Host::Accepts, HostLink::None,
         {"tray 132", "log 0 0 접속 127.0.0.1:%d", "tray 131", "log 1 1 \x19", "tray 131"}},
        {"bad digits close the old connection", {strPlain, "%19A0000000010001X"}, Host::Accepts,
         HostLink::None,
         {"tray 132", "log 0 0 접속 127.0.0.1:%d", "tray 131", "log 1 18 %%19A0000000010001X",
          "tray 131"}},
        {"other frames leave it open", {strPlain, "\x06"}, Host::Accepts, HostLink::Plain,
         {"tray 132", "log 0 0 접속 127.0.0.1:%d", "tray 131", "log 1 1 \x06"}},
        {"without a connection only logged", {"\x06"}, Host::Accepts, HostLink::None, {}},
        {"host answers, then ends it", {strPlain}, Host::AnswersThenCloses, HostLink::None,
         {"tray 132", "log 0 0 접속 127.0.0.1:%d", "terminal 3", "tray 132", "log 2 3 ABC",
          "tray 131"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        CRecordingOwner owner;
        CListener host;
        int nPort = host.Port();
        if (row.host == Host::Refuses) {
            CListener gone;
            nPort = gone.Port();  // closed again at the end of this block: nothing listens
        }
        std::thread closer;
        if (row.host == Host::ClosesAtOnce)
            closer = std::thread([&host] { shutdown(host.Accept(), SD_BOTH); });
        CFrameDispatcher dispatcher(&owner);
        std::vector<std::string> frames;
        for (const std::string& strRow : row.frames) {
            std::string strFrame = strRow == strPlain  ? Request(0x25, nPort)
                                   : strRow == strTls ? Request(0x21, nPort)
                                                      : strRow;
            Feed(dispatcher, strFrame);
            frames.push_back(strFrame);
        }
        if (closer.joinable())
            closer.join();
        if (row.host == Host::AnswersThenCloses) {
            SOCKET hHost = host.Accept();
            send(hHost, "ABC", 3, 0);
            // The answer is through (logged) before the end of the stream follows it.
            EXPECT_TRUE(WaitUntil([&] { return owner.Calls().back() == "log 2 3 ABC"; }));
            shutdown(hHost, SD_SEND);
            EXPECT_TRUE(WaitUntil([&] { return dispatcher.Link() == HostLink::None; }));
        }
        EXPECT_EQ(dispatcher.Link(), row.expected);

        std::vector<std::string> expected = {"tray 131", LogOf(frames[0])};
        for (const std::string& strCall : row.calls) {
            char szCall[96];
            std::snprintf(szCall, sizeof(szCall), strCall.c_str(), nPort);
            expected.push_back(szCall);
        }
        EXPECT_EQ(owner.Calls(), expected);
    }
}

// A receive thread that does not end when its connection is ended (its terminal write ignores
// the stop) holds the calling thread at most the end's 2 s wait: it is detached with one
// status line, the next request is served, and once it ends it has written nothing more to
// the terminal and logged nothing.
TEST_F(FrameDispatcher, AReceiveThreadThatOutlivesTheEndIsDetached)
{
    CRecordingOwner owner;
    HANDLE hRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    owner.HoldWritesOf("ABC", hRelease);
    // Lets the held write go in any case, so a wait without bound fails the test, not the run.
    std::thread watchdog([hRelease] {
        WaitForSingleObject(hRelease, 3 * kBoundMs);
        SetEvent(hRelease);
    });
    CListener stuck;
    CListener next;
    {
        CFrameDispatcher dispatcher(&owner);
        Feed(dispatcher, Request(0x25, stuck.Port()));
        send(stuck.Accept(), "ABC", 3, 0);
        EXPECT_TRUE(WaitUntil([&] { return owner.Calls().back() == "terminal 3"; }));

        const DWORD dwStart = GetTickCount();
        Feed(dispatcher, "\x10");
        const DWORD dwTook = GetTickCount() - dwStart;
        EXPECT_LT(dwTook, 4000u) << "the end waited past its bound";
        EXPECT_EQ(dispatcher.Link(), HostLink::None);
        char szDetached[96];
        std::snprintf(szDetached, sizeof(szDetached), "log 0 0 수신 종료 지연, 분리함 127.0.0.1:%d",
                      stuck.Port());
        EXPECT_EQ(owner.Calls().back(), szDetached);

        Feed(dispatcher, Request(0x25, next.Port()));
        EXPECT_EQ(dispatcher.Link(), HostLink::Plain);
        send(next.Accept(), "XY", 2, 0);
        EXPECT_TRUE(WaitUntil([&] { return owner.Calls().back() == "log 2 2 XY"; }));

        // The held write returns; the detached thread ends, and the dispatcher's end waits
        // for it (bounded) before anything below is read.
        SetEvent(hRelease);
        Feed(dispatcher, "\x19");
    }
    watchdog.join();
    CloseHandle(hRelease);
    const std::vector<std::string> calls = owner.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "log 2 3 ABC"), 0)
        << "the detached thread logged its block";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "terminal 3"), 1);
    EXPECT_EQ(calls.back(), "tray 131");
}

}  // namespace
