// The agent supervisor in process: adoption, a failed launch and relaunch,
// the agent's tree, the delay after quick ends and the records of the ends,
// the agent's output kept in rotated files and its last words in the records,
// a late listener, a failed exit wait, and what a stop or the destruction
// leaves. Launch and relaunch per end are checked through the host in place
// (tests/host), stops at random moments by the stop storm
// (tests/reliability). The agent is the demo agent.
#include <gtest/gtest.h>

#include "agent/Socket.h"  // Windows Sockets before windows.h

#include <aclapi.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/AgentEndLog.h"
#include "agent/AgentOutput.h"
#include "agent/AgentSupervisor.h"
#include "agent/ExitWait.h"
#include "agent/ProgramPath.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

// Collects the records a supervisor writes, from any thread.
class CTraceRecorder
{
public:
    TraceWriter Writer()
    {
        return [this](EventKind kind, const std::wstring& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.emplace_back(kind, line);
        };
    }
    std::vector<std::pair<EventKind, std::wstring>> Records() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
    }
    // The lines of one kind.
    std::vector<std::wstring> Lines(EventKind kind) const
    {
        std::vector<std::wstring> lines;
        for (const auto& record : Records())
        {
            if (record.first == kind)
                lines.push_back(record.second);
        }
        return lines;
    }
    // The records of the agent's ends, of either kind.
    std::vector<std::pair<EventKind, std::wstring>> Ends() const
    {
        std::vector<std::pair<EventKind, std::wstring>> ends;
        for (const auto& record : Records())
        {
            if (record.first == EventKind::AgentEnded || record.first == EventKind::AgentEndedDelayed)
                ends.push_back(record);
        }
        return ends;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<EventKind, std::wstring>> m_records;
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The demo agent's log times ("t=" in microseconds) of lines with a prefix.
std::vector<long long> LoggedTimes(const CAgentLog& log, const std::string& prefix)
{
    std::vector<long long> times;
    for (const std::string& line : log.Lines())
    {
        const size_t at = line.find(" t=");
        if (line.compare(0, prefix.size(), prefix) == 0 && at != std::string::npos)
            times.push_back(std::stoll(line.substr(at + 3)));
    }
    return times;
}

class AgentHostTest : public ::testing::Test
{
protected:
    AgentHostTest() { EXPECT_EQ(S_OK, StartSockets()); }
    // A failed check may leave the hold running: end it before the sockets go.
    ~AgentHostTest() override
    {
        if (supervisor)
            supervisor->Stop();
        supervisor.reset();
        WSACleanup();
    }

    // `agentName` is what the host searches for; a name no process has makes
    // every start a launch. The agent starts in this program's directory.
    void Configure(const std::wstring& agentName, USHORT port, const std::wstring& options = L"")
    {
        settings.agent = agentName;
        settings.port = port;
        settings.cmd = DemoAgentCommand(log, port, options);
        settings.dir = TestProgramDirectory();
    }

    CAgentSupervisor& Supervise()
    {
        supervisor = std::make_unique<CAgentSupervisor>(settings, traces.Writer());
        return *supervisor;
    }

    // Ends the agent the supervisor holds from outside and returns its id.
    DWORD KillHeldAgent()
    {
        const DWORD id = GetProcessId(supervisor->AgentProcess());
        CKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), 10000);
        return id;
    }

    CAgentReaper reaper;
    CAgentLog log;
    AgentSettings settings;
    CTraceRecorder traces;
    std::unique_ptr<CAgentSupervisor> supervisor;
};

// Process creation tries each stretch of an unquoted path up to a blank as a
// program, shortest first: only the longest that exists may run.
TEST(ProgramPath, QuotesTheLongestExistingProgramOfAnUnquotedPath)
{
    std::vector<std::wstring> existing = {L"C:\\Tools", L"C:\\Tools Dir\\agent.exe"};
    const auto isProgram = [&](const std::wstring& name) {
        return std::find(existing.begin(), existing.end(), name) != existing.end();
    };
    EXPECT_EQ(L"\"C:\\Tools Dir\\agent.exe\"\t-x", QuoteLongestProgram(L"C:\\Tools Dir\\agent.exe\t-x", isProgram));
    EXPECT_EQ(L"\"C:\\A B\\a.exe\" -x", QuoteLongestProgram(L"\"C:\\A B\\a.exe\" -x", isProgram));
    existing = {L"C:\\My Agent"};  // C:\My Agent.exe, found with the default extension
    EXPECT_EQ(L"\"C:\\My Agent\"", QuoteLongestProgram(L"C:\\My Agent", isProgram));
    existing = {L"C:\\Tools"};  // nothing longer: left to process creation
    EXPECT_EQ(L"C:\\Tools Dir\\agent.exe --x", QuoteLongestProgram(L"C:\\Tools Dir\\agent.exe --x", isProgram));
}

TEST(ImageNameMatch, FoldsOnlyTheLettersAToZ)
{
    EXPECT_TRUE(EqualsFoldingAsciiLetters(L"ZeltDemoAgent.exe", L"zELTdEMOaGENT.EXE"));
    EXPECT_FALSE(EqualsFoldingAsciiLetters(L"a[.exe", L"a{.exe"));  // 0x5B and 0x7B differ by the case bit
    EXPECT_FALSE(EqualsFoldingAsciiLetters(L"\u00C9.exe", L"\u00E9.exe"));
    EXPECT_FALSE(EqualsFoldingAsciiLetters(L"agent.exe", L"agent.ex"));
    EXPECT_FALSE(EqualsFoldingAsciiLetters(L"", L"agent.exe"));
}

TEST(ImageNameMatch, FindsARunningProcessByItsBareNameOnly)
{
    const std::wstring self = TestProgramDirectory() + L"\\test_agent.exe";
    DWORD id = 0;
    ASSERT_TRUE(FindProcessByImageName(L"TEST_AGENT.EXE", id));
    EXPECT_EQ(GetCurrentProcessId(), id);
    EXPECT_FALSE(FindProcessByImageName(self.c_str(), id));
    EXPECT_FALSE(FindProcessByImageName(L"", id));
}

// The first end is written at once; ends within a minute of the last record
// are counted, and the next end after that minute carries the count.
TEST(AgentEndLog, WritesAboutOneRecordAMinute)
{
    CAgentEndLog endLog;
    AgentEndRecord record;
    ASSERT_TRUE(endLog.TakeEnd(1000, {1, 200, 1000}, record));
    EXPECT_EQ(EventKind::AgentEndedDelayed, record.kind);
    EXPECT_EQ(L"Agent ended (exit code 0x00000001 after 0.2 s); relaunched in 1 s", record.text);
    EXPECT_FALSE(endLog.TakeEnd(11000, {1, 250, 2000}, record));
    EXPECT_FALSE(endLog.TakeEnd(60999, {0xC0000005, 100, 4000}, record));
    ASSERT_TRUE(endLog.TakeEnd(61000, {0, 12345, 0}, record));
    EXPECT_EQ(EventKind::AgentEnded, record.kind);
    EXPECT_EQ(L"Agent ended (exit code 0x00000000 after 12.3 s); relaunched at once; 2 more ends in the last 60 s",
              record.text);
    EXPECT_FALSE(endLog.TakeUnwritten(62000, record));
    EXPECT_FALSE(endLog.TakeEnd(70000, {0xC0000005, 100, 500}, record));
    ASSERT_TRUE(endLog.TakeUnwritten(75500, record));
    EXPECT_EQ(EventKind::AgentEndedDelayed, record.kind);
    EXPECT_EQ(L"1 more agent ends in the last 14.5 s (the last: exit code 0xC0000005 after 0.1 s)", record.text);
    ASSERT_TRUE(endLog.TakeEnd(200000, {0, 1500, 0, false}, record));
    EXPECT_EQ(L"Agent ended (exit code unknown after 1.5 s); relaunched at once", record.text);
}

// The last words follow an end's description, in either record.
TEST(AgentEndLog, CarriesTheAgentsLastWords)
{
    CAgentEndLog endLog;
    AgentEndRecord record;
    ASSERT_TRUE(endLog.TakeEnd(1000, {1, 200, 4000, true, L"\"config file not found\""}, record));
    EXPECT_EQ(L"Agent ended (exit code 0x00000001 after 0.2 s); relaunched in 4 s; last output: "
              L"\"config file not found\"",
              record.text);
    EXPECT_FALSE(endLog.TakeEnd(2000, {1, 100, 8000, true, L"\"a\" \"b\""}, record));
    ASSERT_TRUE(endLog.TakeUnwritten(3000, record));
    EXPECT_EQ(L"1 more agent ends in the last 2 s (the last: exit code 0x00000001 after 0.1 s; last output: \"a\" "
              L"\"b\")",
              record.text);
}

// At most the last 3 non-empty lines and 400 characters, without carriage
// returns, each line UTF-8 or else in the ANSI code page; a tail that begins
// inside the output loses its first, partial line.
TEST(AgentOutput, LastWordsAreTheLastLinesDecoded)
{
    EXPECT_EQ(L"", FormatLastWords("", false));
    EXPECT_EQ(L"\"two\" \"three\" \"four\"", FormatLastWords("one\r\ntwo\n\nthree\r\nfour\r\n", false));
    EXPECT_EQ(L"\"whole\" \"last\"", FormatLastWords("\x9F\xA9tial\nwhole\nlast", true));
    EXPECT_EQ(L"\"caf\u00E9\"", FormatLastWords("caf\xC3\xA9\n", false));
    wchar_t ansi[8] = L"";
    ASSERT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "caf\xE9", 4, ansi, 8));
    EXPECT_EQ(L"\"" + std::wstring(ansi, 4) + L"\" \"caf\u00E9\"", FormatLastWords("caf\xE9\ncaf\xC3\xA9", false));
    const std::string longLine(500, 'x');
    EXPECT_EQ(L"\"..." + std::wstring(397, L'x') + L"\"", FormatLastWords("short\n" + longLine, false));
    EXPECT_EQ(L"\"" + std::wstring(200, L'y') + L"\"",
              FormatLastWords(std::string(300, 'x') + "\n" + std::string(200, 'y'), false));
}

TEST_F(AgentHostTest, AdoptsARunningAgentInsteadOfLaunchingOne)
{
    Configure(L"zeltdemoagent.EXE", FindFreePort());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = settings.cmd;
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        << "error " << GetLastError();
    CProcessInformation started;
    started.Adopt(info);
    ASSERT_TRUE(log.WaitForCount("listening", 1));

    ASSERT_EQ(S_OK, Supervise().Start());
    EXPECT_NE(nullptr, supervisor->AgentProcess());
    Sleep(200);
    EXPECT_EQ(1u, log.Count("start"));

    // The adopted agent is stopped like a launched one.
    supervisor->Stop();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.process.Get(), 10000));
    DWORD exitCode = 1;
    GetExitCodeProcess(started.process.Get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
}

TEST_F(AgentHostTest, MissingProgramTracesTheLaunchErrorAndHoldsNothing)
{
    settings.agent = L"missing.exe";
    settings.cmd = L"missing-program-4711.exe -x";
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), Supervise().Start());
    const std::vector<std::pair<EventKind, std::wstring>> expected = {
        {EventKind::LaunchFailed, L"==> StartProcess: end_fail-1.[err=2]"}};
    EXPECT_EQ(expected, traces.Records());
    EXPECT_EQ(nullptr, supervisor->AgentProcess());
    EXPECT_FALSE(supervisor->IsWatching());
}

// An agent program in a folder with a blank, named without quotes, and a
// shorter program planted where process creation would look first:
// "<root>\Tools.exe" beside "<root>\Tools Dir\agent.exe". The program can be
// taken away and put back, as an update would.
class RelaunchTest : public AgentHostTest
{
protected:
    void SetUp() override
    {
        m_root = TestProgramDirectory() + L"\\relaunch-" + std::to_wstring(GetCurrentProcessId());
        m_program = m_root + L"\\Tools Dir\\agent.exe";
        CreateDirectoryW(m_root.c_str(), nullptr);
        CreateDirectoryW((m_root + L"\\Tools Dir").c_str(), nullptr);
        const std::wstring demo = BuiltProgramPath(kDemoAgentName);
        ASSERT_TRUE(CopyFileW(demo.c_str(), m_program.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(demo.c_str(), (m_root + L"\\Tools.exe").c_str(), FALSE));
        Configure(L"no-such-image.exe", FindFreePort());
        settings.cmd = m_program + L" --port=" + std::to_wstring(settings.port) + L" --log=" + log.Path();
    }

    void TearDown() override
    {
        if (supervisor)
            supervisor->Stop();
        KillProcesses(L"agent.exe");
        KillProcesses(L"Tools.exe");
        MoveFileW((m_program + L".away").c_str(), m_program.c_str());
        DeleteFileW(m_program.c_str());
        DeleteFileW((m_root + L"\\Tools.exe").c_str());
        RemoveDirectoryW((m_root + L"\\Tools Dir").c_str());
        RemoveDirectoryW(m_root.c_str());
    }

    // Takes the program away and ends the agent: the relaunch fails.
    void EndAgentWhileAway()
    {
        ASSERT_TRUE(MoveFileW(m_program.c_str(), (m_program + L".away").c_str()));
        KillHeldAgent();
    }

    std::wstring m_root;
    std::wstring m_program;
};

// The relaunch is tried again while the program is away, runs it within a
// bound once it is back, and never runs the planted shorter program. A stop
// while the next attempt is pending cancels it.
TEST_F(RelaunchTest, FailedRelaunchRecoversWhenTheProgramReturnsAndNeverRunsAShorterOne)
{
    const auto failures = [&] { return traces.Lines(EventKind::LaunchFailed).size(); };
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    ASSERT_NO_FATAL_FAILURE(EndAgentWhileAway());
    ASSERT_TRUE(WaitUntil([&] { return failures() >= 2; }, 10000))  // tried again
        << FindProcesses(L"Tools.exe").size() << " planted programs run";
    EXPECT_EQ(0u, traces.Lines(EventKind::LaunchFailed)[1].rfind(L"==> StartProcess: end_fail-1.[err=", 0));
    ASSERT_TRUE(MoveFileW((m_program + L".away").c_str(), m_program.c_str()));
    EXPECT_TRUE(log.WaitForCount("listening", 2, 10000));
    EXPECT_EQ(1u, FindProcesses(L"agent.exe").size());
    EXPECT_TRUE(FindProcesses(L"Tools.exe").empty());

    const size_t before = failures();
    ASSERT_NO_FATAL_FAILURE(EndAgentWhileAway());
    ASSERT_TRUE(WaitUntil([&] { return failures() > before; }));
    supervisor->Stop();
    EXPECT_FALSE(supervisor->IsWatching());
    const size_t stopped = failures();
    ASSERT_TRUE(MoveFileW((m_program + L".away").c_str(), m_program.c_str()));
    Sleep(1600);  // two more attempts would have come by now
    EXPECT_EQ(stopped, failures());
    EXPECT_EQ(2u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(L"Tools.exe").empty());
}

TEST_F(AgentHostTest, RelaunchAfterTheStopHasBegunDoesNothing)
{
    Configure(L"no-such-image.exe", FindFreePort());
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    supervisor->Stop();
    EXPECT_EQ(S_FALSE, supervisor->OnAgentExit());
    EXPECT_EQ(nullptr, supervisor->AgentProcess());
    EXPECT_FALSE(supervisor->IsWatching());
    Sleep(100);
    EXPECT_EQ(1u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
}

// Destruction ends supervision as a stop does, without the shutdown line:
// the agent is not told to end, and its end brings no relaunch.
TEST_F(AgentHostTest, DestructionReleasesTheWaitWithoutTheShutdownLine)
{
    Configure(L"no-such-image.exe", FindFreePort());
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    supervisor.reset();
    EXPECT_EQ(1u, FindProcesses(kDemoAgentName).size());
    KillProcesses(kDemoAgentName);
    Sleep(200);  // time for a relaunch that should not happen
    EXPECT_EQ("", log.ReceivedHex());
    EXPECT_EQ(1u, log.Count("start"));
}

BOOL WINAPI RefuseAttribute(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// The agent's tree: a child it started (of its own image, holding its
// listening socket) ends with it at a clean stop and at one that terminates
// it, before the stop returns; also where the agent cannot be created in
// its job and is started suspended instead (before Windows 10).
TEST_F(AgentHostTest, TheTreeEndsAtACleanAndATerminatingStop)
{
    struct Restore
    {
        ~Restore() { g_pfnUpdateProcThreadAttribute = &UpdateProcThreadAttribute; }
    } restore;
    const struct
    {
        const wchar_t* options;
        UpdateAttributeFunction update;
    } cases[] = {{L"--spawnchild", &UpdateProcThreadAttribute},
                 {L"--spawnchild --ignore", &UpdateProcThreadAttribute},
                 {L"--spawnchild", &RefuseAttribute}};
    for (const auto& run : cases)
    {
        const wchar_t* options = run.options;
        SCOPED_TRACE(Narrow(options) + (run.update == &RefuseAttribute ? " started suspended" : ""));
        g_pfnUpdateProcThreadAttribute = run.update;
        DeleteFileW(log.Path().c_str());
        Configure(L"no-such-image.exe", FindFreePort(), options);
        ASSERT_EQ(S_OK, Supervise().Start());
        ASSERT_TRUE(log.WaitForCount("child", 1));
        EXPECT_EQ(2u, FindProcesses(kDemoAgentName).size());
        supervisor->Stop();
        EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
        EXPECT_EQ(1u, log.Count("start"));
    }
}

// An agent that ended by itself after running past the quick-end threshold:
// its child (same image, holding the port) is ended rather than adopted, the
// agent is launched again at once and can listen on its port, and the end is
// written as relaunched at once.
TEST_F(AgentHostTest, SameImageChildIsNotAdoptedAndTheAgentIsLaunchedAgain)
{
    Configure(kDemoAgentName, FindFreePort(), L"--spawnchild --lifetime=1700");
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("child", 1));
    ASSERT_TRUE(log.WaitForCount("listening", 2));
    const std::vector<DWORD> starts = log.StartedIds();
    ASSERT_EQ(2u, starts.size());
    EXPECT_NE(starts[0], starts[1]);
    supervisor->Stop();
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
    const auto ends = traces.Ends();
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(EventKind::AgentEnded, ends[0].first);
    // How long it ran depends on the machine's load: only its form is checked.
    EXPECT_TRUE(StartsWith(ends[0].second, L"Agent ended (exit code 0x00000000 after ")) << Narrow(ends[0].second);
    EXPECT_TRUE(EndsWith(ends[0].second, L"; relaunched at once")) << Narrow(ends[0].second);
}

// An agent that ends at once is relaunched after 1 s, then 2 s, then 4 s;
// the first end is written at once, the others are counted and written at
// the stop, which ends the pending delay at once.
TEST_F(AgentHostTest, QuickEndsAreRelaunchedAfterAGrowingDelayAndWrittenInBulk)
{
    Configure(L"no-such-image.exe", FindFreePort(), L"--exitnow");
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("exit now", 4, 30000));
    ASSERT_TRUE(WaitUntil([&] { return supervisor->AgentProcess() == nullptr && supervisor->IsWatching(); }));
    const ULONGLONG stopBegan = GetTickCount64();
    supervisor->Stop();
    EXPECT_LT(GetTickCount64() - stopBegan, 4000u) << "the stop waited for the pending 8 s delay";
    EXPECT_EQ(4u, log.Count("start"));

    const std::vector<long long> starts = LoggedTimes(log, "start");
    const std::vector<long long> exits = LoggedTimes(log, "exit");
    ASSERT_EQ(4u, exits.size());
    for (size_t i = 0; i < 3; ++i)
        EXPECT_GE(starts[i + 1] - exits[i], (1000LL << i) * 1000 - 20000) << "relaunch " << i + 1;

    const auto ends = traces.Ends();
    ASSERT_EQ(2u, ends.size());
    EXPECT_EQ(EventKind::AgentEndedDelayed, ends[0].first);
    EXPECT_TRUE(StartsWith(ends[0].second, L"Agent ended (exit code 0x00000000 after ")) << Narrow(ends[0].second);
    EXPECT_TRUE(EndsWith(ends[0].second, L"; relaunched in 1 s")) << Narrow(ends[0].second);
    EXPECT_TRUE(StartsWith(ends[1].second, L"3 more agent ends in the last ")) << Narrow(ends[1].second);
}

// A stop that comes before the agent listens, or while its listen queue is
// full (its requests then go unanswered, as on Windows where nothing listens
// yet), still delivers the line once the agent listens or accepts within
// the connect budget: each attempt is bounded and tried again.
TEST_F(AgentHostTest, AnAgentThatListensOrAcceptsLateStillGetsItsLine)
{
    const struct
    {
        const wchar_t* options;
        const char* stopAfter;  // the line in the agent's log
    } cases[] = {{L"--listendelay=400", "start"}, {L"--noaccept --acceptdelay=500", "backlog filled"}};
    for (const auto& late : cases)
    {
        SCOPED_TRACE(Narrow(late.options));
        DeleteFileW(log.Path().c_str());
        Configure(L"no-such-image.exe", FindFreePort(), late.options);
        ASSERT_EQ(S_OK, Supervise().Start());
        ASSERT_TRUE(log.WaitForCount(late.stopAfter, 1));
        ASSERT_EQ(0u, log.Count("accepting"));
        supervisor->Stop();
        EXPECT_EQ("73687574646f776e0a", log.ReceivedHex());
        EXPECT_EQ(1u, log.Count("exit shutdown"));
    }
}

// A probing supervisor checks the control port every interval, closing each
// connection at once without sending: an agent that answers is left alone;
// one that lives but stops taking connections is restarted after three
// counted checks in a row, with one Warning record, and its end is recorded
// like any other.
TEST_F(AgentHostTest, ProbingRestartsAnAgentThatStopsAnsweringAndLeavesOneThatAnswers)
{
    settings.probeSeconds = 1;
    const USHORT port = FindFreePort();
    Configure(L"no-such-image.exe", port);
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("accepted", 3, 30000));
    EXPECT_EQ(1u, log.Count("start"));
    EXPECT_EQ(0u, log.Count("recv"));
    EXPECT_TRUE(traces.Lines(EventKind::AgentNotAnswering).empty());
    supervisor->Stop();

    DeleteFileW(log.Path().c_str());
    Configure(L"no-such-image.exe", port, L"--stopaccepting=500");
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("start", 2, 30000));
    supervisor->Stop();
    const std::vector<std::wstring> warnings = traces.Lines(EventKind::AgentNotAnswering);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(L"Agent does not answer on port " + std::to_wstring(port) + L" (3 checks in 3 s); restarting it",
              warnings[0]);
    EXPECT_EQ(static_cast<WORD>(EVENTLOG_WARNING_TYPE), EventLevel(EventKind::AgentNotAnswering));
    ASSERT_FALSE(traces.Ends().empty());
    EXPECT_TRUE(StartsWith(traces.Ends()[0].second, L"Agent ended (exit code 0x00000001 after "))
        << Narrow(traces.Ends()[0].second);
}

// The well-known accounts the object's access list allows, in its order;
// WinNullSid stands for any other.
std::vector<WELL_KNOWN_SID_TYPE> AllowedSids(HANDLE object, const wchar_t* path = nullptr)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<WELL_KNOWN_SID_TYPE> allowed;
    const DWORD error =
        path != nullptr ? GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                &dacl, nullptr, &descriptor)
                        : GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                          &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return allowed;
    const CLocalMemory owned(descriptor);
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i)
    {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        WELL_KNOWN_SID_TYPE found = WinNullSid;
        for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid})
        {
            if (IsWellKnownSid(sid, type))
                found = type;
        }
        allowed.push_back(found);
    }
    return allowed;
}

// What a host's death leaves: supervision ends without a stop, and the
// agent, its child and the instance's job live on. The next supervisor of
// the instance takes the job over with the agent in it, and its stop ends
// the whole old tree.
TEST_F(AgentHostTest, TheNextHostTakesOverTheTreeOfOneThatDied)
{
    Configure(kDemoAgentName, FindFreePort(), L"--spawnchild");
    settings.instance = L"ZeltAgentSvc-Takeover" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("child", 1));
    // The job carries the instance's name (case folded) under Global\ and
    // lets in the system and administrators only.
    CKernelHandle job(OpenJobObjectW(READ_CONTROL | JOB_OBJECT_QUERY, FALSE,
                                     (L"Global\\ZeltAgentTree.zeltagentsvc-takeover" +
                                      std::to_wstring(GetCurrentProcessId())).c_str()));
    ASSERT_TRUE(job) << GetLastError();
    BOOL bInJob = FALSE;
    EXPECT_TRUE(IsProcessInJob(supervisor->AgentProcess(), job.Get(), &bInJob) && bInJob);
    EXPECT_EQ(std::vector<WELL_KNOWN_SID_TYPE>({WinLocalSystemSid, WinBuiltinAdministratorsSid}),
              AllowedSids(job.Get()));
    job.Reset();
    supervisor.reset();
    ASSERT_EQ(2u, FindProcesses(kDemoAgentName).size());

    ASSERT_EQ(S_OK, Supervise().Start());
    EXPECT_EQ(1u, log.Count("start"));
    supervisor->Stop();
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
    EXPECT_TRUE(traces.Lines(EventKind::AgentOutsideTree).empty());
}

// A process of the agent's image that was created suspended and never
// resumed (its host died half-way through the launch) is ended, not
// adopted, and the agent is launched.
TEST_F(AgentHostTest, AnAgentLeftSuspendedIsEndedAndTheAgentLaunched)
{
    Configure(kDemoAgentName, FindFreePort());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = settings.cmd;
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                               &startup, &info))
        << "error " << GetLastError();
    CProcessInformation leftover;
    leftover.Adopt(info);

    ASSERT_EQ(S_OK, Supervise().Start());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(leftover.process.Get(), 0));
    EXPECT_NE(GetProcessId(leftover.process.Get()), GetProcessId(supervisor->AgentProcess()));
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    EXPECT_EQ(1u, log.Count("start"));
    supervisor->Stop();
    EXPECT_EQ(1u, log.Count("exit shutdown"));
}

// A folder the agent's output goes to, removed with what is in it.
class CScopedFolder
{
public:
    explicit CScopedFolder(std::wstring path) : m_path(std::move(path)) { Clear(); }
    ~CScopedFolder() { Clear(); }
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

private:
    void Clear()
    {
        for (const wchar_t* name : {L"agent.log", L"agent.1.log", L"agent.2.log", L"agent.3.log"})
            DeleteFileW(File(name).c_str());
        RemoveDirectoryW(m_path.c_str());
    }
    std::wstring m_path;
};

bool IsWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// With output on, the agent's standard output and error (a pipe) and input
// (the null device, a character device) go to agent.log, rotated at its
// bound keeping two older files, each open to the system and administrators
// only; the record of its quick end carries its last three lines. Also where
// the agent is started suspended (before Windows 10), there in the default
// folder under %ProgramData%.
TEST_F(AgentHostTest, OutputIsKeptInRotatedFilesAndTheEndCarriesTheLastWords)
{
    struct Restore
    {
        ~Restore() { g_pfnUpdateProcThreadAttribute = &UpdateProcThreadAttribute; }
    } restore;
    wchar_t programData[MAX_PATH] = L"";
    ASSERT_NE(0u, GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH));
    const std::wstring instance = L"ZeltAgentSvc-Output" + std::to_wstring(GetCurrentProcessId());
    const std::wstring defaultFolder = std::wstring(programData) + L"\\ZeltAgentSvc\\" + instance;
    // Wine keeps a file's access list as Unix modes: it reads back the system
    // and the file's owner, where Windows has the administrators.
    const std::vector<WELL_KNOWN_SID_TYPE> kGuarded = {WinLocalSystemSid, IsWine() ? WinNullSid
                                                                                   : WinBuiltinAdministratorsSid};
    for (const UpdateAttributeFunction update : {&UpdateProcThreadAttribute, &RefuseAttribute})
    {
        const bool bSuspended = update == &RefuseAttribute;
        SCOPED_TRACE(bSuspended ? "started suspended, default folder" : "started in its job");
        g_pfnUpdateProcThreadAttribute = update;
        const CScopedFolder folder(bSuspended ? defaultFolder : TestProgramDirectory() + L"\\output-" +
                                                                    std::to_wstring(GetCurrentProcessId()));
        DeleteFileW(log.Path().c_str());
        traces.Clear();
        Configure(L"no-such-image.exe", FindFreePort(), L"--chatter=300 --exitnow");
        settings.output = {true, bSuspended ? L"" : folder.Path(), 4096, 2};
        settings.instance = bSuspended ? instance : L"";
        ASSERT_EQ(S_OK, Supervise().Start());
        ASSERT_TRUE(WaitUntil([&] { return !traces.Ends().empty(); }));
        supervisor->Stop();

        EXPECT_EQ(1u, log.Count("std in=2 out=3 err=3 outname=\\ZeltAgentOutput."));
        const auto ends = traces.Ends();
        EXPECT_TRUE(EndsWith(ends[0].second, L"; relaunched in 1 s; last output: \"out 299 to standard output\" "
                                             L"\"err 299 to standard error\" \"exiting: now\""))
            << Narrow(ends[0].second);
        std::string kept;
        for (const wchar_t* name : {L"agent.2.log", L"agent.1.log", L"agent.log"})
        {
            const std::string text = ReadFileText(folder.File(name));
            EXPECT_FALSE(text.empty()) << Narrow(name);
            EXPECT_LE(text.size(), 4096u) << Narrow(name);
            EXPECT_EQ(kGuarded, AllowedSids(nullptr, folder.File(name).c_str())) << Narrow(name);
            kept += text;
        }
        EXPECT_FALSE(Exists(folder.File(L"agent.3.log")));
        EXPECT_EQ(kGuarded, AllowedSids(nullptr, folder.Path().c_str()));
        EXPECT_NE(std::string::npos, kept.find("out 299 to standard output\nerr 299 to standard error\nexiting: now\n"));
        EXPECT_EQ(std::string::npos, kept.find("out 0 to")) << "the oldest output is rotated away";
        EXPECT_TRUE(traces.Lines(EventKind::AgentOutputDropped).empty());
    }
    RemoveDirectoryW((std::wstring(programData) + L"\\ZeltAgentSvc").c_str());
}

// A folder that cannot be made: the output is read on and dropped, one
// record says so, and the end record still carries the last words.
TEST_F(AgentHostTest, OutputThatCannotBeKeptIsDroppedWithOneRecord)
{
    const std::wstring missing = TestProgramDirectory() + L"\\missing-" + std::to_wstring(GetCurrentProcessId());
    Configure(L"no-such-image.exe", FindFreePort(), L"--chatter=50 --exitnow");
    settings.output = {true, missing + L"\\output", 4096, 2};
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(WaitUntil([&] { return !traces.Ends().empty(); }));
    supervisor->Stop();
    const std::vector<std::wstring> drops = traces.Lines(EventKind::AgentOutputDropped);
    ASSERT_EQ(1u, drops.size());
    EXPECT_TRUE(StartsWith(drops[0], L"Agent output dropped (" + missing + L"\\output\\agent.log) [err=3]"))
        << Narrow(drops[0]);
    EXPECT_TRUE(EndsWith(traces.Ends()[0].second, L"; last output: \"out 49 to standard output\" "
                                                  L"\"err 49 to standard error\" \"exiting: now\""))
        << Narrow(traces.Ends()[0].second);
    EXPECT_FALSE(Exists(missing));
}

// Each write into an output file waits until the test releases the disk
// (a minute at most, lest a failed test hang).
HANDLE g_hDiskReleased = nullptr;

BOOL WINAPI StuckDiskWrite(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    WaitForSingleObject(g_hDiskReleased, 60000);
    return WriteFile(file, bytes, count, written, overlapped);
}

// A stuck disk does not hold the agent up: it writes far more than the pipe
// and the queue hold and ends while no write returns. Then the file has the
// output's beginning, whole and in order, one record says the rest was
// dropped, and the end record carries the last words all the same.
TEST_F(AgentHostTest, OutputTheDiskCannotTakeIsDroppedWithoutHoldingTheAgentUp)
{
    const CKernelHandle released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    struct Restore
    {
        ~Restore()
        {
            g_pfnWriteOutputFile = &WriteFile;
            SetEvent(g_hDiskReleased);
        }
    } restore;
    g_hDiskReleased = released.Get();
    g_pfnWriteOutputFile = &StuckDiskWrite;
    const CScopedFolder folder(TestProgramDirectory() + L"\\output-stuck-" + std::to_wstring(GetCurrentProcessId()));
    const int kLines = 10000;  // twice, 0.56 MB: three times what the pipe and the queue hold
    Configure(L"no-such-image.exe", FindFreePort(), L"--chatter=" + std::to_wstring(kLines) + L" --exitnow");
    settings.output = {true, folder.Path(), 16 << 20, 2};
    settings.quickEndMs = INFINITE;  // relaunched after 1 s, so that the check sees one run's output
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("exit now", 1, 120000)) << "the agent is held up by the disk";
    SetEvent(released.Get());
    ASSERT_TRUE(WaitUntil([&] { return !traces.Ends().empty(); }));
    supervisor->Stop();

    std::string output;
    for (int i = 0; i < kLines; ++i)
        output += "out " + std::to_string(i) + " to standard output\nerr " + std::to_string(i) + " to standard error\n";
    const std::string kept = ReadFileText(folder.File(L"agent.log"));
    EXPECT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), output.size());
    EXPECT_EQ(0, output.compare(0, kept.size(), kept)) << "not the output's beginning";
    const std::vector<std::wstring> drops = traces.Lines(EventKind::AgentOutputDropped);
    ASSERT_EQ(1u, drops.size());
    EXPECT_TRUE(StartsWith(drops[0], L"Agent output dropped (" + folder.File(L"agent.log") +
                                         L") [err=" + std::to_wstring(ERROR_BUSY) + L"]"))
        << Narrow(drops[0]);
    EXPECT_TRUE(EndsWith(traces.Ends()[0].second, L"\"err " + std::to_wstring(kLines - 1) +
                                                      L" to standard error\" \"exiting: now\""))
        << Narrow(traces.Ends()[0].second);
}

// With output off the agent inherits nothing: its standard output is not
// the host's pipe (by the name the system gives the agent for it), no file
// is kept and its end record has no last words.
TEST_F(AgentHostTest, OutputOffKeepsNothingAndGivesTheAgentNoHandle)
{
    const CScopedFolder folder(TestProgramDirectory() + L"\\output-off-" + std::to_wstring(GetCurrentProcessId()));
    Configure(L"no-such-image.exe", FindFreePort(), L"--chatter=5 --lifetime=300");
    settings.output.folder = folder.Path();
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(WaitUntil([&] { return !traces.Ends().empty(); }));
    supervisor->Stop();
    const std::vector<std::string> lines = log.Lines();
    const auto std = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.compare(0, 4, "std ") == 0;
    });
    ASSERT_NE(lines.end(), std);
    EXPECT_EQ(std::string::npos, std->find("ZeltAgentOutput")) << *std;
    EXPECT_FALSE(Exists(folder.Path()));
    EXPECT_EQ(std::wstring::npos, traces.Ends()[0].second.find(L"last output"));
}

// Registrations of waits on processes fail this many more times.
LONG volatile g_processWaitFailures = 0;

BOOL WINAPI FailingRegisterWait(PHANDLE wait, HANDLE object, WAITORTIMERCALLBACK callback, PVOID context, ULONG ms,
                                ULONG flags)
{
    if (GetProcessId(object) != 0 && InterlockedDecrement(&g_processWaitFailures) >= 0)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return RegisterWaitForSingleObject(wait, object, callback, context, ms, flags);
}

// The exit wait cannot be registered at the start: that is written, and
// tried again until the agent is watched, so that its end is noticed.
TEST_F(AgentHostTest, AFailedExitWaitIsWrittenAndTriedAgain)
{
    struct Restore
    {
        ~Restore() { g_pfnRegisterWait = &RegisterWaitForSingleObject; }
    } restore;
    g_processWaitFailures = 2;
    g_pfnRegisterWait = &FailingRegisterWait;
    Configure(L"no-such-image.exe", FindFreePort());
    ASSERT_EQ(S_OK, Supervise().Start());
    const std::vector<std::wstring> expected(2, L"==> StartProcess: end_fail-2.[err=8]");
    ASSERT_TRUE(WaitUntil([&] { return traces.Lines(EventKind::ExitWaitFailed).size() >= 2; }));
    ASSERT_TRUE(WaitUntil([&] { return g_processWaitFailures < 0 && supervisor->IsWatching(); }));
    EXPECT_EQ(expected, traces.Lines(EventKind::ExitWaitFailed));
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    KillHeldAgent();
    EXPECT_TRUE(log.WaitForCount("listening", 2));
}

}  // namespace
