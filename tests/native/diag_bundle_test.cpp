// The diagnostics bundle's archive and rules, read back by an independent reader (Info-ZIP's
// unzip, as a support desk would): entries and their bytes, an abandoned entry leaving no
// trace, the size cap with the oldest days left out first, files that cannot be read, the log
// files of the last seven days, and the summary's words for the effective settings.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diag/bundle.h"
#include "diag/summary.h"
#include "diag/zip_writer.h"
#include "log/log_file_rules.h"

namespace {

// The archive in memory, as the file on Windows holds it.
class CMemoryOutput : public IZipOutput {
public:
    bool Append(const void* pData, size_t nBytes) override
    {
        m_bytes.append(static_cast<const char*>(pData), nBytes);
        return true;
    }
    bool Overwrite(uint64_t nOffset, const void* pData, size_t nBytes) override
    {
        if (nOffset + nBytes > m_bytes.size())
            return false;
        m_bytes.replace(nOffset, nBytes, static_cast<const char*>(pData), nBytes);
        return true;
    }
    bool Truncate(uint64_t nSize) override
    {
        m_bytes.resize(nSize);
        return true;
    }
    std::string m_bytes;
};

class CMemorySource : public IBundleSource {
public:
    CMemorySource(std::string strData, long nFailAfter) : m_strData(std::move(strData)), m_nFailAfter(nFailAfter) {}
    long Read(void* pBuffer, size_t nBytes) override
    {
        if (m_nFailAfter >= 0 && static_cast<long>(m_nPos) >= m_nFailAfter)
            return -1;
        const size_t n = std::min(nBytes, m_strData.size() - m_nPos);
        std::memcpy(pBuffer, m_strData.data() + m_nPos, n);
        m_nPos += n;
        return static_cast<long>(n);
    }

private:
    std::string m_strData;
    size_t m_nPos = 0;
    long m_nFailAfter;
};

// Bytes deflate cannot shrink, the same for the same seed.
std::string Incompressible(size_t nBytes, unsigned nSeed)
{
    std::mt19937 rng(nSeed);
    std::string s(nBytes, '\0');
    for (char& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

// A zip file of these bytes in a scratch folder, read with unzip.
class CUnzip {
public:
    explicit CUnzip(const std::string& strBytes)
    {
        char szDir[] = "/tmp/diag-test-XXXXXX";
        m_strDir = mkdtemp(szDir);
        m_strPath = m_strDir + "/bundle.zip";
        FILE* f = std::fopen(m_strPath.c_str(), "wb");
        std::fwrite(strBytes.data(), 1, strBytes.size(), f);
        std::fclose(f);
    }
    ~CUnzip() { Run("rm -rf '" + m_strDir + "'"); }
    // unzip's own check of every entry's CRC and sizes.
    bool Test() { int nStatus = 0; Run("unzip -tqq '" + m_strPath + "'", &nStatus); return nStatus == 0; }
    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        std::string strOut = Run("unzip -Z1 '" + m_strPath + "'");
        size_t nStart = 0;
        for (size_t nEnd; (nEnd = strOut.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1)
            names.push_back(strOut.substr(nStart, nEnd - nStart));
        return names;
    }
    std::string Read(const std::string& strName) { return Run("unzip -p '" + m_strPath + "' '" + strName + "'"); }

private:
    static std::string Run(const std::string& strCommand, int* pnStatus = nullptr)
    {
        std::string strOut;
        FILE* p = popen((strCommand + " 2>/dev/null").c_str(), "r");
        char buffer[65536];
        for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), p)) > 0;)
            strOut.append(buffer, n);
        const int nStatus = pclose(p);
        if (pnStatus != nullptr)
            *pnStatus = nStatus;
        return strOut;
    }
    std::string m_strDir, m_strPath;
};

TEST(ZipWriter, EntriesReadBackWithUnzipAndAnAbandonedOneLeavesNoTrace)
{
    const struct {
        const char* pszName;
        std::string strData;
        size_t nPiece;  // written in pieces of this size
        bool bAbandon;
    } rows[] = {
        {"empty.txt", "", 1, false},
        {"config.ini", "[DEBUG]\r\nLEVEL=99\r\n", 3, false},
        {"dropped.log", Incompressible(200000, 1), 65536, true},
        {"pellarin-20261208.log", std::string(300000, 'A') + "end", 70000, false},
        {"random.bin", Incompressible(150000, 2), 4096, false},
        {"dropped-flushed.log", Incompressible(1000, 3), 1000, true},
    };
    CMemoryOutput output;
    CZipWriter writer(output);
    for (const auto& row : rows) {
        ASSERT_TRUE(writer.BeginEntry(row.pszName, ZipTimeOf(2026, 12, 8, 13, 51, 34)));
        for (size_t i = 0; i < row.strData.size(); i += row.nPiece) {
            ASSERT_TRUE(writer.WriteData(row.strData.data() + i,
                                         std::min(row.nPiece, row.strData.size() - i)));
        }
        if (row.bAbandon) {
            if (row.strData.size() < 5000) {  // dropped after its last bytes were written
                ASSERT_TRUE(writer.FlushEntry());
            }
            ASSERT_TRUE(writer.AbandonEntry());
        } else {
            ASSERT_TRUE(writer.EndEntry());
        }
        EXPECT_EQ(writer.Size(), output.m_bytes.size());
    }
    const uint64_t nBefore = writer.Size();
    ASSERT_TRUE(writer.Finish());
    EXPECT_EQ(output.m_bytes.size(), nBefore + writer.DirectoryBytes(0));

    CUnzip zip(output.m_bytes);
    EXPECT_TRUE(zip.Test());
    std::vector<std::string> expected;
    for (const auto& row : rows) {
        if (!row.bAbandon) {
            expected.push_back(row.pszName);
            EXPECT_EQ(zip.Read(row.pszName), row.strData) << row.pszName;
        }
    }
    EXPECT_EQ(zip.Names(), expected);
}

// One bundle item made in memory: a log file of a day, or a settings file.
struct Item {
    const char* pszName;
    size_t nBytes;     // incompressible bytes; 0 with bMissing for a file that is not there
    bool bLog;
    bool bMissing = false;
    long nFailAfter = -1;  // a read error after this many bytes
};

std::vector<BundleItem> MakeItems(const std::vector<Item>& rows)
{
    std::vector<BundleItem> items;
    unsigned nSeed = 10;
    for (const Item& row : rows) {
        BundleItem item;
        item.strName = row.pszName;
        item.bLogFile = row.bLog;
        const std::string strData = Incompressible(row.nBytes, nSeed++);
        item.open = [row, strData](std::string* pstrWhy) -> std::unique_ptr<IBundleSource> {
            if (row.bMissing) {
                *pstrWhy = BUNDLE_FILE_MISSING;
                return nullptr;
            }
            return std::make_unique<CMemorySource>(strData, row.nFailAfter);
        };
        items.push_back(item);
    }
    return items;
}

TEST(WriteBundle, StaysUnderTheCapLeavingTheOldestDaysOutAndSaysSoInTheSummary)
{
    constexpr uint64_t KB = 1024;
    const struct {
        const char* pszCase;
        uint64_t nCap;
        std::vector<Item> items;
        std::vector<std::string> included, leftOut, unreadable;
    } rows[] = {
        {"everything fits", 1024 * KB,
         {{"config.ini", 100, false}, {"pellarin-20261209.log", 200 * KB, true},
          {"pellarin-20261208.log", 200 * KB, true}},
         {"config.ini", "pellarin-20261209.log", "pellarin-20261208.log"}, {}, {}},
        {"the oldest day goes, and a smaller older one after it too", 300 * KB,
         {{"config.ini", 100, false}, {"pellarin-20261209.log", 100 * KB, true},
          {"pellarin-20261208-1.log", 100 * KB, true}, {"pellarin-20261208.log", 100 * KB, true},
          {"pellarin-20261207.log", 1 * KB, true}},
         {"config.ini", "pellarin-20261209.log", "pellarin-20261208-1.log"},
         {"pellarin-20261208.log", "pellarin-20261207.log"}, {}},
        {"today alone is too big: no log at all, settings still in", 200 * KB,
         {{"config.ini", 100, false}, {"ssllib32.log", 2 * KB, false},
          {"pellarin-20261209.log", 300 * KB, true}, {"pellarin-20261208.log", 10 * KB, true}},
         {"config.ini", "ssllib32.log"}, {"pellarin-20261209.log", "pellarin-20261208.log"}, {}},
        // 246,000 bytes pass the room left under 300 KiB only with what deflate holds back
        // until the entry's end.
        {"a file that passes the cap only with its last compressed bytes", 300 * KB,
         {{"pellarin-20261209.log", 246000, true}}, {}, {"pellarin-20261209.log"}, {}},
        {"a missing file and a read error are reported, the rest goes in", 1024 * KB,
         {{"ssllib32.ini", 0, false, true}, {"config.ini", 100, false},
          {"pellarin-20261209.log", 300 * KB, true, false, 100 * KB},
          {"pellarin-20261208.log", 10 * KB, true}},
         {"config.ini", "pellarin-20261208.log"}, {},
         {"ssllib32.ini", "pellarin-20261209.log"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszCase);
        CMemoryOutput output;
        CZipWriter writer(output);
        BundleOutcome outcome;
        std::string strSummary;
        ASSERT_TRUE(WriteBundle(writer, MakeItems(row.items), row.nCap,
                                [&](const BundleOutcome& o) {
                                    SummaryFacts facts;
                                    facts.strCreated = "2026/12/09 10:00:00";
                                    strSummary = ComposeSummary(facts, o, row.nCap);
                                    return strSummary;
                                },
                                ZipTime(), nullptr, &outcome));
        EXPECT_LE(output.m_bytes.size(), row.nCap);
        EXPECT_EQ(outcome.included, row.included);
        EXPECT_EQ(outcome.leftOut, row.leftOut);
        std::vector<std::string> unreadable;
        for (const auto& u : outcome.unreadable)
            unreadable.push_back(u.first);
        EXPECT_EQ(unreadable, row.unreadable);

        CUnzip zip(output.m_bytes);
        EXPECT_TRUE(zip.Test());
        std::vector<std::string> names = row.included;
        names.push_back("summary.txt");
        EXPECT_EQ(zip.Names(), names);
        EXPECT_EQ(zip.Read("summary.txt"), strSummary);
        for (const std::string& strName : row.leftOut)
            EXPECT_NE(strSummary.find(strName), std::string::npos) << strName;
        EXPECT_EQ(strSummary.find("크기 제한") != std::string::npos, !row.leftOut.empty());
    }
}

TEST(WriteBundle, CancelledBetweenPiecesStopsAtOnce)
{
    CMemoryOutput output;
    CZipWriter writer(output);
    std::atomic<bool> bCancel{false};
    std::vector<BundleItem> items = MakeItems({{"pellarin-20261209.log", 1024 * 1024, true}});
    auto open = items[0].open;
    items[0].open = [&](std::string* pstrWhy) {
        bCancel = true;  // the request is withdrawn while the file is being read
        return open(pstrWhy);
    };
    BundleOutcome outcome;
    int nSummaries = 0;
    EXPECT_FALSE(WriteBundle(writer, items, BUNDLE_CAP_BYTES,
                             [&](const BundleOutcome&) { ++nSummaries; return std::string(); },
                             ZipTime(), &bCancel, &outcome));
    EXPECT_TRUE(outcome.bCancelled);
    EXPECT_EQ(nSummaries, 0);
    EXPECT_LT(output.m_bytes.size(), 1024u * 1024u);
}

TEST(RecentLogFiles, TheLastSevenDaysNewestFirstLatestPartFirst)
{
    const int nToday = DaysFromCivil(2026, 12, 9);
    const std::vector<std::string> names = {
        "pellarin-20261203.log",    // the seventh day back counts from today: in
        "pellarin-20261202.log",    // eighth: out
        "pellarin-20261209.log",   "pellarin-20261209-2.log", "pellarin-20261209-1.log",
        "pellarin-20261210.log",    // tomorrow (a clock set back since): out
        "pellarin-20261205.log",   "ssllib32.log", "pellarin-20261205.txt", "notes.log",
        "pellarin-2026120.log"};
    EXPECT_EQ(RecentLogFiles(names, nToday),
              (std::vector<std::string>{"pellarin-20261209-2.log", "pellarin-20261209-1.log",
                                        "pellarin-20261209.log", "pellarin-20261205.log",
                                        "pellarin-20261203.log"}));
}

TEST(BundleFileName, ComputerDateAndTimeWithUnsafeCharactersReplaced)
{
    EXPECT_EQ(BundleFileName("POS-07", 2026, 1, 2, 3, 4, 5), "Pellarin-POS-07-20260102-030405.zip");
    EXPECT_EQ(BundleFileName("a/b:c*?", 2026, 12, 31, 23, 59, 59),
              "Pellarin-a_b_c__-20261231-235959.zip");
    EXPECT_EQ(BundleFileName("", 2026, 12, 31, 23, 59, 59), "Pellarin-PC-20261231-235959.zip");
    EXPECT_EQ(BundleFileName("POS", 2026, 1, 2, 3, 4, 5, 2), "Pellarin-POS-20260102-030405-2.zip");
}

TEST(DescribeRelaySettings, SaysWhatTheRelayDoesWithTheHostList)
{
    const struct {
        const char* pszValue;
        const char* pszLine;
    } rows[] = {
        {"", "[RELAY] AllowHosts: 모든 호스트 허용"},
        {"192.0.2.10:7001, 10.20.0.0/16", "[RELAY] AllowHosts: 192.0.2.10:7001, 10.20.0.0/16"},
        {"10.20.30.40/8:443", "[RELAY] AllowHosts: 10.0.0.0/8:443"},
        {"0.0.0.0/0", "[RELAY] AllowHosts: 0.0.0.0/0"},
        {"192.0.2.10, 300.1.1.1", "[RELAY] AllowHosts: 모든 호스트 거부 (읽을 수 없는 항목 \"300.1.1.1\")"},
    };
    for (const auto& row : rows) {
        const std::vector<std::string> lines =
            DescribeRelaySettings(7, HostAllowList::Parse(row.pszValue), {});
        ASSERT_EQ(lines.size(), 2u) << row.pszValue;
        EXPECT_EQ(lines[0], "[RELAY] ConnectTimeout: 7초");
        EXPECT_EQ(lines[1], row.pszLine) << row.pszValue;
    }
}

} // namespace
