// The tray item's bundle, written on a thread of its own so that the relay (the window's
// thread, the serial and host threads) never waits for it.
//
// Ownership: the main window owns one CCollectJob and calls it on its own thread only. Start
// runs CollectBundle on a new thread, which touches nothing of the window: when it ends it
// posts uDoneMsg to the window, whose handler takes the result with TakeResult (that joins
// the finished thread). The destructor asks a running bundle to stop and waits for it; the
// thread never sends to a window, so that wait cannot deadlock.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "diag/collect.h"

class CCollectJob {
public:
    CCollectJob() = default;
    ~CCollectJob();
    CCollectJob(const CCollectJob&) = delete;
    CCollectJob& operator=(const CCollectJob&) = delete;

    // True while a bundle started here is being written or its result not yet taken.
    bool Running() const { return m_thread.joinable(); }
    // Starts writing; false when one is still running or the thread cannot start.
    bool Start(CollectRequest request, HWND hNotify, UINT uDoneMsg);
    // The finished bundle's result; false (and nothing taken) while it still runs or when
    // there is none.
    bool TakeResult(CollectResult* pResult);

private:
    std::thread m_thread;
    std::atomic<bool> m_bCancel{false};
    std::atomic<bool> m_bFinished{false};
    CollectResult m_result;  // written by the thread before m_bFinished is set
};
