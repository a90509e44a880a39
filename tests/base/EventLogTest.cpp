// Event-log records: one record per message under the service's name, cut at
// 1023 characters, written literally by traces, echoed to standard output only
// when the process runs in place, and rendered by the program's message table
// exactly as written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/EventLog.h"
#include "base/Handles.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

// Sends standard output into a pipe for the life of the object.
class CCapturedOutput
{
public:
    CCapturedOutput() : m_previous(GetStdHandle(STD_OUTPUT_HANDLE))
    {
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16);
        m_reader.Reset(readEnd);
        m_writer.Reset(writeEnd);
        SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
    }
    ~CCapturedOutput() { SetStdHandle(STD_OUTPUT_HANDLE, m_previous); }

    std::string Take()
    {
        SetStdHandle(STD_OUTPUT_HANDLE, m_previous);
        m_writer.Reset();
        std::string text;
        char buffer[1024];
        DWORD read = 0;
        while (ReadFile(m_reader.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
            text.append(buffer, read);
        return text;
    }

private:
    HANDLE m_previous;
    CKernelHandle m_reader;
    CKernelHandle m_writer;
};

// What the event log reads of the module it writes for: the source name and
// whether the process runs in place.
struct CLogOwner
{
    wchar_t m_serviceName[256] = L"ZeltAgentSvc";
    BOOL m_bRunAsService = TRUE;
};

class EventLogTest : public ::testing::Test
{
protected:
    CLogOwner owner;
    CEventLogCapture events;
};

TEST_F(EventLogTest, TracesAreWrittenLiterallyAndCutAt1023Characters)
{
    const std::wstring trace = L"==> StartProcess: end_fail-1.[err=2]\ncmd=[a.exe %d %s %%]";
    std::wstring longTrace;
    for (int i = 0; i < 1100; ++i)
        longTrace += static_cast<wchar_t>(L'a' + i % 26);
    WriteTrace(owner, EventKind::LaunchFailed, std::wstring(trace));
    WriteTrace(owner, EventKind::LaunchFailed, std::wstring(longTrace));
    EXPECT_EQ((std::vector<std::wstring>{trace, longTrace.substr(0, 1023)}), events.Messages());
}

TEST_F(EventLogTest, EchoesToStandardOutputOnlyInPlace)
{
    CCapturedOutput serviceOutput;
    WriteEventLog(owner, EventKind::ServiceStarted, L"in service mode");
    EXPECT_EQ("", serviceOutput.Take());

    owner.m_bRunAsService = FALSE;
    CCapturedOutput inPlaceOutput;
    WriteEventLog(owner, EventKind::ServiceStarted, L"in place");
    WriteTrace(owner, EventKind::RunFailed, std::wstring(L"\u0416\u4E2D"));
    EXPECT_EQ("in place\n\xD0\x96\xE4\xB8\xAD\n", inPlaceOutput.Take());
    EXPECT_EQ(3u, events.Messages().size());
}

// Renders a record as Event Viewer does: the message of the record's event id
// from the program's message table, with the record's one string inserted.
std::wstring RenderRecord(HMODULE program, DWORD eventId, const std::wstring& message)
{
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(message.c_str())};
    wchar_t* rendered = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        program, eventId, 0, reinterpret_cast<wchar_t*>(&rendered), 0,
                                        reinterpret_cast<va_list*>(arguments));
    if (length == 0)
        return L"<FormatMessageW failed: " + std::to_wstring(GetLastError()) + L">";
    std::wstring text(rendered, length);
    LocalFree(rendered);
    return text;
}

// Every kind of record at the level and with the event id the README's
// record table gives it, each rendered by the program's message table as
// exactly its text (id 0, what earlier versions wrote, included).
TEST_F(EventLogTest, EachKindHasItsLevelAndIdAndRendersExactly)
{
    CLibraryHandle program(LoadLibraryExW(BuiltProgramPath(L"ZeltAgentSvc.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(program.IsValid());
    const WORD info = EVENTLOG_INFORMATION_TYPE, warning = EVENTLOG_WARNING_TYPE, error = EVENTLOG_ERROR_TYPE;
    const struct
    {
        EventKind kind;
        WORD level;
        DWORD id;
    } documented[] = {
        {EventKind::ServiceStarted, info, 1},     {EventKind::ServiceStopped, info, 2},
        {EventKind::HandlerNotInstalled, error, 3}, {EventKind::BadServiceRequest, warning, 4},
        {EventKind::RegistrationFailed, error, 5},  {EventKind::RunFailed, error, 6},
        {EventKind::LaunchFailed, error, 7},        {EventKind::InstallationFailed, error, 8},
        {EventKind::AgentEnded, info, 9},           {EventKind::AgentEndedDelayed, warning, 10},
        {EventKind::AgentOutsideTree, warning, 11}, {EventKind::ExitWaitFailed, error, 12},
        {EventKind::AgentNotAnswering, warning, 13}, {EventKind::AgentOutputDropped, warning, 14},
    };
    std::wstring longTrace = L"==> RegisterAppId: end_fail-3.\ndir=[";
    while (longTrace.size() < 1100)
        longTrace += L"C:\\Zelt %1 50% ";
    for (const auto& entry : documented)
        WriteTrace(owner, entry.kind, std::wstring(longTrace));
    WriteTrace(owner, EventKind::LaunchFailed, std::wstring(L"==> StartProcess: end_fail-1.[err=2]\ncmd=[a.exe %1 %d %% 100%!s! %0]"));
    const std::vector<CEventLogCapture::Record> records = events.Records();
    ASSERT_EQ(ARRAYSIZE(documented) + 1, records.size());
    for (size_t i = 0; i < ARRAYSIZE(documented); ++i)
    {
        EXPECT_EQ(documented[i].level, records[i].level) << i;
        EXPECT_EQ(documented[i].id, records[i].eventId) << i;
    }
    for (const CEventLogCapture::Record& record : records)
        EXPECT_EQ(record.message, RenderRecord(program.Get(), record.eventId, record.message));
    EXPECT_EQ(1023u, records[0].message.size());
    EXPECT_EQ(records.back().message, RenderRecord(program.Get(), 0, records.back().message));
}

}  // namespace
