// A .zip archive written entry by entry: the container (local headers, central directory) is
// ours, the compression is zlib's deflate. Every Windows since XP opens such a file with its
// own Explorer ("compressed folder"), and so does every support desk's tool, on any system.
//
// Why this shape: the diagnostics bundle must stay under a size cap, and whether a log file
// fits is known only once it has been compressed. An entry is therefore written straight to
// the output while it is compressed, and can be abandoned at any moment: the output is cut
// back to where the entry began and nothing of it reaches the central directory, which is
// written only by Finish. Sizes and CRC are patched into the local header when the entry ends
// (no data descriptors, which some old readers handle badly). Plain zip only: no entry or
// archive reaches 4 GiB (the caller's cap sees to it; the writer refuses to go past it).
//
// No Windows header: tested natively against an independent reader (Info-ZIP's unzip).
// One writer belongs to one thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Where the archive's bytes go. Offsets count from the start of the archive.
class IZipOutput {
public:
    virtual ~IZipOutput() = default;
    // Appends at the current end.
    virtual bool Append(const void* pData, size_t nBytes) = 0;
    // Overwrites bytes already written.
    virtual bool Overwrite(uint64_t nOffset, const void* pData, size_t nBytes) = 0;
    // Cuts the output to nSize bytes; the next Append goes there.
    virtual bool Truncate(uint64_t nSize) = 0;
};

// MS-DOS date and time of an entry (local time), as zip stores them.
struct ZipTime {
    uint16_t wDate = (1 << 5) | 1;  // 1980-01-01
    uint16_t wTime = 0;
};
ZipTime ZipTimeOf(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond);

class CZipWriter {
public:
    explicit CZipWriter(IZipOutput& output);
    ~CZipWriter();
    CZipWriter(const CZipWriter&) = delete;
    CZipWriter& operator=(const CZipWriter&) = delete;

    // Starts an entry (a plain ASCII file name, no folder). False on an output error or when
    // an entry is already open.
    bool BeginEntry(const std::string& strName, ZipTime time);
    // Compresses and writes more of the open entry's data.
    bool WriteData(const void* pData, size_t nBytes);
    // Writes the rest of the open entry's compressed stream (no more data after it), so that
    // Size() tells the entry's full size while it can still be abandoned.
    bool FlushEntry();
    // Ends the open entry (flushing it first if needed): its sizes and CRC.
    bool EndEntry();
    // Drops the open entry, flushed or not: the output is cut back to where it began.
    bool AbandonEntry();
    // Writes the central directory and the end record. No entry may be open.
    bool Finish();

    // Bytes in the archive so far (the open entry's compressed bytes included).
    uint64_t Size() const { return m_nSize; }
    // Bytes Finish will add for the entries ended so far, plus one more entry named with
    // nExtraNameChars characters (0: none).
    uint64_t DirectoryBytes(size_t nExtraNameChars) const;
    // False once an output or compression error has happened; nothing more is written then.
    bool Good() const { return m_bGood; }

    // Largest entry or archive size a plain zip can describe.
    static constexpr uint64_t ZIP_MAX_BYTES = 0xFFFFFFFFu;
    // Bytes of an entry's records besides its name and data: the local header before the
    // data, the central directory's record of it.
    static constexpr size_t LOCAL_HEADER_BYTES = 30;
    static constexpr size_t CENTRAL_HEADER_BYTES = 46;

private:
    struct Entry {
        std::string strName;
        ZipTime time;
        uint32_t dwCrc = 0;
        uint32_t dwPacked = 0;
        uint32_t dwSize = 0;
        uint32_t dwOffset = 0;
    };
    bool Put(const void* pData, size_t nBytes);
    bool Deflate(const void* pData, size_t nBytes, bool bFinish);
    bool Fail();

    IZipOutput& m_output;
    struct Stream;
    std::unique_ptr<Stream> m_pStream;  // the open entry's deflate state; null when none
    std::vector<Entry> m_entries;       // ended entries
    Entry m_open;                       // the open entry
    uint64_t m_nOpenSize = 0;           // its uncompressed bytes so far
    bool m_bFlushed = false;            // its compressed stream is complete
    uint64_t m_nSize = 0;
    bool m_bGood = true;
};
