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

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/frame_dispatcher.h"

namespace {

constexpr DWORD kBoundMs = 10000;  // for anything that should take well under a second

// What the dispatcher handed to its owner, in order: "tray 131", "log <kind> <count> <text>".
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
    void WriteTerminal(const unsigned char* pBytes, int nCount) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_terminal.append(reinterpret_cast<const char*>(pBytes), static_cast<size_t>(nCount));
    }
    std::vector<std::string> Calls() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    std::string Terminal() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_terminal;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::vector<std::string> m_calls;
    std::string m_terminal;
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

// What the host side read until the end of the stream: the bytes, and whether the end came.
struct HostRead {
    std::string strBytes;
    bool bEnded = false;
};

HostRead ReadToEnd(SOCKET s)
{
    HostRead result;
    char ab[4096];
    for (;;) {
        const int n = recv(s, ab, sizeof(ab), 0);
        if (n <= 0) {
            result.bEnded = n == 0;
            return result;
        }
        result.strBytes.append(ab, static_cast<size_t>(n));
    }
}

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

std::string Status(const std::string& strText)
{
    return "log 0 0 " + strText;
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

// From no connection, one connect request: the state it leads to and what the owner saw, in
// order (the tray picture always before the status line it goes with).
TEST_F(FrameDispatcher, ConnectRequestOutcomes)
{
    struct Row {
        const char* pszName;
        unsigned char byKind;
        enum { Accepts, Refuses, ClosesAtOnce } host;
        HostLink expected;
        const char* pszStatus;   // %d: the port
        const char* pszPicture;  // the picture set before the status line
    };
    const Row rows[] = {
        {"plain", 0x25, Row::Accepts, HostLink::Plain, "접속 127.0.0.1:%d", "tray 132"},
        {"refused", 0x25, Row::Refuses, HostLink::None, "#1 접속오류!![-2] 127.0.0.1:%d", "tray 131"},
        {"TLS refused by the host", 0x21, Row::ClosesAtOnce, HostLink::None,
         "#2 접속오류!! 127.0.0.1:%d", "tray 131"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        CRecordingOwner owner;
        CListener host;
        int nPort = host.Port();
        std::thread closer;
        if (row.host == Row::Refuses) {
            CListener gone;
            nPort = gone.Port();  // closed again at the end of this block: nothing listens
        } else if (row.host == Row::ClosesAtOnce) {
            closer = std::thread([&host] { closesocket(host.Accept()); });
        }
        {
            CFrameDispatcher dispatcher(&owner);
            const std::string strRequest = Request(row.byKind, nPort);
            Feed(dispatcher, strRequest);
            if (closer.joinable())
                closer.join();
            EXPECT_EQ(dispatcher.Link(), row.expected);
            char szStatus[64];
            std::snprintf(szStatus, sizeof(szStatus), row.pszStatus, nPort);
            const std::vector<std::string> expected = {"tray 131", LogOf(strRequest),
                                                       row.pszPicture, Status(szStatus)};
            EXPECT_EQ(owner.Calls(), expected);
        }
    }
}

// With a plain connection open, one more frame: what the host gets, whether the connection
// ends, and whether the old host is let go.
TEST_F(FrameDispatcher, FramesOnAnOpenConnection)
{
    struct Row {
        const char* pszName;
        std::string strFrame;   // "@" in place of the port digits: the second host's port
        HostLink expected;
        std::string strHostGets;
        bool bHostEnded;        // the first host read the end of the stream
    };
    const Row rows[] = {
        {"ACK is sent", std::string("\x06", 1), HostLink::Plain, std::string("\x06", 1), false},
        {"a frame with a zero byte goes whole", std::string("A\0B", 3), HostLink::Plain,
         std::string("A\0B", 3), false},
        {"DLE closes, unsent", std::string("\x10", 1), HostLink::None, "", true},
        {"EOM closes, unsent", std::string("\x19", 1), HostLink::None, "", true},
        {"17-byte request kind is not sent", std::string(17, '\x21'), HostLink::Plain, "", false},
        {"bad digits drop the old connection", Request(0x25, 1, "19A000000001"), HostLink::None,
         "", true},
        {"a new request moves to the new host", "@", HostLink::Plain, "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        CRecordingOwner owner;
        CListener first;
        CListener second;
        CFrameDispatcher dispatcher(&owner);
        Feed(dispatcher, Request(0x25, first.Port()));
        ASSERT_EQ(dispatcher.Link(), HostLink::Plain);
        SOCKET hHost = first.Accept();
        ASSERT_NE(hHost, INVALID_SOCKET);

        const std::string strFrame = row.strFrame == "@" ? Request(0x25, second.Port()) : row.strFrame;
        Feed(dispatcher, strFrame);
        EXPECT_EQ(dispatcher.Link(), row.expected);
        if (row.bHostEnded) {
            const HostRead read = ReadToEnd(hHost);
            EXPECT_TRUE(read.bEnded);
            EXPECT_EQ(read.strBytes, row.strHostGets);
        } else {
            // A marker after the frame: whatever the frame sent arrives before it.
            Feed(dispatcher, "MARK");
            std::string strGot;
            char ab[64];
            while (strGot.size() < row.strHostGets.size() + 4) {
                const int n = recv(hHost, ab, sizeof(ab), 0);
                ASSERT_GT(n, 0) << "host got " << strGot.size() << " bytes";
                strGot.append(ab, static_cast<size_t>(n));
            }
            EXPECT_EQ(strGot, row.strHostGets + "MARK");
        }
        if (row.strFrame == "@") {
            EXPECT_NE(second.Accept(), INVALID_SOCKET);
        }
        // Every frame's own line comes first; no status line on the way except the first
        // "접속" and, for a new request, the second.
        const std::vector<std::string> calls = owner.Calls();
        int nStatus = 0;
        for (const std::string& c : calls)
            nStatus += c.rfind("log 0 ", 0) == 0 ? 1 : 0;
        EXPECT_EQ(nStatus, row.strFrame == "@" ? 2 : 1);
    }
}

// The host's side of the table: answers reach the terminal, and a host that closes ends the
// connection by itself, leaving the idle picture; a later request connects cleanly.
TEST_F(FrameDispatcher, HostAnswersThenCloses)
{
    CRecordingOwner owner;
    CListener host;
    CFrameDispatcher dispatcher(&owner);
    Feed(dispatcher, Request(0x25, host.Port()));
    SOCKET hHost = host.Accept();
    ASSERT_NE(hHost, INVALID_SOCKET);
    const std::string strAnswer("\x02" "AB\0CD\x03", 7);
    ASSERT_EQ(send(hHost, strAnswer.data(), static_cast<int>(strAnswer.size()), 0), 7);
    EXPECT_TRUE(WaitUntil([&] { return owner.Terminal() == strAnswer; }));
    shutdown(hHost, SD_SEND);
    EXPECT_TRUE(WaitUntil([&] { return dispatcher.Link() == HostLink::None; }));
    const std::vector<std::string> calls = owner.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"tray 132", "log 2 7 \x02" "AB", "tray 131"}));
    // The relay's end reached the host too.
    EXPECT_TRUE(ReadToEnd(hHost).bEnded);

    CListener next;
    Feed(dispatcher, Request(0x25, next.Port()));
    EXPECT_EQ(dispatcher.Link(), HostLink::Plain);
    EXPECT_NE(next.Accept(), INVALID_SOCKET);
}

}  // namespace
