// Test support: drives tools/hostsim.py (started by run_with_hostsim.sh) over its JSON-lines
// control port, so a Windows test program can open scripted plain or TLS listeners on
// loopback and ask what they received. Replies are read as flat text: the few top-level
// fields a test needs (ok, id, port, count, bytes, hex) come before the event list.
#pragma once
#include <winsock2.h>

#include <string>

class CHostSim {
public:
    CHostSim();
    ~CHostSim();
    bool IsOpen() const { return m_hControl != INVALID_SOCKET; }

    // A listener from a JSON object's members (e.g. "\"tls\":true,\"cert\":\"server_ip1\"");
    // returns its id (0 on failure) and its port in *pPort.
    int Listen(const std::string& members, int* pPort);
    struct Seen {
        bool bReached = false;  // count and bytes were reached within the time
        int nCount = 0;         // events of the kind so far
        long nBytes = 0;        // their data bytes
        std::string strData;    // their data, concatenated
        std::string strReply;   // the whole reply, for failure messages
    };
    // Waits (bounded by seconds) until kind has count events and bytes data bytes.
    Seen WaitFor(int id, const char* kind, int count = 1, long bytes = 0, double seconds = 5);
    Seen Now(int id, const char* kind) { return WaitFor(id, kind, 0, 0, 0); }
    void Stop(int id);

private:
    std::string Call(const std::string& request);
    SOCKET m_hControl = INVALID_SOCKET;
    std::string m_pending;  // bytes read past the last reply line
};

// Loopback TCP connection to port; INVALID_SOCKET on failure.
SOCKET ConnectLoopback(int port);
// "Z:\tmp\pki\" + name: a file of the test PKI.
std::string PkiFile(const std::string& name);
// First line of a PKI text file (a fingerprint), or "".
std::string PkiLine(const std::string& name);
