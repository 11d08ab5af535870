// summary.txt of the diagnostics bundle: what a support desk reads first. The Windows side
// gathers the facts (versions, signers, ports, time zone...) as label and value; this words
// the effective settings and the list of files, and lays it all out.
//
// Text in code page 949 (the program's own, like the daily log files beside it in the
// archive), CR LF line ends. No Windows header: tested natively.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "diag/bundle.h"
#include "log/log_file_rules.h"
#include "relay/relay_config.h"

struct SummaryFacts {
    std::string strCreated;  // local time the bundle was made, "YYYY/MM/DD hh:mm:ss"
    std::vector<std::pair<std::string, std::string>> facts;  // label and value, in order
    std::vector<std::string> settings;  // effective settings, one line each
    std::string strHealth;              // today's health figures (may hold several lines)
};

// The effective [RELAY] values: what the relay does with them, not only what the file says.
std::vector<std::string> DescribeRelaySettings(int nConnectTimeoutS,
                                               const HostAllowList& allowHosts,
                                               const std::vector<std::string>& notices);
// The effective [LOG] and [DEBUG] values; strFolder is the folder the files go to.
std::vector<std::string> DescribeLogSettings(const LogSettings& settings,
                                             const std::string& strFolder, int nLevel,
                                             const std::vector<std::string>& notices);

// The whole summary.txt text.
std::string ComposeSummary(const SummaryFacts& facts, const BundleOutcome& outcome,
                           uint64_t nCapBytes);
