// The event log's message table as Event Viewer reads it: pellarin.dll loaded as a data file,
// each event that the relay and ssllib32.dll report formatted by FormatMessage from the
// entry's own id and insertion strings, in Korean and in English. A wrong id, a missing or
// misplaced insertion, a message missing from a language or a wrong severity shows here.
// (Wine's event log accepts reports and discards them, so the table is what can be checked.)
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/event_log.h"

namespace {

constexpr LANGID KOREAN = MAKELANGID(LANG_KOREAN, SUBLANG_DEFAULT);
constexpr LANGID ENGLISH = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr unsigned INFORMATION = 1, WARNING = 2, ERROR_ = 3;  // an id's top two bits

std::wstring ThisProgram()
{
    wchar_t szPath[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    return szPath;
}

// The message as Event Viewer renders it, without the line break windmc ends it with; an
// id the table lacks gives "<error N>".
std::wstring Render(HMODULE hMessages, const EventLog::Entry& entry, LANGID lang)
{
    const std::vector<std::wstring> inserts = EventLog::InsertionStrings(entry);
    std::vector<DWORD_PTR> args;
    for (const std::wstring& insert : inserts)
        args.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    wchar_t* pszText = nullptr;
    const DWORD nChars = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
            FORMAT_MESSAGE_ALLOCATE_BUFFER,
        hMessages, entry.nId, lang, reinterpret_cast<wchar_t*>(&pszText), 0,
        reinterpret_cast<va_list*>(args.data()));
    if (nChars == 0)
        return L"<error " + std::to_wstring(::GetLastError()) + L">";
    std::wstring text(pszText, nChars);
    ::LocalFree(pszText);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text;
}

class EventMessagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // As Event Viewer opens an EventMessageFile: resources only, no code run.
        wchar_t szPath[MAX_PATH] = L"pellarin.dll";
        ::GetEnvironmentVariableW(L"PELLARIN_MESSAGE_DLL", szPath, MAX_PATH);
        s_hMessages = ::LoadLibraryExW(szPath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static void TearDownTestSuite() { ::FreeLibrary(s_hMessages); }
    static HMODULE s_hMessages;
};
HMODULE EventMessagesTest::s_hMessages = nullptr;

TEST_F(EventMessagesTest, EveryReportedEventRendersWithItsInsertionsInBothLanguages)
{
    ASSERT_NE(s_hMessages, nullptr) << "pellarin.dll not loaded: " << ::GetLastError();
    const std::wstring program = ThisProgram();
    HealthDay day;
    day.date.nYear = 2026, day.date.nMonth = 12, day.date.nDay = 8;
    for (int i = 0; i < HEALTH_COUNTER_COUNT; ++i)
        day.figures[i] = 100 + i;
    struct Row {
        EventLog::Entry entry;
        unsigned nSeverity;
        std::wstring korean;
        std::wstring english;
    };
    const Row rows[] = {
        {EventLog::Started("1.3"), INFORMATION,
         L"Pellarin 1.3 시작 (프로그램 " + program + L")",
         L"Pellarin 1.3 started (program " + program + L")"},
        {EventLog::Ended(), INFORMATION,
         L"Pellarin 종료 (프로그램 " + program + L")",
         L"Pellarin ended (program " + program + L")"},
        {EventLog::PortOpenFailed("COM3"), ERROR_,
         L"COM3 Open 실패! 포트를 열 수 없습니다.",
         L"COM3 could not be opened: the card terminal cannot be reached."},
        {EventLog::PortLost("\\\\.\\COM12"), ERROR_,
         L"\\\\.\\COM12 포트 연결 끊김!",
         L"\\\\.\\COM12 was lost: the device stopped answering."},
        {EventLog::ConnectFailed("192.168.10.20", 8443, -2), WARNING,
         L"#1 접속오류!![-2] 192.168.10.20:8443",
         L"Connect error #1: the host 192.168.10.20:8443 could not be reached (result -2)."},
        {EventLog::TlsStartFailed("10.0.0.7", 443), WARNING,
         L"#2 접속오류!! 10.0.0.7:443",
         L"Connect error #2: TLS with the host 10.0.0.7:443 could not be started."},
        {EventLog::CertificateRejected("127.0.0.1:4433",
                                       "certificate does not name 127.0.0.1"), ERROR_,
         L"127.0.0.1:4433 서버 인증서 거부: certificate does not name 127.0.0.1",
         L"The server certificate of 127.0.0.1:4433 was rejected: certificate does not name "
         L"127.0.0.1"},
        {EventLog::VerificationOff("127.0.0.1:4433"), WARNING,
         L"127.0.0.1:4433 서버 인증서를 검증하지 않습니다 (InsecureSkipVerify, 시험용).",
         L"The server certificate of 127.0.0.1:4433 is not verified (InsecureSkipVerify, lab "
         L"use only)."},
        {EventLog::DailySummary(day), INFORMATION,
         L"일일 요약 2026-12-08: 단말 프레임 100 (101바이트), 호스트 블록 102 (103바이트), "
         L"접속 TCP 104 TLS 105, 접속오류 #1 106 #2 107 #3 108, 종료 DLE 109 EOM 110 호스트 111 "
         L"송신실패 112, 포트 끊김 113 재연결 114, 로그 생략 115줄",
         L"Daily summary 2026-12-08: terminal frames 100 (101 bytes), host blocks 102 (103 "
         L"bytes), connections TCP 104 TLS 105, connect errors #1 106 #2 107 #3 108, ended by "
         L"DLE 109 EOM 110 host 111 failed send 112, port lost 113 reopened 114, log lines "
         L"dropped 115"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.english);
        EXPECT_EQ(row.entry.nId >> 30, row.nSeverity);
        EXPECT_EQ(Render(s_hMessages, row.entry, KOREAN), row.korean);
        EXPECT_EQ(Render(s_hMessages, row.entry, ENGLISH), row.english);
    }
}

// Insertions are code page 949 text (a port name typed into the settings window, a program
// folder with a Hangul name) and reach the log as UTF-16; an overlong one is cut.
TEST_F(EventMessagesTest, InsertionsAreConvertedFromCodePage949AndBounded)
{
    ASSERT_EQ(::GetACP(), 949u) << "the tests run Wine in the Korean locale";
    EXPECT_EQ(Render(s_hMessages, EventLog::PortLost("포트1"), KOREAN), L"포트1 포트 연결 끊김!");

    const std::string longName(3 * EventLog::MAX_INSERT_CHARS, 'C');
    const std::vector<std::wstring> inserts =
        EventLog::InsertionStrings(EventLog::PortOpenFailed(longName));
    ASSERT_EQ(inserts.size(), 1u);
    EXPECT_EQ(inserts[0], std::wstring(EventLog::MAX_INSERT_CHARS, L'C'));
}

}  // namespace
