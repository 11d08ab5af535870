// The stream buffer behind the redirected cout and wcout: it gathers what a stream writes and
// hands it to the log window's text sink a line, a flush or 511 characters at a time.
//
// Why every character goes through a lock. A standard stream writes single characters
// straight into an exposed put area while it has room, without calling any virtual of the
// buffer; two threads doing that at once move the put position past the end of the buffer.
// This buffer therefore exposes no put area at all: the stream calls overflow for every single
// character and xsputn for every string, and both work on the buffer's own 510-character area
// under m_lock. The hand-over rules are those a put area of 510 characters gives:
//  - overflow(c) keeps c; only when the area was already full does it hand over the 510
//    characters and c together (511);
//  - xsputn hands over everything held as soon as a piece of its string holds a line feed;
//  - sync (a flush) and overflow(end-of-file) hand over whatever is held.
// A line feed written as a single character (put, endl) is kept like any other character.
//
// Lock order: m_lock, then the sink's own lock inside AppendText/AppendTextW. The sink never
// calls back into a buffer, so the order cannot invert. Detach takes m_lock too, so once it
// returns no thread is inside a hand-over and later text is dropped: the window that owns
// the sink can go while other threads still write to a stream that held this buffer.
//
// Sink is any class with AppendText(const char*, bool) for the narrow variant and
// AppendTextW(const wchar_t*, bool) for the wide one (the flag asks for LF -> CR LF). No
// Windows header: the rules are tested natively, under ThreadSanitizer too.
#pragma once
#include <algorithm>
#include <cstddef>
#include <mutex>
#include <streambuf>

constexpr std::size_t STREAMBUF_CHARS = 512;  // the buffer: 510 to fill, the 511th, the NUL
constexpr std::size_t STREAMBUF_AREA = 510;   // characters held before a hand-over is forced

template <class CharT, class Sink>
class CEditStreamBuf : public std::basic_streambuf<CharT> {
public:
    using traits_type = typename std::basic_streambuf<CharT>::traits_type;
    using int_type = typename traits_type::int_type;

    explicit CEditStreamBuf(Sink* pSink) : m_pBuffer(new CharT[STREAMBUF_CHARS]), m_pSink(pSink)
    {
    }
    ~CEditStreamBuf() override { delete[] m_pBuffer; }  // held text is discarded, not handed over
    CEditStreamBuf(const CEditStreamBuf&) = delete;
    CEditStreamBuf& operator=(const CEditStreamBuf&) = delete;

    // Cuts the buffer from its sink: what it holds is dropped, and so is everything written
    // later. Waits for a writer that is inside a hand-over.
    void Detach()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pSink = nullptr;
        m_nHeld = 0;
    }

protected:
    int_type overflow(int_type c) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return PutLocked(c);
    }

    std::streamsize xsputn(const CharT* s, std::streamsize n) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::streamsize nTaken = 0;
        while (n > 0) {
            if (m_nHeld < STREAMBUF_AREA) {
                const std::size_t k =
                    std::min(static_cast<std::size_t>(n), STREAMBUF_AREA - m_nHeld);
                const CharT* pEnd = s + k;
                const bool bLineFeed = std::find(s, pEnd, CharT('\n')) != pEnd;
                std::copy(s, pEnd, m_pBuffer + m_nHeld);
                m_nHeld += k;
                s = pEnd;
                n -= static_cast<std::streamsize>(k);
                nTaken += static_cast<std::streamsize>(k);
                if (bLineFeed)
                    HandOverLocked();
            } else {
                if (traits_type::eq_int_type(PutLocked(traits_type::to_int_type(*s)),
                                             traits_type::eof()))
                    break;
                ++s;
                --n;
                ++nTaken;
            }
        }
        return nTaken;
    }

    int sync() override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        HandOverLocked();
        return 0;
    }

private:
    // overflow's rule, with m_lock held.
    int_type PutLocked(int_type c)
    {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            HandOverLocked();
            return traits_type::eof();
        }
        m_pBuffer[m_nHeld++] = traits_type::to_char_type(c);
        if (m_nHeld > STREAMBUF_AREA)  // the area was full: 510 and c go together
            HandOverLocked();
        return c;
    }

    // Hands the held text to the sink (LF to become CR LF) and empties the area; with m_lock
    // held. After Detach the text is dropped.
    void HandOverLocked()
    {
        m_pBuffer[m_nHeld] = CharT(0);
        if (m_pSink != nullptr) {
            if constexpr (sizeof(CharT) == 1)
                m_pSink->AppendText(m_pBuffer, true);
            else
                m_pSink->AppendTextW(m_pBuffer, true);
        }
        m_nHeld = 0;
    }

    CharT* const m_pBuffer;   // STREAMBUF_CHARS characters, owned
    std::size_t m_nHeld = 0;  // characters in the area, 0..STREAMBUF_AREA between calls
    Sink* m_pSink;            // not owned; null after Detach
    std::mutex m_lock;        // held by overflow, xsputn, sync and Detach
};
