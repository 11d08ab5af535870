// The stream buffers behind cout and wcout: when text is handed to the sink (a table of
// write sequences, run through a real std::ostream and std::wostream), cutting a buffer from
// its sink, and several threads writing to a narrow and a wide buffer at once (built under
// ThreadSanitizer too, label "threads").
//
// The sink here records what it receives; it takes a lock of its own like the window's sink,
// so the lock order buffer -> sink is exercised as in the program.
#include <atomic>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/edit_stream_buf.h"

namespace {

class RecordingSink {
public:
    void AppendText(const char* psz, bool bConvert)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pieces.push_back(Widen(std::string(psz)));
        m_bAllConverted = m_bAllConverted && bConvert;
    }
    void AppendTextW(const wchar_t* psz, bool bConvert)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pieces.push_back(psz);
        m_bAllConverted = m_bAllConverted && bConvert;
    }
    std::vector<std::wstring> Pieces()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_pieces;
    }
    bool AllConverted()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_bAllConverted;
    }
    static std::wstring Widen(const std::string& str) { return std::wstring(str.begin(), str.end()); }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_pieces;
    bool m_bAllConverted = true;
};

using NarrowBuf = CEditStreamBuf<char, RecordingSink>;
using WideBuf = CEditStreamBuf<wchar_t, RecordingSink>;

// One step of a write sequence: a string written with <<, a single character with put(), a
// flush, or std::endl.
struct Step {
    enum Kind { Text, Put, Flush, Endl } kind;
    std::string strText;  // Text: the string; Put: its one character
};
Step Text(const std::string& s) { return {Step::Text, s}; }
Step Put(char c) { return {Step::Put, std::string(1, c)}; }
Step Flush() { return {Step::Flush, ""}; }
Step Endl() { return {Step::Endl, ""}; }

struct SequenceRow {
    const char* pszName;
    std::vector<Step> steps;
    std::vector<std::string> expected;  // the pieces the sink receives, in order
};

const std::string k507(507, 'x');
const std::string k2000 = [] {
    std::string s;
    for (int i = 0; i < 2000; ++i)
        s.push_back(static_cast<char>('A' + i % 26));
    return s;
}();

const SequenceRow kSequences[] = {
    {"abc_alone_shows_nothing", {Text("abc")}, {}},
    {"abc_then_flush", {Text("abc"), Flush()}, {"abc"}},
    {"abc_then_string_with_lf_hands_over_the_tail_too",
     {Text("abc"), Text("d\nef")},
     {"abcd\nef"}},
    {"abc_then_507_more_still_waits", {Text("abc"), Text(k507)}, {}},
    {"abc_then_508_more_hands_over_511",
     {Text("abc"), Text(k507 + "y")},
     {"abc" + k507 + "y"}},
    {"508th_single_character_hands_over_511",
     {Text("abc"), Text(k507), Put('y')},
     {"abc" + k507 + "y"}},
    {"line_with_lf", {Text("line\n")}, {"line\n"}},
    {"single_lf_flushes_nothing", {Text("abc"), Put('\n')}, {}},
    {"single_lf_then_flush", {Text("abc"), Put('\n'), Flush()}, {"abc\n"}},
    {"endl_hands_over_the_line", {Text("abc"), Endl()}, {"abc\n"}},
    {"2000_characters_give_three_pieces_of_511",
     {Text(k2000)},
     {k2000.substr(0, 511), k2000.substr(511, 511), k2000.substr(1022, 511)}},
    {"2000_characters_leave_467_for_the_flush",
     {Text(k2000), Flush()},
     {k2000.substr(0, 511), k2000.substr(511, 511), k2000.substr(1022, 511),
      k2000.substr(1533)}},
    {"flush_of_an_empty_area_hands_over_empty_text", {Flush()}, {""}},
    {"full_area_then_string_with_lf",
     {Text(std::string(510, 'z')), Text("a\nb")},
     {std::string(510, 'z') + "a", "\nb"}},
};

template <class CharT>
std::basic_string<CharT> Convert(const std::string& s)
{
    return std::basic_string<CharT>(s.begin(), s.end());
}

template <class CharT>
std::vector<std::wstring> RunSequence(const SequenceRow& row, RecordingSink& sink)
{
    CEditStreamBuf<CharT, RecordingSink> buf(&sink);
    std::basic_ostream<CharT> os(&buf);
    for (const Step& step : row.steps) {
        switch (step.kind) {
        case Step::Text: os << Convert<CharT>(step.strText); break;
        case Step::Put: os.put(static_cast<CharT>(step.strText[0])); break;
        case Step::Flush: os.flush(); break;
        case Step::Endl: os << std::endl; break;
        }
    }
    EXPECT_TRUE(os.good());
    return sink.Pieces();
}

class StreamBufSequence : public ::testing::TestWithParam<SequenceRow> {};

TEST_P(StreamBufSequence, NarrowAndWideHandOverTheSamePieces)
{
    const SequenceRow& row = GetParam();
    std::vector<std::wstring> expected;
    for (const std::string& s : row.expected)
        expected.push_back(RecordingSink::Widen(s));

    RecordingSink narrowSink;
    EXPECT_EQ(RunSequence<char>(row, narrowSink), expected);
    EXPECT_TRUE(narrowSink.AllConverted());
    RecordingSink wideSink;
    EXPECT_EQ(RunSequence<wchar_t>(row, wideSink), expected);
    EXPECT_TRUE(wideSink.AllConverted());
}

INSTANTIATE_TEST_SUITE_P(Rows, StreamBufSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.pszName); });

TEST(StreamBufDetach, HeldAndLaterTextIsDropped)
{
    RecordingSink sink;
    NarrowBuf buf(&sink);
    std::ostream os(&buf);
    os << "held";
    buf.Detach();
    os << "later\n" << std::string(1200, 'q') << std::endl;
    EXPECT_TRUE(os.good());
    EXPECT_TRUE(sink.Pieces().empty());
}

// Each writer thread has a letter of its own and writes it as single characters, short
// strings, lines and flushes through its own stream over the shared buffer. Every character
// must arrive exactly once and no piece may be longer than 511 characters: a put position
// moved past the buffer by two writers at once would lose, repeat or overrun characters.
constexpr int kWritersPerBuffer = 3;
constexpr int kRounds = 2000;

template <class CharT>
void WriteRounds(CEditStreamBuf<CharT, RecordingSink>& buf, char cLetter)
{
    std::basic_ostream<CharT> os(&buf);
    const CharT c = static_cast<CharT>(cLetter);
    const std::basic_string<CharT> strLine = std::basic_string<CharT>(7, c) + CharT('\n');
    for (int i = 0; i < kRounds; ++i) {
        os.put(c);                                         // 1
        os << std::basic_string<CharT>(3, c);              // 3
        if (i % 5 == 0)
            os << strLine;                                 // 7 and LF
        if (i % 11 == 0)
            os.flush();
    }
    os.flush();
}

int ExpectedLetters(int) { return kRounds * 4 + ((kRounds + 4) / 5) * 7; }

TEST(StreamBufThreads, SeveralWritersOnBothBuffersLoseNothing)
{
    RecordingSink sink;
    NarrowBuf narrow(&sink);
    WideBuf wide(&sink);
    std::vector<std::thread> writers;
    for (int t = 0; t < kWritersPerBuffer; ++t) {
        writers.emplace_back([&narrow, t] { WriteRounds(narrow, static_cast<char>('a' + t)); });
        writers.emplace_back([&wide, t] { WriteRounds(wide, static_cast<char>('A' + t)); });
    }
    for (std::thread& th : writers)
        th.join();

    int nCounts[128] = {0};
    for (const std::wstring& piece : sink.Pieces()) {
        EXPECT_LE(piece.size(), STREAMBUF_AREA + 1);
        for (wchar_t ch : piece) {
            ASSERT_LT(static_cast<unsigned>(ch), 128u);
            ++nCounts[ch];
        }
    }
    for (int t = 0; t < kWritersPerBuffer; ++t) {
        EXPECT_EQ(nCounts['a' + t], ExpectedLetters(t)) << "narrow writer " << t;
        EXPECT_EQ(nCounts['A' + t], ExpectedLetters(t)) << "wide writer " << t;
    }
}

// Writers keep going while the buffer is cut from its sink: nothing reaches the sink after
// Detach has returned, and the writers neither crash nor stop.
TEST(StreamBufThreads, DetachWhileWritersRun)
{
    RecordingSink sink;
    NarrowBuf buf(&sink);
    std::atomic<bool> bStop{false};
    std::atomic<long> nWritten{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kWritersPerBuffer; ++t) {
        writers.emplace_back([&] {
            std::ostream os(&buf);
            while (!bStop.load()) {
                os << "some text\n";
                os.put('x');
                ++nWritten;
            }
        });
    }
    auto waitForWrites = [&](long nAtLeast) {
        for (int i = 0; i < 100000 && nWritten.load() < nAtLeast; ++i)
            std::this_thread::yield();
        return nWritten.load() >= nAtLeast;
    };
    EXPECT_TRUE(waitForWrites(500));
    buf.Detach();
    const size_t nPiecesAtDetach = sink.Pieces().size();
    EXPECT_TRUE(waitForWrites(nWritten.load() + 500));
    bStop = true;
    for (std::thread& th : writers)
        th.join();
    EXPECT_GT(nPiecesAtDetach, 0u);
    EXPECT_EQ(sink.Pieces().size(), nPiecesAtDetach);
}

}  // namespace
