// Writing the diagnostics bundle on Windows: finds the files (the daily log files of the last
// days, config.ini, ssllib32.ini and ssllib32.log with its .1), gathers the facts for
// summary.txt (collect_facts.h) and writes Pellarin-<computer>-<date>-<time>.zip into a
// folder, by the rules of bundle.h.
//
// Runs on the calling thread and takes as long as compressing up to 50 MB does: the tray item
// calls it from a thread of its own (collect_job.h), the command line from its main thread.
// Only one bundle is written at a time in a session: a named mutex held while writing makes a
// second request, from the tray or a command line, answer Busy at once.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "diag/bundle.h"

enum class CollectStatus {
    Done,           // the archive is complete at strPath
    Busy,           // another bundle is being written
    FolderFailed,   // the folder cannot be written (dwError says why); nothing is left there
    WriteFailed,    // writing failed midway (disk full...); the partial file was deleted
    Cancelled,      // pCancel was set; the partial file was deleted
};

struct CollectRequest {
    std::wstring strFolder;          // where to write; empty: the current user's desktop
    std::string strHealth;           // today's health figures for summary.txt
    const std::atomic<bool>* pCancel = nullptr;
    uint64_t nCapBytes = BUNDLE_CAP_BYTES;
};

struct CollectResult {
    CollectStatus status = CollectStatus::WriteFailed;
    std::wstring strFolder;  // the folder used
    std::wstring strPath;    // the archive (Done), or the file that could not be written
    DWORD dwError = 0;
    BundleOutcome outcome;
};

CollectResult CollectBundle(const CollectRequest& request);

// The text a person is shown for a result (code page 949): the archive's path, or what went
// wrong with the Windows message.
std::string CollectResultText(const CollectResult& result);
