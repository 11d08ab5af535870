// The bundle's name, its log files and its size cap; see bundle.h.
#include "diag/bundle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/log_file_rules.h"

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;
// Deflate never grows stored data by more than 5 bytes a 16 KiB block and a few at the end;
// the summary's room is counted with that.
uint64_t DeflateBound(size_t nBytes) { return nBytes + (nBytes / 16384 + 1) * 5 + 16; }

// Bytes the summary entry needs at most, with its directory record.
uint64_t SummaryRoom()
{
    const size_t nName = std::strlen(BUNDLE_SUMMARY_NAME);
    return CZipWriter::LOCAL_HEADER_BYTES + CZipWriter::CENTRAL_HEADER_BYTES + 2 * nName +
           DeflateBound(BUNDLE_SUMMARY_MAX_BYTES);
}

} // namespace

std::string BundleFileName(const std::string& strComputer, int nYear, int nMonth, int nDay,
                           int nHour, int nMinute, int nSecond, int nCopy)
{
    std::string strName = strComputer.empty() ? std::string("PC") : strComputer;
    for (char& c : strName) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr)
            c = '_';
    }
    char szStamp[32];
    std::snprintf(szStamp, sizeof(szStamp), "%04d%02d%02d-%02d%02d%02d", nYear, nMonth, nDay,
                  nHour, nMinute, nSecond);
    const std::string strCopy = nCopy > 1 ? "-" + std::to_string(nCopy) : std::string();
    return "Pellarin-" + strName + "-" + szStamp + strCopy + ".zip";
}

std::vector<std::string> RecentLogFiles(const std::vector<std::string>& strNames, int nToday)
{
    struct Found {
        int nDay, nPart;
        std::string strName;
    };
    std::vector<Found> found;
    for (const std::string& strName : strNames) {
        int nDay = 0, nPart = 0;
        if (ParseLogFileName(strName, &nDay, &nPart) && nDay <= nToday &&
            nDay > nToday - BUNDLE_LOG_DAYS)
            found.push_back({nDay, nPart, strName});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.nDay != b.nDay ? a.nDay > b.nDay : a.nPart > b.nPart;
    });
    std::vector<std::string> result;
    for (const Found& f : found)
        result.push_back(f.strName);
    return result;
}

bool WriteBundle(CZipWriter& writer, const std::vector<BundleItem>& items, uint64_t nCapBytes,
                 const std::function<std::string(const BundleOutcome&)>& summary,
                 ZipTime summaryTime, const std::atomic<bool>* pCancel,
                 BundleOutcome* pOutcome)
{
    BundleOutcome& outcome = *pOutcome;
    outcome = BundleOutcome();
    auto cancelled = [&] { return pCancel != nullptr && pCancel->load(); };
    // True while the archive, with the open entry's directory record and the summary's room,
    // stays within the cap.
    auto fits = [&](const std::string& strName) {
        return writer.Size() + writer.DirectoryBytes(strName.size()) + SummaryRoom() <= nCapBytes;
    };

    bool bLogsFull = false;  // a log file did not fit: every older one stays out
    std::vector<char> buffer(READ_CHUNK);
    for (const BundleItem& item : items) {
        if (cancelled()) {
            outcome.bCancelled = true;
            return false;
        }
        if (item.bLogFile && bLogsFull) {
            outcome.leftOut.push_back(item.strName);
            continue;
        }
        std::string strWhy;
        std::unique_ptr<IBundleSource> pSource = item.open ? item.open(&strWhy) : nullptr;
        if (!pSource) {
            outcome.unreadable.emplace_back(item.strName, strWhy);
            continue;
        }
        if (!writer.BeginEntry(item.strName, item.time)) {
            outcome.bOutputFailed = true;
            return false;
        }
        bool bFits = fits(item.strName);
        std::string strReadError;
        while (bFits) {
            if (cancelled()) {
                outcome.bCancelled = true;
                return false;
            }
            const long nRead = pSource->Read(buffer.data(), buffer.size());
            if (nRead < 0) {
                strReadError = "읽기 오류";
                break;
            }
            if (nRead == 0)
                break;
            if (!writer.WriteData(buffer.data(), static_cast<size_t>(nRead))) {
                outcome.bOutputFailed = true;
                return false;
            }
            bFits = fits(item.strName);
        }
        // The end of the deflate stream adds what zlib still held: the cap is checked after it.
        if (bFits && strReadError.empty()) {
            if (!writer.FlushEntry()) {
                outcome.bOutputFailed = true;
                return false;
            }
            bFits = fits(item.strName);
        }
        if (bFits && strReadError.empty()) {
            if (!writer.EndEntry()) {
                outcome.bOutputFailed = true;
                return false;
            }
            outcome.included.push_back(item.strName);
            continue;
        }
        if (!writer.AbandonEntry()) {
            outcome.bOutputFailed = true;
            return false;
        }
        if (!strReadError.empty()) {
            outcome.unreadable.emplace_back(item.strName, strReadError);
            continue;
        }
        outcome.leftOut.push_back(item.strName);
        if (item.bLogFile)
            bLogsFull = true;
    }

    std::string strSummary = summary(outcome);
    if (strSummary.size() > BUNDLE_SUMMARY_MAX_BYTES)
        strSummary.resize(BUNDLE_SUMMARY_MAX_BYTES);
    if (!writer.BeginEntry(BUNDLE_SUMMARY_NAME, summaryTime) ||
        !writer.WriteData(strSummary.data(), strSummary.size()) || !writer.EndEntry() ||
        !writer.Finish()) {
        outcome.bOutputFailed = true;
        return false;
    }
    return true;
}
