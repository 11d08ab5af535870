// The zip container around zlib's raw deflate streams; see zip_writer.h.
#include "diag/zip_writer.h"

#include <zlib.h>

#include <cstring>

namespace {

constexpr uint32_t LOCAL_HEADER_SIG = 0x04034b50;
constexpr uint32_t CENTRAL_HEADER_SIG = 0x02014b50;
constexpr uint32_t END_RECORD_SIG = 0x06054b50;
constexpr size_t END_RECORD_BYTES = 22;
constexpr size_t CRC_FIELD_OFFSET = 14;  // CRC, packed size, size in a local header
constexpr uint16_t VERSION_NEEDED = 20;  // deflate
constexpr uint16_t METHOD_DEFLATE = 8;
constexpr uint32_t ATTRIBUTE_ARCHIVE = 0x20;
constexpr size_t OUT_CHUNK = 64 * 1024;

void Put16(std::string& s, uint32_t v)
{
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& s, uint32_t v)
{
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

} // namespace

struct CZipWriter::Stream {
    z_stream z{};
    bool bReady = false;
    ~Stream()
    {
        if (bReady)
            deflateEnd(&z);
    }
};

ZipTime ZipTimeOf(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond)
{
    ZipTime t;
    if (nYear < 1980 || nYear > 2107)
        return t;  // outside what zip can say: 1980-01-01
    t.wDate = static_cast<uint16_t>(((nYear - 1980) << 9) | (nMonth << 5) | nDay);
    t.wTime = static_cast<uint16_t>((nHour << 11) | (nMinute << 5) | (nSecond / 2));
    return t;
}

CZipWriter::CZipWriter(IZipOutput& output) : m_output(output) {}

CZipWriter::~CZipWriter() = default;

bool CZipWriter::Fail()
{
    m_bGood = false;
    m_pStream.reset();
    return false;
}

bool CZipWriter::Put(const void* pData, size_t nBytes)
{
    if (m_nSize + nBytes > ZIP_MAX_BYTES || !m_output.Append(pData, nBytes))
        return Fail();
    m_nSize += nBytes;
    return true;
}

bool CZipWriter::BeginEntry(const std::string& strName, ZipTime time)
{
    if (!m_bGood || m_pStream || strName.empty() || strName.size() > 0xFFFF)
        return false;
    m_open = Entry();
    m_open.strName = strName;
    m_open.time = time;
    m_open.dwOffset = static_cast<uint32_t>(m_nSize);
    m_open.dwCrc = crc32(0L, Z_NULL, 0);
    m_nOpenSize = 0;
    m_bFlushed = false;

    std::string header;
    Put32(header, LOCAL_HEADER_SIG);
    Put16(header, VERSION_NEEDED);
    Put16(header, 0);  // flags: no data descriptor, names in the DOS code page (ASCII here)
    Put16(header, METHOD_DEFLATE);
    Put16(header, time.wTime);
    Put16(header, time.wDate);
    Put32(header, 0);  // CRC, packed size and size: patched by EndEntry
    Put32(header, 0);
    Put32(header, 0);
    Put16(header, static_cast<uint32_t>(strName.size()));
    Put16(header, 0);  // no extra field
    header += strName;
    if (!Put(header.data(), header.size()))
        return false;

    auto pStream = std::make_unique<Stream>();
    // Raw deflate (negative window bits): zip keeps its own headers and CRC.
    if (deflateInit2(&pStream->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return Fail();
    pStream->bReady = true;
    m_pStream = std::move(pStream);
    return true;
}

bool CZipWriter::Deflate(const void* pData, size_t nBytes, bool bFinish)
{
    z_stream& z = m_pStream->z;
    z.next_in = static_cast<Bytef*>(const_cast<void*>(pData));
    z.avail_in = static_cast<uInt>(nBytes);
    unsigned char abOut[OUT_CHUNK];
    for (;;) {
        z.next_out = abOut;
        z.avail_out = sizeof(abOut);
        const int nResult = deflate(&z, bFinish ? Z_FINISH : Z_NO_FLUSH);
        if (nResult == Z_STREAM_ERROR)
            return Fail();
        const size_t nOut = sizeof(abOut) - z.avail_out;
        if (nOut > 0 && !Put(abOut, nOut))
            return false;
        if (bFinish ? nResult == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0))
            return true;
    }
}

bool CZipWriter::WriteData(const void* pData, size_t nBytes)
{
    if (!m_bGood || !m_pStream || m_bFlushed)
        return false;
    const unsigned char* pBytes = static_cast<const unsigned char*>(pData);
    while (nBytes > 0) {
        const size_t nPiece = nBytes < OUT_CHUNK ? nBytes : OUT_CHUNK;  // fits uInt
        if (m_nOpenSize + nPiece > ZIP_MAX_BYTES)
            return Fail();
        m_open.dwCrc = crc32(m_open.dwCrc, pBytes, static_cast<uInt>(nPiece));
        m_nOpenSize += nPiece;
        if (!Deflate(pBytes, nPiece, false))
            return false;
        pBytes += nPiece;
        nBytes -= nPiece;
    }
    return true;
}

bool CZipWriter::FlushEntry()
{
    if (!m_bGood || !m_pStream)
        return false;
    if (!m_bFlushed && !Deflate(nullptr, 0, true))
        return false;
    m_bFlushed = true;
    return true;
}

bool CZipWriter::EndEntry()
{
    if (!FlushEntry())
        return false;
    m_pStream.reset();
    m_open.dwSize = static_cast<uint32_t>(m_nOpenSize);
    const uint64_t nDataStart = m_open.dwOffset + CZipWriter::LOCAL_HEADER_BYTES + m_open.strName.size();
    m_open.dwPacked = static_cast<uint32_t>(m_nSize - nDataStart);
    std::string fields;
    Put32(fields, m_open.dwCrc);
    Put32(fields, m_open.dwPacked);
    Put32(fields, m_open.dwSize);
    if (!m_output.Overwrite(m_open.dwOffset + CRC_FIELD_OFFSET, fields.data(), fields.size()))
        return Fail();
    m_entries.push_back(m_open);
    return true;
}

bool CZipWriter::AbandonEntry()
{
    if (!m_bGood || !m_pStream)
        return false;
    m_pStream.reset();
    if (!m_output.Truncate(m_open.dwOffset))
        return Fail();
    m_nSize = m_open.dwOffset;
    return true;
}

uint64_t CZipWriter::DirectoryBytes(size_t nExtraNameChars) const
{
    uint64_t nBytes = END_RECORD_BYTES;
    for (const Entry& entry : m_entries)
        nBytes += CZipWriter::CENTRAL_HEADER_BYTES + entry.strName.size();
    if (nExtraNameChars > 0)
        nBytes += CZipWriter::CENTRAL_HEADER_BYTES + nExtraNameChars;
    return nBytes;
}

bool CZipWriter::Finish()
{
    if (!m_bGood || m_pStream || m_entries.size() > 0xFFFF)
        return false;
    const uint64_t nDirectoryStart = m_nSize;
    std::string directory;
    for (const Entry& entry : m_entries) {
        Put32(directory, CENTRAL_HEADER_SIG);
        Put16(directory, VERSION_NEEDED);  // made by: MS-DOS attributes, zip 2.0
        Put16(directory, VERSION_NEEDED);
        Put16(directory, 0);
        Put16(directory, METHOD_DEFLATE);
        Put16(directory, entry.time.wTime);
        Put16(directory, entry.time.wDate);
        Put32(directory, entry.dwCrc);
        Put32(directory, entry.dwPacked);
        Put32(directory, entry.dwSize);
        Put16(directory, static_cast<uint32_t>(entry.strName.size()));
        Put16(directory, 0);  // extra field
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk
        Put16(directory, 0);  // internal attributes
        Put32(directory, ATTRIBUTE_ARCHIVE);
        Put32(directory, entry.dwOffset);
        directory += entry.strName;
    }
    const uint32_t dwDirectoryBytes = static_cast<uint32_t>(directory.size());
    Put32(directory, END_RECORD_SIG);
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, static_cast<uint32_t>(m_entries.size()));
    Put16(directory, static_cast<uint32_t>(m_entries.size()));
    Put32(directory, dwDirectoryBytes);
    Put32(directory, static_cast<uint32_t>(nDirectoryStart));
    Put16(directory, 0);  // comment
    return Put(directory.data(), directory.size());
}
