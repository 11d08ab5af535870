// ssllib32.dll against the host simulator on loopback: the real DLL through its import
// library, Wine's real Schannel, real sockets, and certificates made fresh for the run
// (run_with_hostsim.sh). Each case sets the library's trust in the ssllib32.ini beside the
// DLL's copy in this program's folder (the only place it is taken from), and points its log at
// a file of its own through the environment.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ssl/ssllib32.h"
#include "tests/wine/hostsim_client.h"

namespace {

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

const char* const kVars[] = {"SSLLIB32_CAFILE", "SSLLIB32_PINSHA256",
                             "SSLLIB32_INSECURE_SKIP_VERIFY", "SSLLIB32_HANDSHAKE_TIMEOUT",
                             "SSLLIB32_LOG", "SSLLIB32_INI"};
using Env = std::vector<std::pair<const char*, std::string>>;

std::string TempPath(const std::string& name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "ssllib32-test-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

// The simulator's fill pattern for send_len / records_len: 01, 02, ... FF, 01, ... (no zero).
std::string Pattern(std::size_t n) {
    std::string s;
    for (std::size_t k = 0; k < n; ++k) s.push_back(static_cast<char>(k % 255 + 1));
    return s;
}

std::string Hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) s += {kHex[c >> 4], kHex[c & 15]};
    return s;
}

class SslTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.IsOpen()) << "run through tests/wine/run_with_hostsim.sh";
        m_strLog = TempPath(::testing::UnitTest::GetInstance()->current_test_info()->name() +
                            std::string(".log"));
        for (char& c : m_strLog)
            if (c == '/') c = '_';
        DeleteFileA(m_strLog.c_str());
        // No ini file unless a case writes one: a stray ssllib32.ini must not decide.
        ClearTrust();
        SetEnv({{"SSLLIB32_LOG", m_strLog}});
    }
    void TearDown() override {
        for (const char* v : kVars) SetEnvironmentVariableA(v, nullptr);
        ClearTrust();
        for (int id : m_listeners) m_sim.Stop(id);
    }
    // Trust settings (named by their environment variables) go into the ssllib32.ini beside
    // the DLL; SSLLIB32_INI copies that file there; the others are set in the environment.
    void SetEnv(const Env& env) {
        for (const auto& kv : env) {
            const std::string name = kv.first;
            if (name == "SSLLIB32_INI") {
                CopyFileA(kv.second.c_str(), IniBesideDll().c_str(), FALSE);
                continue;
            }
            const char* key = name == "SSLLIB32_CAFILE" ? "CAFile"
                              : name == "SSLLIB32_PINSHA256" ? "PinSHA256"
                              : name == "SSLLIB32_INSECURE_SKIP_VERIFY" ? "InsecureSkipVerify"
                                                                        : nullptr;
            if (key == nullptr) {
                SetEnvironmentVariableA(kv.first, kv.second.c_str());
                continue;
            }
            m_trust.emplace_back(key, kv.second);
            std::ofstream out(IniBesideDll(), std::ios::binary | std::ios::trunc);
            out << "[TLS]\r\n";
            for (const auto& kv2 : m_trust) out << kv2.first << "=" << kv2.second << "\r\n";
        }
    }
    void ClearTrust() {
        m_trust.clear();
        DeleteFileA(IniBesideDll().c_str());
    }
    static std::string IniBesideDll() {
        char path[MAX_PATH] = "";
        DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string dir(path, n);
        return dir.substr(0, dir.find_last_of("\\/") + 1) + "ssllib32.ini";
    }
    void TrustTestCa() { SetEnv({{"SSLLIB32_CAFILE", PkiFile("ca.crt")}}); }

    // A listener; members as in CHostSim::Listen. Returns the port, the id in *pId.
    int Listen(const std::string& members, int* pId) {
        int port = 0;
        *pId = m_sim.Listen(members, &port);
        EXPECT_NE(*pId, 0) << "hostsim refused: " << members;
        m_listeners.push_back(*pId);
        return port;
    }
    // A TLS listener (certificate for 127.0.0.1) that performs the given actions when the
    // client's query "Q" (0x51) arrives.
    int ListenAnsweringQuery(const std::string& actions, int* pId) {
        return Listen(std::string(R"("tls": true, "cert": "server_ip1", "script": {"rules": )"
                                  R"([{"prefix": "51", "do": [)") + actions + "]}]}", pId);
    }
    std::string LogText() {
        std::ifstream in(m_strLog);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Reads n bytes the way the relay's receive thread does: wait, then read.
    std::string ReadExactly(SSL_SESSION h, SOCKET s, std::size_t n) {
        std::string got;
        char buffer[4096];
        while (got.size() < n) {
            if (SSL_SelectTimeOut(s, 5) == 0) break;
            int r = SSL_RecvData(h, buffer, sizeof buffer);
            if (r <= 0) break;
            got.append(buffer, static_cast<std::size_t>(r));
        }
        return got;
    }

    CHostSim m_sim;
    std::string m_strLog;
    std::vector<std::pair<std::string, std::string>> m_trust;  // the ini's [TLS] lines
    std::vector<int> m_listeners;
};

const char kEchoTls[] =
    R"("tls": true, "cert": "server_ip1", "script": {"rules": [{"do": [{"echo": true}]}]})";

TEST_F(SslTest, HandshakeAndEchoBothWays) {
    TrustTestCa();
    int id = 0;
    int port = Listen(R"("tls": true, "cert": "server_ip1", "script": {)"
                      R"("on_connect": [{"send": "0605"}], "rules": [{"do": [{"echo": true}]}]})", &id);
    SOCKET s = ConnectLoopback(port);
    ASSERT_NE(s, INVALID_SOCKET);
    Clock::time_point t0 = Clock::now();
    SSL_SESSION h = SSL_StartUp(&s);
    double handshakeMs = SecondsSince(t0) * 1000;
    ASSERT_NE(h, 0) << LogText();

    // The handshake's receive time-out is gone again: a quiet host must not end a read.
    DWORD timeout = 1;
    int len = sizeof timeout;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), &len), 0);
    EXPECT_EQ(timeout, 0u);

    // The host's greeting may arrive in the same read as its last handshake message.
    EXPECT_EQ(ReadExactly(h, s, 2), std::string("\x06\x05", 2));

    std::string withZero = "\x02" + Pattern(299);
    withZero[150] = '\0';
    const std::string payloads[] = {std::string("\x06"), withZero, Pattern(4096),
                                    Pattern(40000)};
    long sent = 0;
    for (const std::string& p : payloads) {
        SCOPED_TRACE(p.size());
        ASSERT_EQ(SSL_SendData(h, p.data(), static_cast<int>(p.size())), static_cast<int>(p.size()));
        sent += static_cast<long>(p.size());
        EXPECT_EQ(Hex(ReadExactly(h, s, p.size())), Hex(p));
    }
    CHostSim::Seen frames = m_sim.WaitFor(id, "frame", 1, sent);
    EXPECT_EQ(frames.nBytes, sent) << frames.strReply;

    const int rounds = 200;
    t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(SSL_SendData(h, "\x02ping-0123456789", 16), 16);
        ASSERT_EQ(ReadExactly(h, s, 16).size(), 16u);
    }
    double echoMs = SecondsSince(t0) * 1000 / rounds;

    EXPECT_EQ(SSL_Close(h, s), 1);
    CHostSim::Seen notify = m_sim.WaitFor(id, "close_notify");
    EXPECT_TRUE(notify.bReached) << notify.strReply;

    // Later handshakes, with the TLS stack loaded: each a full handshake and server check.
    std::vector<double> warm;
    for (int i = 0; i < 9; ++i) {
        SOCKET again = ConnectLoopback(port);
        t0 = Clock::now();
        SSL_SESSION h2 = SSL_StartUp(&again);
        warm.push_back(SecondsSince(t0) * 1000);
        ASSERT_NE(h2, 0) << LogText();
        EXPECT_EQ(SSL_Close(h2, again), 1);
    }
    std::sort(warm.begin(), warm.end());
    std::printf("[ measured ] first handshake %.2f ms, later handshakes median %.2f ms "
                "(min %.2f), echo round trip %.3f ms (16 bytes, mean of %d)\n",
                handshakeMs, warm[warm.size() / 2], warm.front(), echoMs, rounds);
}

// Data already inside the TLS layer must wake the wait: a 16 KiB record read 4 KiB at a time
// leaves plaintext behind, and two records taken by one recv leave a whole record behind;
// the socket itself has nothing more, so select() alone would time out.
TEST_F(SslTest, BufferedDataIsReportedAndReadFully) {
    struct Row {
        const char* name;
        const char* answer;
        std::size_t total;
        std::vector<std::size_t> parts;  // record sizes, for the expected bytes
        int capacity;                    // of each read
    };
    const Row rows[] = {
        {"one 16 KiB record", R"({"send_len": 16384})", 16384, {16384}, 4096},
        // A read that the first record fills leaves the second one whole and undecrypted.
        {"two records in one write", R"({"records_len": [100, 200]})", 300, {100, 200}, 100},
        {"a long and a short record", R"({"records_len": [5000, 100]})", 5100, {5000, 100}, 4096},
    };
    TrustTestCa();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int id = 0;
        int port = ListenAnsweringQuery(row.answer, &id);
        SOCKET s = ConnectLoopback(port);
        SSL_SESSION h = SSL_StartUp(&s);
        ASSERT_NE(h, 0) << LogText();
        ASSERT_EQ(SSL_SendData(h, "Q", 1), 1);
        ASSERT_TRUE(m_sim.WaitFor(id, "sent").bReached);  // every byte is on its way

        std::string expected, got;
        for (std::size_t part : row.parts) expected += Pattern(part);
        int reads = 0;
        char buffer[4096];
        while (got.size() < row.total) {
            // After the first read the rest is held by the library (or still in the socket):
            // a limit of 0 must find it.
            Clock::time_point t0 = Clock::now();
            ASSERT_NE(SSL_SelectTimeOut(s, reads == 0 ? 1 : 0), 0) << "after " << got.size() << " bytes";
            EXPECT_LT(SecondsSince(t0), 0.5);
            int r = SSL_RecvData(h, buffer, row.capacity);
            ASSERT_GT(r, 0);
            ASSERT_LE(r, row.capacity);
            got.append(buffer, static_cast<std::size_t>(r));
            ++reads;
        }
        EXPECT_EQ(Hex(got), Hex(expected));
        EXPECT_GE(reads, 2);
        EXPECT_EQ(SSL_SelectTimeOut(s, 1), 0) << "nothing is left";
        EXPECT_EQ(SSL_Close(h, s), 1);
    }
}

// A host that writes one record per byte: every record already received comes out of one
// read, in order, up to the reader's buffer; a close_notify behind them comes from the next.
TEST_F(SslTest, RecordsAlreadyReceivedComeOutOfOneRead) {
    struct Row {
        const char* name;
        int capacity;                 // of each read
        std::vector<int> reads;       // what each read returns
    };
    const Row rows[] = {
        {"the buffer takes them all", 4096, {300, 0}},
        {"the buffer takes a third", 100, {100, 100, 100, 0}},
    };
    const std::string expected = Pattern(300);
    std::string records;  // one record per byte, all in one write
    for (char c : expected) records += (records.empty() ? "\"" : ", \"") + Hex({c}) + "\"";
    TrustTestCa();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int id = 0;
        int port = ListenAnsweringQuery(
            R"({"records": [)" + records + R"(]}, {"close_notify": true})", &id);
        SOCKET s = ConnectLoopback(port);
        SSL_SESSION h = SSL_StartUp(&s);
        ASSERT_NE(h, 0) << LogText();
        ASSERT_EQ(SSL_SendData(h, "Q", 1), 1);
        ASSERT_TRUE(m_sim.WaitFor(id, "sent", 2).bReached);  // the records, then close_notify
        std::string got;
        std::vector<int> results;
        char buffer[4096];
        for (std::size_t k = 0; k < row.reads.size(); ++k) {
            ASSERT_NE(SSL_SelectTimeOut(s, 5), 0) << "after " << got.size() << " bytes";
            int r = SSL_RecvData(h, buffer, row.capacity);
            results.push_back(r);
            if (r <= 0) break;
            got.append(buffer, static_cast<std::size_t>(r));
        }
        EXPECT_EQ(results, row.reads);
        EXPECT_EQ(Hex(got), Hex(expected));
        EXPECT_EQ(SSL_Close(h, s), 1);
    }
}

TEST_F(SslTest, EndOfConnectionFromTheHost) {
    struct Row {
        const char* name;
        const char* actions;
        int select;       // SSL_SelectTimeOut's answer: 1 readable, 0 not
        bool exactZero;   // SSL_RecvData gives 0 (orderly), else anything up to 0
    };
    const Row rows[] = {
        {"close_notify", R"({"close_notify": true})", 1, true},
        {"close without close_notify", R"({"close": true})", 0, true},
        // Wine reports a reset once (to the peek), then the end of the stream.
        {"reset", R"({"reset": true})", 0, false},
    };
    TrustTestCa();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int id = 0;
        int port = ListenAnsweringQuery(row.actions, &id);
        SOCKET s = ConnectLoopback(port);
        SSL_SESSION h = SSL_StartUp(&s);
        ASSERT_NE(h, 0) << LogText();
        ASSERT_EQ(SSL_SendData(h, "Q", 1), 1);
        ASSERT_TRUE(m_sim.WaitFor(id, row.select ? "sent" : "closed").bReached);
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(SSL_SelectTimeOut(s, 5) != 0, row.select != 0);
        EXPECT_LT(SecondsSince(t0), 3.0) << "answered by the event, not the limit";
        char buffer[64];
        int r = SSL_RecvData(h, buffer, sizeof buffer);
        if (row.exactZero) {
            EXPECT_EQ(r, 0);
        } else {
            EXPECT_LE(r, 0);
        }
        EXPECT_EQ(SSL_Close(h, s), 1);
    }
}

TEST_F(SslTest, ServerCertificateChecks) {
    const std::string pinSelf = PkiLine("selfsigned.sha256");
    ASSERT_EQ(pinSelf.size(), 64u);
    auto colons = [](const std::string& hex) {
        std::string text;
        for (std::size_t i = 0; i < hex.size(); i += 2)
            text += (i ? ":" : "") + std::string(1, static_cast<char>(toupper(hex[i]))) +
                    static_cast<char>(toupper(hex[i + 1]));
        return text;
    };
    const std::string pinSelfColons = colons(pinSelf);
    // 25 pins written with colons (2,424 characters), the right one last: longer than any
    // fixed buffer of 2 KiB would hold.
    std::string manyPins, manyPinsOneBad;
    for (int i = 1; i <= 24; ++i) {
        std::string other = colons(Hex(std::string(32, static_cast<char>(i))));
        manyPins += other + ", ";
        manyPinsOneBad += (i == 12 ? other.substr(3) : other) + ", ";
    }
    manyPins += pinSelfColons;
    manyPinsOneBad += pinSelfColons;
    const std::string ini = TempPath("trust.ini"), pinIni = TempPath("pins.ini"),
                      hugeIni = TempPath("huge.ini");
    {
        std::ofstream out(ini);
        out << "[TLS]\r\nCAFile=" << PkiFile("ca.der") << "\r\n";
        std::ofstream pins(pinIni);
        pins << "[TLS]\r\nPinSHA256=" << manyPins << "\r\n";
        std::ofstream huge(hugeIni);
        huge << "[TLS]\r\nCAFile=" << std::string(1100000, 'x') << "\r\n";
    }
    struct Row {
        const char* name;
        const char* cert;
        Env env;
        bool ok;
        const char* logNeedle;  // in the log file, or null
    };
    const Row rows[] = {
        {"self-signed, default trust", "selfsigned", {}, false, "certificate rejected"},
        {"test CA not trusted by default", "server_ip1", {}, false, "chain rejected"},
        {"CA file, PEM", "server_ip1", {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}}, true, nullptr},
        {"CA file, DER", "server_ip1", {{"SSLLIB32_CAFILE", PkiFile("ca.der")}}, true, nullptr},
        {"CA file from the ini file", "server_ip1", {{"SSLLIB32_INI", ini}}, true, nullptr},
        {"certificate for another address", "server_ip2", {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}},
         false, "does not name 127.0.0.1"},
        {"address only in the common name", "server_cn_only",
         {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}}, false, "does not name 127.0.0.1"},
        {"self-signed with a CA file", "selfsigned", {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}},
         false, "rejected"},
        {"expired host certificate", "server_expired", {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}},
         false, "chain rejected"},
        {"no server-authentication usage", "server_client_usage",
         {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}}, false, "chain rejected"},
        {"chain through an intermediate", "server_chain", {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}},
         true, nullptr},
        {"CA file missing", "server_ip1", {{"SSLLIB32_CAFILE", PkiFile("absent.crt")}}, false,
         "cannot be read"},
        {"pinned self-signed", "selfsigned", {{"SSLLIB32_PINSHA256", pinSelf}}, true, nullptr},
        {"pin written with colons", "selfsigned", {{"SSLLIB32_PINSHA256", pinSelfColons}}, true,
         nullptr},
        {"one of two pins", "server_ip2",
         {{"SSLLIB32_PINSHA256", pinSelf + ", " + PkiLine("server_ip2.sha256")}}, true, nullptr},
        {"pin mismatch beats a good chain", "server_ip1",
         {{"SSLLIB32_CAFILE", PkiFile("ca.crt")}, {"SSLLIB32_PINSHA256", pinSelf}}, false,
         "not among PinSHA256"},
        {"25 pins", "selfsigned", {{"SSLLIB32_PINSHA256", manyPins}}, true, nullptr},
        {"25 pins from the ini file", "selfsigned", {{"SSLLIB32_INI", pinIni}}, true, nullptr},
        {"25 pins, one malformed", "selfsigned", {{"SSLLIB32_PINSHA256", manyPinsOneBad}}, false,
         "setting not usable: PinSHA256"},
        {"ini value too long to read", "server_ip1", {{"SSLLIB32_INI", hugeIni}}, false,
         "longer than 1048576 characters, not read"},
        {"malformed pin", "selfsigned", {{"SSLLIB32_PINSHA256", pinSelf.substr(2)}}, false,
         "PinSHA256"},
        {"verification opt-out", "selfsigned", {{"SSLLIB32_INSECURE_SKIP_VERIFY", "1"}}, true,
         "WARNING: 127.0.0.1"},
        {"opt-out value not understood", "selfsigned",
         {{"SSLLIB32_INSECURE_SKIP_VERIFY", "maybe"}}, false, "setting not usable: InsecureSkipVerify"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearTrust();
        SetEnv(row.env);
        DeleteFileA(m_strLog.c_str());
        int id = 0;
        int port = Listen(std::string(R"("tls": true, "cert": ")") + row.cert + "\"", &id);
        SOCKET s = ConnectLoopback(port);
        ASSERT_NE(s, INVALID_SOCKET);
        SSL_SESSION h = SSL_StartUp(&s);
        EXPECT_EQ(h != 0, row.ok) << LogText();
        if (h != 0) {
            EXPECT_EQ(SSL_SendData(h, "\x06", 1), 1);
            EXPECT_EQ(SSL_Close(h, s), 1);
        } else {
            EXPECT_EQ(closesocket(s), 0) << "the socket is left open for the caller";
        }
        if (row.logNeedle) {
            EXPECT_NE(LogText().find(row.logNeedle), std::string::npos) << LogText();
        }
    }
    for (const std::string& file : {ini, pinIni, hugeIni}) DeleteFileA(file.c_str());
}

// Without a LogFile setting the diagnostics go to the relay's log folder ([LOG] Dir of the
// current directory's config.ini), never beside the DLL in the install folder.
TEST_F(SslTest, LogGoesToTheRelaysLogFolder) {
    const std::string cwd = TempPath("cwd"), logs = TempPath("logs");
    CreateDirectoryA(cwd.c_str(), nullptr);
    CreateDirectoryA(logs.c_str(), nullptr);
    {
        std::ofstream out(cwd + "\\config.ini");
        out << "[LOG]\r\nDir=" << logs << "\r\n";
    }
    char previous[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(cwd.c_str()));
    SetEnvironmentVariableA("SSLLIB32_LOG", nullptr);
    int id = 0;
    SOCKET s = ConnectLoopback(Listen(R"("tls": true, "cert": "selfsigned")", &id));
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(SSL_StartUp(&s), 0);
    closesocket(s);
    SetCurrentDirectoryA(previous);
    std::ifstream in(logs + "\\ssllib32.log");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("certificate rejected"), std::string::npos) << text.str();
    DeleteFileA((logs + "\\ssllib32.log").c_str());
    DeleteFileA((cwd + "\\config.ini").c_str());
    RemoveDirectoryA(logs.c_str());
    RemoveDirectoryA(cwd.c_str());
}

TEST_F(SslTest, RefusesOldProtocolsAndSlowOrSilentServers) {
    SetEnv({{"SSLLIB32_INSECURE_SKIP_VERIFY", "1"}, {"SSLLIB32_HANDSHAKE_TIMEOUT", "1"}});
    // The start of a server's answer (a handshake record of 512 bytes), one byte every 0.4 s:
    // no single recv waits as long as the 1 s time-out, but the handshake as a whole does.
    std::string drip = "1603030200";
    for (int i = 0; i < 25; ++i) drip += "02";
    const std::string dripper = R"("tls": false, "script": {"on_connect": [{"drip": ")" + drip +
                                R"(", "every": 0.4}]})";
    struct Row {
        const char* name;
        std::string listener;
        double minSeconds;  // slow and silent servers are given up only after the time-out
        const char* logNeedle;
    };
    const Row rows[] = {
        {"TLS 1.1 host", R"("tls": true, "cert": "selfsigned", "tls_max": "TLSv1_1")", 0,
         "is not TLS 1.2 or 1.3"},
        {"host that never answers", R"("tls": false)", 0.9, "no complete handshake within 1 s"},
        {"host that drips its answer", dripper, 0.9, "no complete handshake within 1 s"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileA(m_strLog.c_str());
        int id = 0;
        SOCKET s = ConnectLoopback(Listen(row.listener, &id));
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(SSL_StartUp(&s), 0);
        double seconds = SecondsSince(t0);
        EXPECT_GE(seconds, row.minSeconds);
        EXPECT_LT(seconds, 3.0);
        EXPECT_NE(LogText().find(row.logNeedle), std::string::npos) << LogText();
        EXPECT_EQ(closesocket(s), 0);
    }
    // The drip was still going when the handshake was given up.
    EXPECT_LT(m_sim.Now(m_listeners.back(), "sent").nCount, static_cast<int>(drip.size() / 2));
}

TEST_F(SslTest, SelectTimeOutOnPlainSockets) {
    struct Row {
        const char* name;
        const char* script;
        int limit;
        int expected;
        double minSeconds, maxSeconds;
    };
    const Row rows[] = {
        {"data", R"({"on_connect": [{"send": "41"}]})", 5, 1, 0, 3},
        {"orderly close", R"({"on_connect": [{"close": true}]})", 5, 0, 0, 3},
        {"silence", R"({})", 1, 0, 0.9, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int id = 0;
        SOCKET s = ConnectLoopback(Listen(std::string(R"("script": )") + row.script, &id));
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(SSL_SelectTimeOut(s, row.limit), row.expected);
        double seconds = SecondsSince(t0);
        EXPECT_GE(seconds, row.minSeconds);
        EXPECT_LT(seconds, row.maxSeconds);
        if (row.expected) {  // the peek left the byte where it was
            char c = 0;
            EXPECT_EQ(recv(s, &c, 1, 0), 1);
            EXPECT_EQ(c, 'A');
        }
        closesocket(s);
    }
    EXPECT_EQ(SSL_SelectTimeOut(0, 1), 0);
    EXPECT_EQ(SSL_SelectTimeOut(INVALID_SOCKET, 1), 0);
}

TEST_F(SslTest, ClosedAndUnknownSessionsSendNothing) {
    TrustTestCa();
    int id = 0;
    SOCKET s = ConnectLoopback(Listen(kEchoTls, &id));
    SSL_SESSION h = SSL_StartUp(&s);
    ASSERT_NE(h, 0) << LogText();
    char buffer[16];
    for (SSL_SESSION bogus : {SSL_SESSION(-1), SSL_SESSION(0x7FFFFFFF), h + 1000, SSL_SESSION(0)}) {
        EXPECT_EQ(SSL_SendData(bogus, "X", 1), -1);
        EXPECT_EQ(SSL_RecvData(bogus, buffer, sizeof buffer), -1);
        EXPECT_EQ(SSL_Close(bogus, 0), 0);
    }
    EXPECT_EQ(SSL_Close(h, s), 1);
    EXPECT_EQ(SSL_SendData(h, "X", 1), -1);
    EXPECT_EQ(SSL_RecvData(h, buffer, sizeof buffer), -1);
    EXPECT_EQ(SSL_Close(h, 0), 0);
    ASSERT_TRUE(m_sim.WaitFor(id, "closed").bReached);
    EXPECT_EQ(m_sim.Now(id, "close_notify").nCount, 1);
    EXPECT_EQ(m_sim.Now(id, "frame").nCount, 0);
    EXPECT_EQ(m_sim.Now(id, "raw").nCount, 0);
}

// The relay's dispatcher closes a connection's socket itself, and Windows hands the same
// socket value to the next connection at once. The old session's buffered data must not
// answer for the new connection, and its late SSL_Close must not touch it.
TEST_F(SslTest, ReusedSocketValueIsNotAnsweredByAStaleSession) {
    TrustTestCa();
    struct Row {
        const char* name;
        bool newIsTls;
    };
    for (const Row& row : {Row{"new plain connection", false}, Row{"new TLS session", true}}) {
        SCOPED_TRACE(row.name);
        int oldId = 0, newId = 0;
        SOCKET s1 = ConnectLoopback(Listen(
            R"("tls": true, "cert": "server_ip1", "script": {"rules": [{"prefix": "51", "do": [)"
            R"({"records_len": [100, 200]}]}]})", &oldId));
        SSL_SESSION h1 = SSL_StartUp(&s1);
        ASSERT_NE(h1, 0) << LogText();
        ASSERT_EQ(SSL_SendData(h1, "Q", 1), 1);
        ASSERT_TRUE(m_sim.WaitFor(oldId, "sent").bReached);
        char buffer[4096];
        ASSERT_EQ(SSL_RecvData(h1, buffer, 100), 100);  // a whole record stays held
        ASSERT_NE(SSL_SelectTimeOut(s1, 1), 0);
        ASSERT_EQ(closesocket(s1), 0);  // the dispatcher's close

        int newPort = Listen(row.newIsTls ? kEchoTls : R"("script": {})", &newId);
        SOCKET s2 = ConnectLoopback(newPort);
        ASSERT_EQ(s2, s1) << "the platform did not reuse the socket value; nothing to test";
        SSL_SESSION h2 = 0;
        if (row.newIsTls) {
            h2 = SSL_StartUp(&s2);
            ASSERT_NE(h2, 0) << LogText();
        }
        EXPECT_EQ(SSL_SelectTimeOut(s2, 1), 0) << "the old session's record answered";
        EXPECT_EQ(SSL_Close(h1, 0), 1);  // the old receive thread's late clean-up

        // The new connection is untouched and works.
        if (row.newIsTls) {
            ASSERT_EQ(SSL_SendData(h2, "\x06", 1), 1);
            EXPECT_EQ(ReadExactly(h2, s2, 1), "\x06");
            EXPECT_EQ(SSL_Close(h2, s2), 1);
        } else {
            ASSERT_EQ(send(s2, "Z", 1, 0), 1);
            EXPECT_EQ(m_sim.WaitFor(newId, "frame").strData, "Z");
            closesocket(s2);
        }
        EXPECT_EQ(m_sim.Now(newId, "raw").nCount, 0);
    }
}

// Bytes written on a TLS connection's socket between records, outside the session, reach the
// host simulator as raw bytes and leave the session whole (the relay itself sends every frame
// of a TLS connection through the session; the simulator tells the two apart for the tests).
TEST_F(SslTest, RawFramesBetweenRecordsReachTheHost) {
    TrustTestCa();
    int id = 0;
    SOCKET s = ConnectLoopback(Listen(kEchoTls, &id));
    SSL_SESSION h = SSL_StartUp(&s);
    ASSERT_NE(h, 0) << LogText();
    const std::string frames[] = {"\x02" "abc", "\x06", "I-0001"};
    const std::string raws[] = {"\x04", "\x05\x17\x30"};
    ASSERT_EQ(SSL_SendData(h, frames[0].data(), 4), 4);
    ASSERT_EQ(send(s, raws[0].data(), 1, 0), 1);
    ASSERT_EQ(SSL_SendData(h, frames[1].data(), 1), 1);
    ASSERT_EQ(send(s, raws[1].data(), 3, 0), 3);
    ASSERT_EQ(SSL_SendData(h, frames[2].data(), 6), 6);

    CHostSim::Seen raw = m_sim.WaitFor(id, "raw", 2, 4);
    EXPECT_TRUE(raw.bReached) << raw.strReply;
    EXPECT_EQ(Hex(raw.strData), Hex(raws[0] + raws[1]));
    CHostSim::Seen tls = m_sim.WaitFor(id, "frame", 3, 11);
    EXPECT_EQ(tls.strData, frames[0] + frames[1] + frames[2]);
    EXPECT_EQ(ReadExactly(h, s, 11), frames[0] + frames[1] + frames[2]) << "session still whole";
    EXPECT_EQ(m_sim.Now(id, "tls_error").nCount, 0);
    EXPECT_EQ(SSL_Close(h, s), 1);
}

// SSL_RecvData on a thread of its own, so that a read that never returns fails the test
// instead of hanging it; the socket is closed to free such a read.
struct TimedRead {
    explicit TimedRead(SSL_SESSION session) : h(session) {}
    SSL_SESSION h;
    int result = 1;
    int error = 0;
    std::string got;
};

DWORD WINAPI TimedReadProc(void* p) {
    TimedRead* r = static_cast<TimedRead*>(p);
    char buffer[4096];
    r->result = SSL_RecvData(r->h, buffer, sizeof buffer);
    r->error = WSAGetLastError();
    if (r->result > 0) r->got.assign(buffer, static_cast<std::size_t>(r->result));
    return 0;
}

// Starts the read; *pThread is waited for by the caller.
HANDLE StartRead(TimedRead* read) {
    return CreateThread(nullptr, 0, TimedReadProc, read, 0, nullptr);
}

// Half a record must not hold a reader beyond the wait limit (here 1 s, given through
// SSL_SelectTimeOut); the rest arriving within it completes the read.
TEST_F(SslTest, HalfARecordIsWaitedForOnlyWithinTheLimit) {
    TrustTestCa();
    struct Row {
        const char* name;
        const char* answer;   // to the query "Q": 4 bytes in one record, its last 5 bytes held
        int result;           // SSL_RecvData's answer
        double minSeconds, maxSeconds;
    };
    const Row rows[] = {
        {"half a record, then silence", R"({"send_part": "41424344", "hold": 5})", -1,
         0.9, 3},
        {"half a record, the rest 0.3 s later",
         R"({"send_part": "41424344", "hold": 5}, {"sleep": 0.3}, {"send_held": true})", 4,
         0.2, 0.9},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int id = 0;
        SOCKET s = ConnectLoopback(ListenAnsweringQuery(row.answer, &id));
        SSL_SESSION h = SSL_StartUp(&s);
        ASSERT_NE(h, 0) << LogText();
        ASSERT_EQ(SSL_SendData(h, "Q", 1), 1);
        ASSERT_TRUE(m_sim.WaitFor(id, "sent").bReached);
        ASSERT_NE(SSL_SelectTimeOut(s, 1), 0) << "the first half is readable";

        TimedRead read(h);
        Clock::time_point t0 = Clock::now();
        HANDLE thread = StartRead(&read);
        ASSERT_NE(thread, nullptr);
        bool ended = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
        double seconds = SecondsSince(t0);
        if (!ended) closesocket(s);  // frees the read; the case has failed
        ASSERT_TRUE(ended) << "SSL_RecvData still waiting after 5 s";
        CloseHandle(thread);
        EXPECT_EQ(read.result, row.result);
        if (row.result > 0) {
            EXPECT_EQ(read.got, "ABCD");
        } else {
            EXPECT_EQ(read.error, WSAETIMEDOUT);
        }
        EXPECT_GE(seconds, row.minSeconds);
        EXPECT_LT(seconds, row.maxSeconds);
        SSL_Close(h, s);
    }
}

// Another thread stops a receive thread that waits inside SSL_RecvData by shutting the
// socket down: the read ends at once, as an end of the connection, whether the shutdown comes
// while the receive is pending or just before it starts (the shutdown stays in force). A
// cancel of the socket's I/O (CancelIoEx) is not used here: under Wine 8 a cancel that lands
// while the receive is being started is lost, and the receive then waits for its whole limit.
TEST_F(SslTest, ShutdownEndsAWaitingReadAtOnce) {
    TrustTestCa();
    int id = 0;
    SOCKET s = ConnectLoopback(Listen(kEchoTls, &id));
    SSL_SESSION h = SSL_StartUp(&s);
    ASSERT_NE(h, 0) << LogText();
    ASSERT_EQ(SSL_SendData(h, "\x06", 1), 1);  // one answer to read first: the reader is running
    ASSERT_EQ(ReadExactly(h, s, 1), "\x06");
    TimedRead read(h);
    HANDLE thread = StartRead(&read);
    ASSERT_NE(thread, nullptr);
    Clock::time_point t0 = Clock::now();
    ASSERT_EQ(shutdown(s, SD_BOTH), 0);
    bool ended = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
    double seconds = SecondsSince(t0);
    if (!ended) closesocket(s);
    ASSERT_TRUE(ended) << "the read did not end";
    CloseHandle(thread);
    EXPECT_LE(read.result, 0);
    EXPECT_NE(read.result, SSL_RECV_AGAIN);
    EXPECT_LT(seconds, 1.0) << "ended by the shutdown, not by the 15 s limit";
    SSL_Close(h, s);
}

// A server-initiated renegotiation would bring a certificate that nobody checks: refused.
TEST_F(SslTest, RenegotiationIsRefused) {
    TrustTestCa();
    int id = 0;
    SOCKET s = ConnectLoopback(ListenAnsweringQuery(R"({"renegotiate": true})", &id));
    SSL_SESSION h = SSL_StartUp(&s);
    ASSERT_NE(h, 0) << LogText();
    ASSERT_EQ(SSL_SendData(h, "Q", 1), 1);
    CHostSim::Seen sent = m_sim.WaitFor(id, "sent");
    ASSERT_TRUE(sent.bReached) << sent.strReply;
    ASSERT_NE(SSL_SelectTimeOut(s, 5), 0);
    char buffer[64];
    EXPECT_EQ(SSL_RecvData(h, buffer, sizeof buffer), -1);
    EXPECT_NE(LogText().find("asked to renegotiate; refused"), std::string::npos) << LogText();
    EXPECT_EQ(SSL_Close(h, s), 1);
    EXPECT_EQ(m_sim.Now(id, "handshake").nCount, 1) << "no second handshake";
}

// A receive thread blocked in SSL_RecvData while another thread sends, then closes.
struct ReaderState {
    SSL_SESSION h;
    std::size_t want;
    HANDLE hAll;      // set by the reader when it has want bytes
    std::string got;  // written by the reader; read by the test after hAll or the thread's end
    int last = 1;
};

DWORD WINAPI ReaderProc(void* p) {
    ReaderState* r = static_cast<ReaderState*>(p);
    char buffer[4096];
    while (r->got.size() < r->want) {
        r->last = SSL_RecvData(r->h, buffer, sizeof buffer);
        if (r->last <= 0) return 0;
        r->got.append(buffer, static_cast<std::size_t>(r->last));
    }
    SetEvent(r->hAll);
    r->last = SSL_RecvData(r->h, buffer, sizeof buffer);  // blocks until the close
    return 0;
}

TEST_F(SslTest, SendingWhileAnotherThreadReceives) {
    TrustTestCa();
    int id = 0;
    SOCKET s = ConnectLoopback(Listen(kEchoTls, &id));
    SSL_SESSION h = SSL_StartUp(&s);
    ASSERT_NE(h, 0) << LogText();
    const int frames = 300;
    std::string expected;
    for (int i = 0; i < frames; ++i) expected += "\x02" + Pattern(static_cast<std::size_t>(i % 97 + 1));
    ReaderState reader{h, expected.size(), CreateEventA(nullptr, TRUE, FALSE, nullptr), "", 1};
    HANDLE thread = CreateThread(nullptr, 0, ReaderProc, &reader, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    std::size_t at = 0;
    for (int i = 0; i < frames; ++i) {
        int n = i % 97 + 2;
        ASSERT_EQ(SSL_SendData(h, expected.data() + at, n), n);
        at += static_cast<std::size_t>(n);
    }
    HANDLE either[] = {reader.hAll, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, 10000), WAIT_OBJECT_0)
        << "the reader stopped early or missed bytes";
    EXPECT_EQ(SSL_Close(h, s), 1);  // wakes the reader, now blocked in SSL_RecvData
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0) << "reader not woken by the close";
    CloseHandle(thread);
    CloseHandle(reader.hAll);
    EXPECT_EQ(Hex(reader.got), Hex(expected));
    EXPECT_LE(reader.last, 0);
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 2;
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}
