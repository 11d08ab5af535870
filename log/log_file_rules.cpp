// Rules of the daily log file; see log_file_rules.h.
#include "log/log_file_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char FILE_PREFIX[] = "pellarin-";
constexpr char FILE_SUFFIX[] = ".log";

// A whole decimal number in [nMin, nMax], blanks around it allowed; false otherwise.
bool ParseWholeNumber(const std::string& strText, int nMin, int nMax, int* pOut)
{
    const char* p = strText.c_str();
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    long long nValue = 0;
    while (*p >= '0' && *p <= '9') {
        nValue = nValue * 10 + (*p - '0');
        if (nValue > nMax)
            return false;
        ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p != '\0' || nValue < nMin)
        return false;
    *pOut = static_cast<int>(nValue);
    return true;
}

std::string UnusableNote(const char* pszKey, const std::string& strValue, const char* pszDefault)
{
    return std::string("config.ini [LOG] ") + pszKey + "=" + strValue +
           ": 사용할 수 없는 값, 기본값 " + pszDefault + " 사용";
}

void ParseNumberKey(const std::string& strValue, const char* pszKey, int nMin, int nMax,
                    int* pSetting, std::vector<std::string>* pNotes)
{
    if (!strValue.empty() && !ParseWholeNumber(strValue, nMin, nMax, pSetting))
        pNotes->push_back(UnusableNote(pszKey, strValue, std::to_string(*pSetting).c_str()));
}

// A folder name Windows can take: not too long, no control byte and none of < > " | ? *.
// Code page 949 lead and trail bytes are all above 0x80, so a byte-wise check is sound.
bool UsableFolderName(const std::string& strDir)
{
    if (strDir.size() > LOG_DIR_MAX_CHARS)
        return false;
    for (unsigned char by : strDir) {
        if (by < 0x20 || std::strchr("<>\"|?*", by) != nullptr)
            return false;
    }
    return true;
}

bool ReadDigits(const char* p, int nDigits, int* pOut)
{
    int nValue = 0;
    for (int i = 0; i < nDigits; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        nValue = nValue * 10 + (p[i] - '0');
    }
    *pOut = nValue;
    return true;
}

bool ValidDate(int nYear, int nMonth, int nDay)
{
    if (nYear < 1970 || nMonth < 1 || nMonth > 12 || nDay < 1)
        return false;
    int y = 0, m = 0, d = 0;
    CivilFromDays(DaysFromCivil(nYear, nMonth, nDay), &y, &m, &d);
    return y == nYear && m == nMonth && d == nDay;
}

}  // namespace

LogSettings ParseLogSettings(const LogIniValues& values, std::vector<std::string>* pNotes)
{
    LogSettings settings;
    if (!values.strDir.empty()) {
        if (UsableFolderName(values.strDir))
            settings.strDir = values.strDir;
        else
            pNotes->push_back(UnusableNote("Dir", values.strDir, LOG_DIR_DEFAULT));
    }
    ParseNumberKey(values.strKeepDays, "KeepDays", 1, LOG_KEEP_DAYS_MAX, &settings.nKeepDays,
                   pNotes);
    ParseNumberKey(values.strMaxFileMB, "MaxFileMB", 1, LOG_MAX_FILE_MB_MAX, &settings.nMaxFileMB,
                   pNotes);
    int nMask = 1;
    ParseNumberKey(values.strMaskCardNumbers, "MaskCardNumbers", 0, 1, &nMask, pNotes);
    settings.bMaskCards = nMask != 0;
    if (!settings.bMaskCards)
        pNotes->push_back("config.ini [LOG] MaskCardNumbers=0: 카드번호 마스킹 꺼짐, 카드번호가 "
                          "로그에 그대로 남습니다");
    return settings;
}

int DaysFromCivil(int nYear, int nMonth, int nDay)
{
    // The days-from-civil algorithm: years counted from March, so the leap day ends a year.
    const int y = nYear - (nMonth <= 2 ? 1 : 0);
    const int nEra = (y >= 0 ? y : y - 399) / 400;
    const int nYoe = y - nEra * 400;
    const int nDoy = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5 + nDay - 1;
    const int nDoe = nYoe * 365 + nYoe / 4 - nYoe / 100 + nDoy;
    return nEra * 146097 + nDoe - 719468;
}

void CivilFromDays(int nDays, int* pYear, int* pMonth, int* pDay)
{
    const int z = nDays + 719468;
    const int nEra = (z >= 0 ? z : z - 146096) / 146097;
    const int nDoe = z - nEra * 146097;
    const int nYoe = (nDoe - nDoe / 1460 + nDoe / 36524 - nDoe / 146096) / 365;
    const int nDoy = nDoe - (365 * nYoe + nYoe / 4 - nYoe / 100);
    const int mp = (5 * nDoy + 2) / 153;
    *pDay = nDoy - (153 * mp + 2) / 5 + 1;
    *pMonth = mp + (mp < 10 ? 3 : -9);
    *pYear = nYoe + nEra * 400 + (*pMonth <= 2 ? 1 : 0);
}

bool DayOfTimestamp(const char* pszTimestamp, int* pDays)
{
    int nYear = 0, nMonth = 0, nDay = 0;
    if (std::strlen(pszTimestamp) < 10 || pszTimestamp[4] != '/' || pszTimestamp[7] != '/' ||
        !ReadDigits(pszTimestamp, 4, &nYear) || !ReadDigits(pszTimestamp + 5, 2, &nMonth) ||
        !ReadDigits(pszTimestamp + 8, 2, &nDay) || !ValidDate(nYear, nMonth, nDay))
        return false;
    *pDays = DaysFromCivil(nYear, nMonth, nDay);
    return true;
}

std::string LogFileName(int nDays, int nPart)
{
    int nYear = 0, nMonth = 0, nDay = 0;
    CivilFromDays(nDays, &nYear, &nMonth, &nDay);
    char szName[48];
    if (nPart == 0)
        std::snprintf(szName, sizeof szName, "%s%04d%02d%02d%s", FILE_PREFIX, nYear, nMonth, nDay,
                      FILE_SUFFIX);
    else
        std::snprintf(szName, sizeof szName, "%s%04d%02d%02d-%d%s", FILE_PREFIX, nYear, nMonth,
                      nDay, nPart, FILE_SUFFIX);
    return szName;
}

bool ParseLogFileName(const std::string& strName, int* pDays, int* pPart)
{
    const size_t nPrefix = sizeof FILE_PREFIX - 1;
    const size_t nSuffix = sizeof FILE_SUFFIX - 1;
    if (strName.size() < nPrefix + 8 + nSuffix ||
        strName.compare(0, nPrefix, FILE_PREFIX) != 0 ||
        strName.compare(strName.size() - nSuffix, nSuffix, FILE_SUFFIX) != 0)
        return false;
    const char* p = strName.c_str() + nPrefix;
    int nYear = 0, nMonth = 0, nDay = 0;
    if (!ReadDigits(p, 4, &nYear) || !ReadDigits(p + 4, 2, &nMonth) ||
        !ReadDigits(p + 6, 2, &nDay) || !ValidDate(nYear, nMonth, nDay))
        return false;
    const std::string strPart = strName.substr(nPrefix + 8, strName.size() - nPrefix - 8 - nSuffix);
    int nPart = 0;
    if (!strPart.empty()) {
        // "-N", N from 1 without a leading zero: exactly what LogFileName writes.
        if (strPart[0] != '-' || strPart.size() < 2 || strPart[1] == '0' ||
            !ParseWholeNumber(strPart.substr(1), 1, 1000000, &nPart))
            return false;
    }
    *pDays = DaysFromCivil(nYear, nMonth, nDay);
    *pPart = nPart;
    return true;
}

bool NeedsNextPart(uint64_t nFileBytes, size_t nLineBytes, uint64_t nMaxBytes)
{
    return nFileBytes > 0 && nFileBytes + nLineBytes > nMaxBytes;
}

RetentionPlan PlanRetention(const std::vector<LogFileEntry>& files, int nToday, int nKeepDays)
{
    RetentionPlan plan;
    size_t nLogFiles = 0;
    std::vector<std::string> future;
    for (const LogFileEntry& file : files) {
        int nDays = 0, nPart = 0;
        if (!ParseLogFileName(file.strName, &nDays, &nPart))
            continue;
        ++nLogFiles;
        if (nDays > nToday)
            future.push_back(file.strName);
        else if (nToday - nDays > nKeepDays && nToday - file.nWriteDay > nKeepDays)
            plan.expired.push_back(file.strName);
    }
    int nYear = 0, nMonth = 0, nDay = 0;
    CivilFromDays(nToday, &nYear, &nMonth, &nDay);
    char szToday[16];
    std::snprintf(szToday, sizeof szToday, "%04d/%02d/%02d", nYear, nMonth, nDay);
    if (!future.empty()) {
        std::string strNote = "로그 파일 " + future.front();
        if (future.size() > 1)
            strNote += " 외 " + std::to_string(future.size() - 1) + "개";
        plan.notes.push_back(strNote + ": 날짜가 오늘(" + szToday +
                             ")보다 뒤입니다, 지우지 않습니다 (시계를 확인하세요)");
    }
    if (!plan.expired.empty() && plan.expired.size() == nLogFiles) {
        plan.notes.push_back("로그 파일 " + std::to_string(nLogFiles) + "개 모두 " +
                             std::to_string(nKeepDays) + "일보다 오래됨(오늘 " + szToday +
                             "): 지우지 않습니다 (시계를 확인하세요)");
        plan.expired.clear();
    }
    return plan;
}

bool ShouldRetryFolder(int nFailDay, uint64_t nFailMs, int nDay, uint64_t nNowMs)
{
    return nDay != nFailDay || nNowMs - nFailMs >= LOG_FILE_RETRY_MS;
}
