// summary.txt's layout and the effective settings' words; see summary.h.
#include "diag/summary.h"

#include "ui/string_format.h"

namespace {

std::string Join(const std::vector<std::string>& names)
{
    std::string strText;
    for (const std::string& strName : names)
        strText += (strText.empty() ? "" : ", ") + strName;
    return strText;
}

int PrefixBits(uint32_t dwMask)
{
    int nBits = 0;
    while (nBits < 32 && (dwMask & (0x80000000u >> nBits)) != 0)
        ++nBits;
    return nBits;
}

std::string RuleText(const HostRule& rule)
{
    std::string strText = StringPrintf("%u.%u.%u.%u", rule.dwNet >> 24, (rule.dwNet >> 16) & 0xFF,
                                       (rule.dwNet >> 8) & 0xFF, rule.dwNet & 0xFF);
    const int nBits = PrefixBits(rule.dwMask);
    if (nBits != 32)
        strText += StringPrintf("/%d", nBits);
    if (rule.nPort != 0)
        strText += StringPrintf(":%d", rule.nPort);
    return strText;
}

} // namespace

std::vector<std::string> DescribeRelaySettings(int nConnectTimeoutS,
                                               const HostAllowList& allowHosts,
                                               const std::vector<std::string>& notices)
{
    std::vector<std::string> lines;
    lines.push_back(StringPrintf("[RELAY] ConnectTimeout: %d초", nConnectTimeoutS));
    if (allowHosts.RefusesAll()) {
        lines.push_back("[RELAY] AllowHosts: 모든 호스트 거부 (읽을 수 없는 항목 \"" +
                        allowHosts.BadEntry() + "\")");
    } else if (allowHosts.AllowsAny()) {
        lines.push_back("[RELAY] AllowHosts: 모든 호스트 허용");
    } else {
        std::vector<std::string> rules;
        for (const HostRule& rule : allowHosts.Rules())
            rules.push_back(RuleText(rule));
        lines.push_back("[RELAY] AllowHosts: " + Join(rules));
    }
    for (const std::string& strNotice : notices)
        lines.push_back("  " + strNotice);
    return lines;
}

std::vector<std::string> DescribeLogSettings(const LogSettings& settings,
                                             const std::string& strFolder, int nLevel,
                                             const std::vector<std::string>& notices)
{
    std::vector<std::string> lines;
    lines.push_back(StringPrintf("[DEBUG] LEVEL: %d", nLevel));
    lines.push_back("[LOG] Dir: " + strFolder);
    lines.push_back(StringPrintf("[LOG] KeepDays: %d", settings.nKeepDays));
    lines.push_back(StringPrintf("[LOG] MaxFileMB: %d", settings.nMaxFileMB));
    lines.push_back(StringPrintf("[LOG] MaskCardNumbers: %d", settings.bMaskCards ? 1 : 0));
    for (const std::string& strNotice : notices)
        lines.push_back("  " + strNotice);
    return lines;
}

std::string ComposeSummary(const SummaryFacts& facts, const BundleOutcome& outcome,
                           uint64_t nCapBytes)
{
    std::string strText = "Pellarin 진단 정보\r\n";
    strText += "만든 때: " + facts.strCreated + "\r\n\r\n";
    for (const auto& fact : facts.facts)
        strText += fact.first + ": " + fact.second + "\r\n";
    strText += "\r\n[설정 (적용된 값)]\r\n";
    for (const std::string& strLine : facts.settings)
        strText += strLine + "\r\n";
    strText += "\r\n[오늘의 상태]\r\n" + facts.strHealth + "\r\n";

    strText += "\r\n[파일]\r\n";
    strText += "포함: " + (outcome.included.empty() ? std::string("없음") : Join(outcome.included)) +
               "\r\n";
    if (!outcome.leftOut.empty()) {
        strText += StringPrintf("크기 제한 %llu MB로 빠진 파일 (오래된 날부터 뺍니다): ",
                                static_cast<unsigned long long>(nCapBytes / (1024 * 1024))) +
                   Join(outcome.leftOut) + "\r\n";
    }
    std::vector<std::string> missing;
    for (const auto& unread : outcome.unreadable) {
        if (unread.second == BUNDLE_FILE_MISSING)
            missing.push_back(unread.first);
        else
            strText += "읽지 못함: " + unread.first + " (" + unread.second + ")\r\n";
    }
    if (!missing.empty())
        strText += "없음: " + Join(missing) + "\r\n";
    return strText;
}
