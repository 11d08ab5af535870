// Client of the terminal simulator's control server (tools/termsim.py serve).
//
// A Windows test program under Wine cannot open the Linux pty that stands in for the
// terminal's end of the cable, so it asks the simulator, over a loopback socket named by
// PELLARIN_TERMSIM, to send frames on that end and to report what arrived there. While it
// waits for an answer it can keep handling this thread's window messages, so a watch thread
// that notifies a window of the test thread is not held up by the test's own request.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

class CTermSimClient {
public:
    CTermSimClient() = default;
    ~CTermSimClient();
    CTermSimClient(const CTermSimClient&) = delete;
    CTermSimClient& operator=(const CTermSimClient&) = delete;

    // Connects to PELLARIN_TERMSIM ("host:port"); false with a reason in Error() otherwise.
    bool Connect();
    const std::string& Error() const { return m_strError; }

    // One request line, one answer line. With bPump the thread's messages are handled while
    // it waits. Returns the answer ("OK ..."), or "" on failure (reason in Error()).
    std::string Request(const std::string& strLine, bool bPump = true, DWORD dwTimeoutMs = 30000);

    bool Open(const std::string& strPort);
    bool Close(const std::string& strPort);
    bool Clear(const std::string& strPort);
    // Frames are sent gap ms apart, paced at 9600 bit/s or unpaced.
    bool Send(const std::string& strPort, const std::vector<std::string>& frames, bool bPaced,
              int nGapMs, bool bPump = true);
    // All bytes the terminal received since it was opened or cleared, once there are at least
    // nCount of them or dwTimeoutMs has passed.
    std::string Received(const std::string& strPort, size_t nCount, DWORD dwTimeoutMs);
    // The same, waiting until what arrived ends with strTail.
    std::string ReceivedEndingWith(const std::string& strPort, const std::string& strTail,
                                   DWORD dwTimeoutMs);
    bool Kill(const std::string& strPort);
    bool Start(const std::string& strPort);

private:
    bool SendAll(const std::string& strData, DWORD dwDeadline);
    bool WaitSocket(DWORD dwDeadline, bool bPump);

    SOCKET m_socket = INVALID_SOCKET;
    HANDLE m_hEvent = nullptr;
    std::string m_strPending; // bytes received after the last answer line
    std::string m_strError;
    bool m_bWsa = false;
};

// Handles every message waiting for this thread (sent ones included).
void PumpPendingMessages();

// Handles this thread's messages until done() is true or dwTimeoutMs has passed; returns
// done()'s last answer. done() is asked again only when a message has been handled, so it
// must test something that messages change.
template <typename Done>
bool PumpUntil(Done done, DWORD dwTimeoutMs)
{
    const DWORD dwStart = GetTickCount();
    for (;;) {
        PumpPendingMessages();
        if (done())
            return true;
        const DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs)
            return done();
        MsgWaitForMultipleObjectsEx(0, nullptr, dwTimeoutMs - dwElapsed, QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

std::string ToHex(const std::string& strBytes);
std::string FromHex(const std::string& strHex);
