// The serial link to the card terminal.
//
// One CCom owns one serial device opened for overlapped I/O. The user-interface thread opens
// and closes it; while it is open a watch thread (CommWatchProc) waits, overlapped, on an
// event of its own for received characters, reads a burst of up to COMM_RX_BUFFER bytes into
// m_abRxBuf and hands the burst over with a synchronous WM_COMM_RXCHAR to the notify window,
// so it reads nothing more until the handler has copied the bytes. Any thread may write
// (WritePort); the host receive thread does, while the watch thread reads.
//
// Close and write are kept apart by one lock: WritePort holds it for the whole write and
// ClosePort holds it while it releases the device and the events, so a writer never sees a
// closed handle. ClosePort first wakes the watch thread (stop event, event mask 0, cancel of
// any I/O in progress) and waits for it to end while handling messages sent to the calling
// thread: the watch thread may be inside SendMessage to one of that thread's windows.
//
// A device that goes away under the open port (a USB adapter unplugged) is told from a quiet
// line by the watch thread: a wake that brings no byte while the device no longer answers a
// status query, or a streak of such wakes long enough to end the back-off
// (serial/watch_backoff.h). The thread then posts WM_COMM_LOST to the notify window and ends;
// what follows is the window's decision, on its own thread (ReopenPort, or ClosePort).
//
// One relay per port: OpenPort claims the port name (serial/port_claim.h) before it opens the
// device, and fails as a failed open does when another relay of the session holds it. The
// claim is kept while the port is open and while ReopenPort tries to bring a lost device back;
// ClosePort gives it up. The device is opened through the device namespace
// (serial/port_name.h), so COM10 and above open as COM1 does.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "serial/port_claim.h"
#include "ui/object.h"

constexpr UINT WM_COMM_RXCHAR = WM_USER + 1; // wParam: bytes in m_abRxBuf (1..4096), lParam 0
// Posted by the watch thread when the device is lost; wParam: the opening it was watching
// (Opening() at the time), lParam 0. A notice whose opening is no longer current is stale.
constexpr UINT WM_COMM_LOST = WM_USER + 2;
constexpr int COMM_RX_BUFFER = 4096;

class CCom : public CObject {
public:
    static const CRuntimeClass classCCom;

    CCom();
    ~CCom() override; // calls ClosePort
    CCom(const CCom&) = delete;
    CCom& operator=(const CCom&) = delete;

    const CRuntimeClass* GetRuntimeClass() const override;

    // Stores the line settings for the next OpenPort; touches no device.
    void SetPortConfig(const char* pszPortName, DWORD dwBaudRate, BYTE nByteSize,
                       BYTE nStopBits, BYTE nParity);
    // Claims the port, opens and configures the device and starts the watch thread: 1, or 0 on
    // failure (also when another relay holds the port). A port that is still open or claimed
    // (for one, after its device vanished) is closed first.
    int OpenPort();
    // Stops and waits for the watch thread, drops DTR, purges, releases the device and the
    // events, and gives up the claim. Returns 1, also when the port was not open.
    int ClosePort();
    // After WM_COMM_LOST: releases the lost device and its (ended) watch thread at once,
    // keeping the claim; m_bRunning is 0 afterwards.
    void ReleaseDevice();
    // After WM_COMM_LOST: releases the lost device and opens the same port again with the same
    // settings, keeping the claim whatever the result (no other relay takes the port while
    // this one waits for it). 1 when the port is open again, 0 when not (yet).
    int ReopenPort();
    // The number of the current opening of the device (each one counts); UI thread.
    LONG Opening() const { return m_nOpening; }
    // Reads what the device holds into m_abRxBuf after dwHeld bytes; 0 when nothing waits.
    // Watch thread only.
    DWORD ReadPort(DWORD dwHeld);
    // Writes the bytes, blocking until done or timed out (5 ms per byte + 5 ms); returns the
    // count written. Any thread; 0 when the port is not open. With hAbort (an event), the
    // write gives up as soon as it is set: nothing is written when it is set already, and a
    // write in progress is cancelled, the bytes not yet written dropped.
    int WritePort(const void* pBytes, int nLength, HANDLE hAbort = nullptr);
    void SetNotifyWindow(HWND hWnd);
    // The count of the burst the watch thread is notifying right now, and no longer pending
    // afterwards; 0 when none is. The WM_COMM_RXCHAR handler takes it, so a message another
    // program sends or posts (finding nothing pending) cannot replay a burst. UI thread.
    int TakeBurst() { return static_cast<int>(m_nBurstPending.exchange(0)); }

    // The watch thread. Exit codes: (unsigned)-1 for a parameter that is not a CCom; 0 when it
    // cannot start waiting, or when the device was lost (WM_COMM_LOST posted); 1 when
    // ClosePort stopped it.
    static unsigned CommWatchProc(void* pParam);

    // Written by the UI thread (OpenPort, ClosePort); read by the watch thread and, under
    // m_csPort, by writers. 0 while the port is not open.
    HANDLE m_hPort = nullptr;
    // 1 from the start of the watch thread until ClosePort; the watch thread runs while it
    // is 1. Written by the UI thread only.
    std::atomic<LONG> m_bRunning{0};
    // Written by the UI thread (SetNotifyWindow); read by the watch thread at each burst.
    std::atomic<HWND> m_hNotifyWnd{nullptr};
    // Line settings: written by SetPortConfig (UI thread) while the port is closed.
    std::string m_strPortName;
    BYTE m_nByteSize = 8;
    BYTE m_nParity = NOPARITY;
    BYTE m_nStopBits = ONESTOPBIT;
    DWORD m_dwBaudRate = CBR_9600;
    // Every write; used only under m_csPort. Its event is made by OpenPort.
    OVERLAPPED m_osWrite{};
    // Every read; used only by the watch thread. Its event is made by OpenPort.
    OVERLAPPED m_osRead{};
    // The current burst. Written only by the watch thread; read by the WM_COMM_RXCHAR handler
    // while the watch thread waits for it to return.
    BYTE m_abRxBuf[COMM_RX_BUFFER]{};

    // The watch thread's handle, owned by this object: set by OpenPort, waited for and closed
    // by ClosePort (UI thread). Null while no thread was started.
    HANDLE m_hWatchThread = nullptr;

private:
    // Creates the events, opens the device (claim already held) and starts the watch thread;
    // bShowErrors: the boxes of a failed line setting or thread start are shown.
    int OpenDevice(bool bShowErrors);
    // The device still answers a status query (a lost one fails it at once).
    bool DeviceAnswers() const;
    void ReportLost();
    // Reads into the room left after dwHeld bytes, whether or not bytes wait; sets m_bReadCut.
    DWORD ReadRoom(DWORD dwHeld);
    unsigned WatchLoop();
    DWORD WaitForRxEvent(OVERLAPPED& osWait);
    bool PauseUnlessStopped(DWORD dwMs) const;
    void NotifyBurst(DWORD dwCount);
    void ReleaseLocked();

    // Held by WritePort for the whole write and by OpenPort/ClosePort while they publish or
    // release m_hPort and the two overlapped events.
    CRITICAL_SECTION m_csPort;
    // Manual-reset; set by ClosePort to wake the watch thread from any wait or pause. Made by
    // OpenPort, closed by ClosePort.
    HANDLE m_hStopEvent = nullptr;
    // Thread id of the notify window while the watch thread is inside SendMessage to it, else
    // 0. Written by the watch thread; read by ClosePort to free a sender that waits for the
    // very handler that is closing the port.
    std::atomic<DWORD> m_dwNotifyingThread{0};
    // The count of the burst being notified: set by the watch thread before its
    // WM_COMM_RXCHAR, taken (cleared) by the handler, cleared again after the send.
    std::atomic<LONG> m_nBurstPending{0};
    // ReleaseDevice is waiting for the port lock: WritePort gives up without taking it. Set and
    // cleared by the UI thread, read by any writer.
    std::atomic<bool> m_bReleasing{false};
    // ClosePort is running on the UI thread (it handles sent messages while it waits, so a
    // handler could call it again). UI thread only.
    bool m_bClosing = false;
    // The last read ran to its total time-out with room left (a long frame still arriving).
    // Watch thread only.
    bool m_bReadCut = false;
    // The claim on m_strPortName: taken by OpenPort, kept through ReopenPort, given up by
    // ClosePort. UI thread only.
    CPortClaim m_claim;
    // Counts successful opens: written by the UI thread before it starts the watch thread,
    // read by that thread for its WM_COMM_LOST.
    std::atomic<LONG> m_nOpening{0};
    // Tolerance when telling a read cut by the total time-out from one ended by silence.
    static constexpr DWORD READ_CUT_SLACK_MS = 10;
};
