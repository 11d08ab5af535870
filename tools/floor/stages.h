// Stages of the floor program: the relay's per-block extras added to the platform floor one at a
// time, so the benchmark can say what each of them costs (tools/bench.py, the stage table).
//
// Each stage keeps everything of the one before it:
//   floor    the bare relay (tools/floor/floor.cpp)
//   message  + a sent message per host block to a window of another thread (the UI thread),
//            carrying a LogRecord as WM_LOG_RECORD does; the window answers without work
//   tray     + the tray picture changed per host block (Shell_NotifyIcon NIM_MODIFY, two
//            pictures in turn, so that every call is a change), from the receiving thread
//   log      + the message goes to a real, hidden log window (CDebugDlg, level 0): the line
//            formatted and put through the sink into its EDIT control, as in the relay
//   tls      + the host connection through ssllib32.dll (handshake, SSL_RecvData/SendData)
// and one beside the line: log-no-tray, the log stage without the tray calls, as the relay
// runs while its picture already shows traffic (it asks the shell only for a change).
//
// Threads: StartStages starts the UI thread and returns once its windows exist; OnHostBlock
// runs on the thread that receives from the host. The UI thread lives as long as the process.
#pragma once

#include <winsock2.h>

// What a stage adds to the floor.
struct Stage {
    bool bMessage;  // a sent message per host block
    bool bTray;     // a tray picture change per host block
    bool bLog;      // the message goes to the real log window
    bool bTls;      // the host connection through ssllib32.dll
};

// "floor", "message", "tray", "log", "tls" or "log-no-tray"; false for another name.
bool ParseStage(const char* pszName, Stage* pStage);

// Starts what stage needs beyond the floor. For tls, loads ssllib32.dll from pszSslDll (a path)
// and performs the handshake on socket. false, with a line on stderr, when something fails.
bool StartStages(Stage stage, SOCKET socket, const char* pszSslDll);

// After a host block was written to the port: the stage's extras for it.
void OnHostBlock(const char* pBytes, int nCount);

// TLS stage only: the host connection through the session. RecvTls waits until the host
// sends (an empty record or a wait that ran out is no end): > 0 bytes, 0 the connection ended.
// SendTls: the length, or -1 when the connection ended.
bool UsesTls();
int RecvTls(char* pBuffer, int nCapacity);
int SendTls(const char* pBytes, int nLength);
