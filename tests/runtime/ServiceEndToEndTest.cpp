// The host program as a service under the service manager, with the command
// line the installer writes and "LocalService" set: the status sequence, the
// stop through the control port and its failures, a user control, the failing
// launch, a stop right after the start, a start by hand, and the report of
// "/status", and the output of an instance installed with /output=on. Stops
// while the agent keeps relaunching are the stop storm's (tests/reliability).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

// The running service keeps the base name: its command line has no number.
constexpr const wchar_t* kServiceName = L"ZeltAgentSvc";
const std::string kShutdownHex = "73687574646f776e0a";

// A JSON value as a strict reader of the format sees it, for checking the
// report independently of how the host writes it.
struct JsonValue
{
    enum class Kind { Null, Boolean, Number, String, Array, Object } kind = Kind::Null;
    std::wstring text;  // a string decoded, a number or boolean as written
    std::vector<JsonValue> items;
    std::map<std::wstring, JsonValue> members;
};

class CJsonReader
{
public:
    // False when the text is not exactly one JSON value.
    static bool Read(const std::string& text, JsonValue& value)
    {
        CJsonReader reader(text);
        return reader.Value(value) && (reader.SkipBlanks(), reader.m_at == text.size());
    }

private:
    explicit CJsonReader(const std::string& text) : m_text(text) {}

    void SkipBlanks()
    {
        while (m_at < m_text.size() && std::string(" \t\r\n").find(m_text[m_at]) != std::string::npos)
            ++m_at;
    }
    bool Take(char c)
    {
        SkipBlanks();
        if (m_at >= m_text.size() || m_text[m_at] != c)
            return false;
        ++m_at;
        return true;
    }
    bool Word(const char* word, JsonValue::Kind kind, JsonValue& value)
    {
        const size_t length = std::string(word).size();
        if (m_text.compare(m_at, length, word) != 0)
            return false;
        m_at += length;
        value.kind = kind;
        value.text = Widen(word);
        return true;
    }
    bool Value(JsonValue& value)
    {
        SkipBlanks();
        if (m_at >= m_text.size())
            return false;
        const char c = m_text[m_at];
        if (c == '{')
            return Object(value);
        if (c == '[')
            return Array(value);
        if (c == '"')
            return (value.kind = JsonValue::Kind::String, String(value.text));
        if (c == 'n')
            return Word("null", JsonValue::Kind::Null, value);
        if (c == 't' || c == 'f')
            return Word(c == 't' ? "true" : "false", JsonValue::Kind::Boolean, value);
        const size_t start = m_at;
        while (m_at < m_text.size() && std::string("-+.eE0123456789").find(m_text[m_at]) != std::string::npos)
            ++m_at;
        value.kind = JsonValue::Kind::Number;
        value.text = Widen(m_text.substr(start, m_at - start));
        return m_at > start;
    }
    bool String(std::wstring& text)
    {
        ++m_at;  // the opening quote
        while (m_at < m_text.size() && m_text[m_at] != '"')
        {
            const unsigned char c = static_cast<unsigned char>(m_text[m_at++]);
            if (c < 0x20 || c > 0x7E)
                return false;  // the report is ASCII: raw control or other bytes are wrong
            if (c != '\\')
            {
                text += static_cast<wchar_t>(c);
                continue;
            }
            if (m_at >= m_text.size())
                return false;
            const char escape = m_text[m_at++];
            const std::string plain = "\"\\/bfnrt";
            const std::wstring meant = L"\"\\/\b\f\n\r\t";
            if (plain.find(escape) != std::string::npos)
                text += meant[plain.find(escape)];
            else if (escape == 'u' && m_at + 4 <= m_text.size())
            {
                text += static_cast<wchar_t>(std::strtoul(m_text.substr(m_at, 4).c_str(), nullptr, 16));
                m_at += 4;
            }
            else
                return false;
        }
        return Take('"');
    }
    bool Array(JsonValue& value)
    {
        value.kind = JsonValue::Kind::Array;
        ++m_at;
        if (Take(']'))
            return true;
        do
        {
            value.items.emplace_back();
            if (!Value(value.items.back()))
                return false;
        } while (Take(','));
        return Take(']');
    }
    bool Object(JsonValue& value)
    {
        value.kind = JsonValue::Kind::Object;
        ++m_at;
        if (Take('}'))
            return true;
        do
        {
            std::wstring name;
            SkipBlanks();
            if (m_at >= m_text.size() || m_text[m_at] != '"' || !String(name) || !Take(':') ||
                !Value(value.members[name]))
                return false;
        } while (Take(','));
        return Take('}');
    }

    const std::string& m_text;
    size_t m_at = 0;
};

// The member's text, "<missing>" when the object has none.
std::wstring Member(const JsonValue& object, const wchar_t* name)
{
    const auto found = object.members.find(name);
    return found == object.members.end() ? L"<missing>" : found->second.text;
}

// The report's values for one instance, each as JSON text, as the README
// names them.
const wchar_t* const kStatusFields[] = {L"service", L"state", L"port", L"agentPid", L"agentImage", L"agentSince",
                                        L"agentRunMs", L"starts", L"lastExitCode", L"lastRunMs", L"lastEndTime"};

class ServiceEndToEndTest : public ::testing::Test
{
protected:
    // The service goes first, then its agents.
    ~ServiceEndToEndTest() override { service.reset(); }

    void Install(USHORT port, const std::wstring& options = L"", const std::wstring& cmd = L"")
    {
        std::wstring agentLine = std::wstring(kDemoAgentName) + L" --port=" + std::to_wstring(port) + L" --log=" + log.Path();
        if (!options.empty())
            agentLine += L" " + options;
        service = std::make_unique<CScopedService>(kServiceName, HostCommandLine(port, kDemoAgentName, cmd.empty() ? agentLine : cmd));
        ASSERT_TRUE(appId.IsCreated());
        ASSERT_NE(nullptr, service->Get());
    }

    // Starts the service and records every state seen until `last`; only a
    // 0 when it could not be started.
    std::vector<DWORD> StartAndWatch(DWORD last)
    {
        std::vector<DWORD> seen;
        if (!StartServiceW(service->Get(), 0, nullptr))
            return {0};
        WaitUntil([&] {
            const SERVICE_STATUS status = service->Query();
            if (seen.empty() || seen.back() != status.dwCurrentState)
                seen.push_back(status.dwCurrentState);
            EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN),
                      status.dwControlsAccepted);
            // Only a pending state carries a checkpoint and a wait hint (the
            // manager's own START_PENDING, before the service's first
            // report, may carry none).
            if (status.dwCurrentState != SERVICE_START_PENDING)
            {
                EXPECT_EQ(0u, status.dwCheckPoint) << status.dwCurrentState;
                EXPECT_EQ(0u, status.dwWaitHint) << status.dwCurrentState;
            }
            return status.dwCurrentState == last;
        });
        return seen;
    }

    // Opens the agent once it listens (or, without listening, once it started).
    CKernelHandle OpenAgent(const char* event = "listening")
    {
        EXPECT_TRUE(log.WaitForCount(event, 1));
        const std::vector<DWORD> ids = log.StartedIds();
        return CKernelHandle(ids.empty() ? nullptr : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, ids[0]));
    }

    // Stops the service; the state the control returned and the final status.
    SERVICE_STATUS Stop(DWORD& pendingState)
    {
        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(service->Get(), SERVICE_CONTROL_STOP, &status));
        pendingState = status.dwCurrentState;
        EXPECT_TRUE(service->WaitForState(SERVICE_STOPPED));
        return service->Query();
    }

    static DWORD ExitCodeOf(const CKernelHandle& process)
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 10000));
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process.Get(), &code);
        return code;
    }

    CAgentReaper reaper;
    CScopedAppIdKey appId{true};
    CAgentLog log;
    std::unique_ptr<CScopedService> service;
};

// A user control leaves the service and its agent running; the stop then
// sends the line, and the agent ends by itself. The child it started ends
// with it before the service reports STOPPED.
TEST_F(ServiceEndToEndTest, CleanRunKeepsRunningThroughAUserControlAndTheAgentEndsOnTheLine)
{
    Install(FindFreePort(), L"--spawnchild");
    const std::vector<DWORD> started = StartAndWatch(SERVICE_RUNNING);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), started.back());
    for (DWORD state : started)  // START_PENDING may pass before the first look
        EXPECT_TRUE(state == SERVICE_START_PENDING || state == SERVICE_RUNNING) << state;
    CKernelHandle agent = OpenAgent();
    ASSERT_TRUE(agent);
    ASSERT_TRUE(log.WaitForCount("child", 1));

    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service->Get(), 128, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(agent.Get(), 200));

    DWORD pending = 0;
    const SERVICE_STATUS stopped = Stop(pending);
    // The stop may already be complete when the control's answer is read.
    EXPECT_TRUE(pending == SERVICE_STOP_PENDING || pending == SERVICE_STOPPED) << pending;
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(0u, ExitCodeOf(agent));  // ended by itself, not terminated
    EXPECT_EQ(kShutdownHex, log.ReceivedHex());
    EXPECT_EQ(1u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
}

// An agent that ignores the line gets its 3000 ms before it is terminated;
// one that does not listen gets no line and is terminated after the connect
// budget. Meanwhile STOP_PENDING carries a wait hint that covers the connect
// budget and the agent's 3000 ms, and a checkpoint that advances. The
// agent's child ends with it before STOPPED.
TEST_F(ServiceEndToEndTest, AgentThatDoesNotEndOnTheLineIsTerminated)
{
    const struct { const wchar_t* options; const char* event; std::string received; } cases[] = {
        {L"--ignore --spawnchild", "listening", kShutdownHex}, {L"--nolisten --spawnchild", "start", ""}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(Narrow(c.options));
        ASSERT_NO_FATAL_FAILURE(Install(FindFreePort(), c.options));
        ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StartAndWatch(SERVICE_RUNNING).back());
        CKernelHandle agent = OpenAgent(c.event);
        ASSERT_TRUE(agent);
        ASSERT_TRUE(log.WaitForCount("child", 1));
        const ULONGLONG begin = GetTickCount64();
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service->Get(), SERVICE_CONTROL_STOP, &status));
        std::vector<DWORD> checkpoints;
        DWORD waitHint = 0;
        ASSERT_TRUE(WaitUntil([&] {
            SERVICE_STATUS_PROCESS seen{};
            DWORD needed = 0;
            EXPECT_TRUE(QueryServiceStatusEx(service->Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&seen),
                                             sizeof(seen), &needed));
            if (seen.dwCurrentState == SERVICE_STOP_PENDING &&
                (checkpoints.empty() || checkpoints.back() != seen.dwCheckPoint))
                checkpoints.push_back(seen.dwCheckPoint);
            waitHint = std::max(waitHint, seen.dwWaitHint);
            return seen.dwCurrentState == SERVICE_STOPPED;
        }, 30000));
        EXPECT_TRUE(FindProcesses(kDemoAgentName).empty()) << "the agent's tree outlived STOPPED";
        EXPECT_EQ(0u, service->Query().dwWin32ExitCode);
        EXPECT_GE(waitHint, 1000u + 3000u);
        EXPECT_GE(checkpoints.size(), c.received.empty() ? 1u : 3u) << "the checkpoint did not advance";
        EXPECT_TRUE(std::is_sorted(checkpoints.begin(), checkpoints.end()));
        if (!c.received.empty())
        {
            EXPECT_GE(GetTickCount64() - begin, 2900u) << "terminated before its 3000 ms were over";
        }
        EXPECT_EQ(1u, ExitCodeOf(agent));
        EXPECT_EQ(c.received, log.ReceivedHex());
        service.reset();
        EXPECT_TRUE(WaitForServiceGone(kServiceName));
        DeleteFileW(log.Path().c_str());
    }
}

TEST_F(ServiceEndToEndTest, FailingLaunchStopsTheServiceWithItsResult)
{
    Install(FindFreePort(), L"", L"missing-program-4711.exe");
    const std::vector<DWORD> seen = StartAndWatch(SERVICE_STOPPED);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), seen.back());
    EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), static_cast<DWORD>(SERVICE_RUNNING)));
    EXPECT_EQ(0x80070002u, service->Query().dwWin32ExitCode);
}

// A stop sent right after the start reaches the service while it is still
// starting. Every try ends STOPPED with exit code 0, RUNNING never follows
// STOP_PENDING, and no agent is left behind.
TEST_F(ServiceEndToEndTest, StopRightAfterStartIsNeverLost)
{
    Install(FindFreePort());
    for (int round = 0; round < 20; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(StartServiceW(service->Get(), 0, nullptr)) << GetLastError();
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service->Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
        bool bStopPendingSeen = status.dwCurrentState == SERVICE_STOP_PENDING;
        bool bRunningAfterStopPending = false;
        ASSERT_TRUE(WaitUntil([&] {
            const DWORD state = service->Query().dwCurrentState;
            bRunningAfterStopPending |= bStopPendingSeen && state == SERVICE_RUNNING;
            bStopPendingSeen |= state == SERVICE_STOP_PENDING;
            return state == SERVICE_STOPPED;
        }, 15000));
        EXPECT_FALSE(bRunningAfterStopPending);
        EXPECT_EQ(0u, service->Query().dwWin32ExitCode);
        EXPECT_TRUE(WaitUntil([] { return FindProcesses(kDemoAgentName).empty(); }, 5000));
    }
}

TEST_F(ServiceEndToEndTest, StartedByHandItEndsWith1063AndRunsNoAgent)
{
    ASSERT_TRUE(appId.IsCreated());
    const ProgramResult result = RunHostByHand(log);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(1063u, result.exitCode);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(0u, log.Count("start"));
}

// The published agent id, read as any reader of the key would; 0 when none.
DWORD PublishedAgentId()
{
    DWORD id = 0;
    DWORD bytes = sizeof(id);
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\ZeltAgentSvc\\Status",
                        L"AgentProcessId", RRF_RT_REG_DWORD, nullptr, &id, &bytes) == ERROR_SUCCESS
               ? id
               : 0;
}

// The one instance of the JSON report, checked field by field.
JsonValue ReadOneInstance(const std::string& output)
{
    JsonValue report;
    EXPECT_TRUE(CJsonReader::Read(output, report)) << output;
    EXPECT_EQ(JsonValue::Kind::Array, report.kind);
    if (report.items.size() != 1)
    {
        ADD_FAILURE() << output;
        return JsonValue();
    }
    for (const wchar_t* field : kStatusFields)
        EXPECT_EQ(1u, report.items[0].members.count(field)) << Narrow(field);
    return report.items[0];
}

// "/status" without an instance, with a stopped one, with its agent (whose
// id the agent logs itself), after the agent was killed with an exit code of
// the test's choosing and relaunched, beside a second, stopped instance, and
// after the stop; as lines and as JSON, with the exit codes 2, 1 and 0.
TEST_F(ServiceEndToEndTest, StatusShowsTheAgentAndItsLastEnd)
{
    ProgramResult result = RunHostWithOutput(L"/status");
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_EQ("No instance of ZeltAgentSvc is installed.\n", result.output);
    result = RunHostWithOutput(L"/status /json");
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_EQ("[]\n", result.output);

    const USHORT port = FindFreePort();
    Install(port);
    result = RunHostWithOutput(L"/status");
    EXPECT_EQ(1u, result.exitCode);
    // Each line ends with the instance's settings, as the README says.
    const std::string defaults = ", probing off, output off\n";
    EXPECT_EQ("ZeltAgentSvc: stopped, port " + std::to_string(port) + ", no agent" + defaults, result.output);
    // Redirected, the line is UTF-8.
    result = RunHostWithOutput(L"/status /num=\u00e9");
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_EQ("ZeltAgentSvc-\xC3\xA9: not installed\n", result.output);

    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StartAndWatch(SERVICE_RUNNING).back());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    const DWORD first = log.StartedIds().at(0);
    result = RunHostWithOutput(L"/status");
    EXPECT_EQ(0u, result.exitCode);
    const std::string agentText = "agent " + std::to_string(first) + " (";
    EXPECT_EQ(0u, result.output.find("ZeltAgentSvc: running, port " + std::to_string(port) + ", " + agentText))
        << result.output;
    EXPECT_NE(std::string::npos, result.output.find("ZeltDemoAgent.exe) since ")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find(", 1 starts, no end yet" + defaults)) << result.output;

    {
        CKernelHandle agent(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, first));
        ASSERT_TRUE(TerminateProcess(agent.Get(), 7));
        WaitForSingleObject(agent.Get(), 10000);
    }
    ASSERT_TRUE(log.WaitForCount("listening", 2));
    const DWORD second = log.StartedIds().at(1);
    ASSERT_TRUE(WaitUntil([&] { return PublishedAgentId() == second; }));
    result = RunHostWithOutput(L"/status");
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_NE(std::string::npos, result.output.find("agent " + std::to_string(second) + " (")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find(", 2 starts, last end: exit code 0x00000007 after "))
        << result.output;

    result = RunHostWithOutput(L"-STATUS -JSON");
    EXPECT_EQ(0u, result.exitCode);
    const JsonValue instance = ReadOneInstance(result.output);
    EXPECT_EQ(L"ZeltAgentSvc", Member(instance, L"service"));
    EXPECT_EQ(L"running", Member(instance, L"state"));
    EXPECT_EQ(std::to_wstring(port), Member(instance, L"port"));
    EXPECT_EQ(std::to_wstring(second), Member(instance, L"agentPid"));
    EXPECT_EQ(L"zeltdemoagent.exe", [&] {
        std::wstring image = Member(instance, L"agentImage");
        image = image.substr(image.find_last_of(L'\\') + 1);
        std::transform(image.begin(), image.end(), image.begin(), ::towlower);
        return image;
    }());
    EXPECT_EQ(L"2", Member(instance, L"starts"));
    EXPECT_EQ(L"7", Member(instance, L"lastExitCode"));
    EXPECT_EQ(20u, Member(instance, L"lastEndTime").size()) << "not ISO 8601 in UTC";

    {
        // A second instance, installed and stopped: one line each, and /num
        // shows it alone.
        const USHORT otherPort = FindFreePort();
        const CScopedService other(L"ZeltAgentSvc-2", HostCommandLine(otherPort, kDemoAgentName, L"never.exe"));
        const std::string otherLine = "ZeltAgentSvc-2: stopped, port " + std::to_string(otherPort) + ", no agent" + defaults;
        result = RunHostWithOutput(L"/status");
        EXPECT_EQ(1u, result.exitCode);
        EXPECT_EQ(0u, result.output.find("ZeltAgentSvc: running")) << result.output;
        EXPECT_EQ(result.output.size() - otherLine.size(), result.output.find("\n" + otherLine) + 1) << result.output;
        result = RunHostWithOutput(L"/status /num=2");
        EXPECT_EQ(1u, result.exitCode);
        EXPECT_EQ(otherLine, result.output);
    }

    DWORD pending = 0;
    Stop(pending);
    EXPECT_EQ(0u, PublishedAgentId());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\ZeltAgentSvc\\Status"));
    result = RunHostWithOutput(L"/status /json");
    EXPECT_EQ(1u, result.exitCode);
    const JsonValue stopped = ReadOneInstance(result.output);
    EXPECT_EQ(L"stopped", Member(stopped, L"state"));
    EXPECT_EQ(L"null", Member(stopped, L"agentPid"));
}

// An instance installed by /Service with output on: the agent's lines and its
// last words land in agent.log in the instance's folder under %ProgramData%,
// which /status names; its quick end is shown as the last end. The records of
// the end (with the last output) are the in-process supervisor's tests'.
TEST(ServiceOutputTest, OutputOnKeepsTheAgentsLinesInTheFileStatusNames)
{
    const CSavedModuleRegistration registration;
    wchar_t data[MAX_PATH];
    ASSERT_NE(0u, ExpandEnvironmentStringsW(L"%ProgramData%", data, MAX_PATH));
    const std::wstring folder = std::wstring(data) + L"\\ZeltAgentSvc\\ZeltAgentSvc-9";
    struct CRemoval
    {
        const std::wstring& folder;
        ~CRemoval()
        {
            RunHost(L"/unregserver /num=9");
            WaitForServiceGone(L"ZeltAgentSvc-9");
            DeleteTree(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc-9"));
            for (const wchar_t* name : {L"agent.log", L"agent.1.log", L"agent.2.log"})
                DeleteFileW((folder + L"\\" + name).c_str());
            RemoveDirectoryW(folder.c_str());
            RemoveDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str());  // when no other instance's is there
        }
    } removal{folder};
    const std::wstring port = std::to_wstring(FindFreePort());
    ASSERT_EQ(0u, RunHost(L"/Service /port=" + port + L" /agent=ZeltDemoAgent.exe \"/cmd=ZeltDemoAgent.exe --port=" +
                          port + L" --chatter=3 --exitnow\" /num=9 /output=on /outputsize=1"));
    ASSERT_TRUE(StartServiceW(OpenTestService(L"ZeltAgentSvc-9", SERVICE_START).Get(), 0, nullptr)) << GetLastError();

    const std::wstring file = folder + L"\\agent.log";
    ASSERT_TRUE(WaitUntil([&] { return ReadFileText(file).find("exiting: ") != std::string::npos; })) << ReadFileText(file);
    const std::string text = ReadFileText(file);
    for (const char* line : {"out 0 to standard output\n", "err 0 to standard error\n", "out 2 to standard output\n",
                             "err 2 to standard error\nexiting: "})
        EXPECT_NE(std::string::npos, text.find(line)) << line << " in " << text;

    // The record of the agent's end carries its last line, as the service
    // reported it (the suite's session writes the records to a file).
    const std::wstring events = TestProgramDirectory() + L"\\..\\wine-events.txt";
    const auto lastWords = [&] {
        const std::string text = ReadFileText(events);
        const size_t at = text.find("last output: ");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    ASSERT_TRUE(WaitUntil([&] { return !lastWords().empty(); })) << Narrow(events);
    EXPECT_NE(std::string::npos, lastWords().find("exiting: ")) << lastWords();

    ASSERT_TRUE(WaitUntil([] { return RunHostWithOutput(L"/status /num=9").output.find(", last end: ") != std::string::npos; }));
    const std::string status = RunHostWithOutput(L"/status /num=9").output;
    EXPECT_NE(std::string::npos, status.find("last end: exit code 0x00000000 after ")) << status;
    EXPECT_NE(std::string::npos, status.find(", output " + Narrow(file))) << status;
}

}  // namespace
