// The agent supervisor in process: adoption, a failed launch and relaunch,
// and what a stop or the destruction leaves. Launch and relaunch per end are
// checked through the host in place (tests/host), stops at random moments by
// the stop storm (tests/reliability). The agent is the demo agent.
#include <gtest/gtest.h>

#include "agent/Socket.h"  // Windows Sockets before windows.h

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/AgentSupervisor.h"
#include "agent/ExitWait.h"
#include "agent/ProgramPath.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

// Collects the trace lines a supervisor writes, from any thread.
class CTraceRecorder
{
public:
    TraceWriter Writer()
    {
        return [this](EventKind, const std::wstring& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        };
    }
    std::vector<std::wstring> Lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

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

TEST_F(AgentHostTest, AdoptsARunningAgentInsteadOfLaunchingOne)
{
    Configure(L"zeltdemoagent.EXE", FindFreePort());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = settings.cmd;
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
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
    EXPECT_EQ(std::vector<std::wstring>{L"==> StartProcess: end_fail-1.[err=2]"}, traces.Lines());
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
    const auto failures = [&] { return traces.Lines().size(); };
    ASSERT_EQ(S_OK, Supervise().Start());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    ASSERT_NO_FATAL_FAILURE(EndAgentWhileAway());
    ASSERT_TRUE(WaitUntil([&] { return failures() >= 2; }, 10000))  // tried again
        << FindProcesses(L"Tools.exe").size() << " planted programs run";
    EXPECT_EQ(0u, traces.Lines()[1].rfind(L"==> StartProcess: end_fail-1.[err=", 0));
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

}  // namespace
