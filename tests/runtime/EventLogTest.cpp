// Event-log records: one information record per message, cut at 255
// characters, written literally by traces, echoed to standard output only
// when the process runs in place, and rendered by the program's message table
// exactly as written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/EventLog.h"
#include "runtime/Handles.h"
#include "runtime/ZeltAgentSvcModule.h"
#include "support/TestSupport.h"

namespace {

struct RecordedEvent
{
    WORD type;
    WORD category;
    DWORD id;
    std::vector<std::wstring> strings;
};

std::vector<RecordedEvent> g_events;

BOOL WINAPI RecordEvent(HANDLE, WORD type, WORD category, DWORD id, PSID, WORD count, DWORD, LPCWSTR* strings, LPVOID)
{
    RecordedEvent event{type, category, id, {}};
    for (WORD i = 0; i < count; ++i)
        event.strings.emplace_back(strings[i]);
    g_events.push_back(event);
    return TRUE;
}

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

class EventLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_events.clear();
        g_pfnReportEvent = &RecordEvent;
    }
    void TearDown() override { g_pfnReportEvent = &ReportEventW; }

    CScopedRecords records;
    CZeltAgentSvcModule module;
};

TEST_F(EventLogTest, WritesOneInformationRecordWithOneString)
{
    WriteEventLog(module, L"Service started");
    ASSERT_EQ(1u, g_events.size());
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, g_events[0].type);
    EXPECT_EQ(0, g_events[0].category);
    EXPECT_EQ(0u, g_events[0].id);
    EXPECT_EQ(std::vector<std::wstring>{L"Service started"}, g_events[0].strings);
}

TEST_F(EventLogTest, LongMessagesKeepTheirFirst255Characters)
{
    std::wstring message;
    for (int i = 0; i < 300; ++i)
        message += static_cast<wchar_t>(L'a' + i % 26);
    WriteEventLog(module, L"%s", message.c_str());
    ASSERT_EQ(1u, g_events.size());
    EXPECT_EQ(message.substr(0, 255), g_events[0].strings[0]);
}

TEST_F(EventLogTest, FormatsTheConversionsTheHostUses)
{
    WriteEventLog(module, L"%s|%d|%hu|%lu", L"x", -3, static_cast<unsigned short>(65535), 4000000000ul);
    ASSERT_EQ(1u, g_events.size());
    EXPECT_EQ(L"x|-3|65535|4000000000", g_events[0].strings[0]);
}

TEST_F(EventLogTest, TracesAreWrittenLiterally)
{
    WriteTrace(module, std::wstring(L"==> StartProcess: end_fail-1.[err=2]\ncmd=[a.exe %d %s %%]"));
    ASSERT_EQ(1u, g_events.size());
    EXPECT_EQ(L"==> StartProcess: end_fail-1.[err=2]\ncmd=[a.exe %d %s %%]", g_events[0].strings[0]);
}

TEST_F(EventLogTest, EchoesToStandardOutputOnlyInPlace)
{
    CCapturedOutput serviceOutput;
    WriteEventLog(module, L"in service mode");
    EXPECT_EQ("", serviceOutput.Take());

    module.m_bRunAsService = FALSE;
    CCapturedOutput inPlaceOutput;
    WriteEventLog(module, L"in place %d", 7);
    WriteTrace(module, std::wstring(L"\u0416\u4E2D"));
    EXPECT_EQ("in place 7\n\xD0\x96\xE4\xB8\xAD\n", inPlaceOutput.Take());
    EXPECT_EQ(3u, g_events.size());
}

// Renders a record as Event Viewer does: the message of the record's event id
// from the program's message table, with the record's strings inserted.
std::wstring RenderRecord(HMODULE program, const RecordedEvent& event)
{
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& text : event.strings)
        arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
    wchar_t* rendered = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        program, event.id, 0, reinterpret_cast<wchar_t*>(&rendered), 0,
                                        reinterpret_cast<va_list*>(arguments.data()));
    if (length == 0)
        return L"<FormatMessageW failed: " + std::to_wstring(GetLastError()) + L">";
    std::wstring text(rendered, length);
    LocalFree(rendered);
    return text;
}

TEST_F(EventLogTest, ProgramMessageTableRendersEachRecordExactly)
{
    CLibraryHandle program(LoadLibraryExW(BuiltProgramPath(L"ZeltAgentSvc.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(program.IsValid());
    std::wstring longTrace = L"==> RegisterAppId: end_fail-3.\ndir=[";
    while (longTrace.size() < 300)
        longTrace += L"C:\\Zelt %1 50% ";
    WriteEventLog(module, L"Service started");
    WriteTrace(module, std::wstring(L"==> StartProcess: end_fail-1.[err=2]\ncmd=[a.exe %1 %d %% 100%!s! %0]"));
    WriteTrace(module, std::wstring(longTrace));
    ASSERT_EQ(3u, g_events.size());
    EXPECT_EQ(255u, g_events[2].strings[0].size());
    for (const RecordedEvent& event : g_events)
        EXPECT_EQ(event.strings[0], RenderRecord(program.Get(), event));
}

}  // namespace
