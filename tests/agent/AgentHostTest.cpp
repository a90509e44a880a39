// The agent hold in process: launch, adoption, relaunch after each end, a
// failed relaunch, and the stop through the control port. The module runs in
// this test program; the agent is the demo agent.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "agent/ExitWait.h"
#include "agent/ProgramPath.h"
#include "runtime/ZeltAgentSvcModule.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

class AgentHostTest : public ::testing::Test
{
protected:
    // A failed check may leave the hold running: end it before the module goes.
    ~AgentHostTest() override { module.ShutdownAgent(); }

    // `agentName` is what the host searches for; a name no process has makes
    // every start a launch.
    void Configure(const std::wstring& agentName, USHORT port, const std::wstring& options = L"")
    {
        module.agent = agentName;
        module.port = port;
        module.cmd = DemoAgentCommand(log, port, options);
        module.summary = L"\nsummary";
        module.m_bIdleShutdown = false;  // as the pre-loop step leaves it
        ASSERT_EQ(S_OK, StartSockets());
    }

    // Ends the agent the host holds from outside and returns its id.
    DWORD KillHeldAgent()
    {
        const DWORD id = GetProcessId(module.m_hAgentProcess.Get());
        CKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), 10000);
        return id;
    }

    CAgentReaper reaper;
    CScopedRecords records;
    CZeltAgentSvcModule module;
    CAgentLog log;
};

// Stops at every point of an agent's end and relaunch: the stop flag keeps any
// relaunch from starting or completing once ShutdownAgent has taken the hold.
TEST(AgentStopRace, StopsDuringRelaunchesLeaveNoAgentAndNoWait)
{
    CAgentReaper reaper;
    for (int round = 0; round < 40; ++round)
    {
        CAgentLog log;
        CScopedRecords records;
        CZeltAgentSvcModule module;
        module.m_bIdleShutdown = false;
        module.agent = L"no-such-image.exe";
        module.port = 47018;
        module.cmd = DemoAgentCommand(log, 47018, L"--nolisten --lifetime=" + std::to_wstring(round % 5));
        ASSERT_EQ(S_OK, StartSockets());
        ASSERT_EQ(S_OK, module.StartProcess());
        Sleep(round % 7 * 7);
        EXPECT_EQ(S_OK, module.ShutdownAgent());
        const long long stopped = NowMicroseconds();
        EXPECT_FALSE(module.m_hAgentProcess);
        EXPECT_EQ(nullptr, module.m_hAgentWait);
        Sleep(50);  // time for a relaunch that should not happen
        // A terminated agent may take a moment to leave the process list.
        EXPECT_TRUE(WaitUntil([] { return FindProcesses(kDemoAgentName).empty(); }, 5000)) << "round " << round;
        for (long long started : log.StartTimes())
            EXPECT_LT(started, stopped) << "round " << round;
        KillProcesses(kDemoAgentName);
    }
}

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

TEST_F(AgentHostTest, LaunchesInTheHostDirectoryAndRelaunchesOncePerEnd)
{
    Configure(L"no-such-image.exe", 47011);
    ASSERT_EQ(S_OK, module.StartProcess());
    ASSERT_TRUE(log.WaitForCount("start", 1));
    EXPECT_NE(std::string::npos, log.Lines()[0].find(" dir=" + Narrow(module.dir)));

    for (size_t ends = 1; ends <= 4; ++ends)
    {
        const HANDLE oldHandle = module.m_hAgentProcess.Get();
        const DWORD oldId = KillHeldAgent();
        ASSERT_TRUE(log.WaitForCount("start", ends + 1));
        ASSERT_TRUE(WaitUntil([&] { return module.m_hAgentWait != nullptr; }));
        const std::vector<DWORD> ids = log.StartedIds();
        EXPECT_NE(oldId, ids.back());
        // The old handle is closed; its value may only live on as the new handle.
        DWORD flags = 0;
        EXPECT_TRUE(oldHandle == module.m_hAgentProcess.Get() || !GetHandleInformation(oldHandle, &flags));
        EXPECT_EQ(ids.back(), GetProcessId(module.m_hAgentProcess.Get()));
    }
    // The handle of an ended agent stays signalled: a wait that fired again
    // would launch more agents than ends.
    Sleep(300);
    EXPECT_EQ(5u, log.Count("start"));
    EXPECT_EQ(1u, FindProcesses(kDemoAgentName).size());
}

TEST_F(AgentHostTest, AdoptsARunningAgentInsteadOfLaunchingOne)
{
    Configure(L"zeltdemoagent.EXE", 47012);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = module.cmd;
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    CProcessInformation started;
    started.Adopt(info);
    ASSERT_TRUE(log.WaitForCount("listening", 1));

    ASSERT_EQ(S_OK, module.StartProcess());
    EXPECT_TRUE(module.m_hAgentProcess);
    Sleep(200);
    EXPECT_EQ(1u, log.Count("start"));

    // The adopted agent is stopped like a launched one.
    EXPECT_EQ(S_OK, module.ShutdownAgent());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.process.Get(), 10000));
    DWORD exitCode = 1;
    GetExitCodeProcess(started.process.Get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
}

TEST_F(AgentHostTest, AgentNameWithADirectoryNeverMatches)
{
    Configure(BuiltProgramPath(kDemoAgentName), 47013);
    ASSERT_EQ(S_OK, module.StartProcess());
    ASSERT_TRUE(log.WaitForCount("start", 1));
    const DWORD killed = KillHeldAgent();
    ASSERT_TRUE(log.WaitForCount("start", 2));
    EXPECT_EQ(std::vector<DWORD>{log.StartedIds().back()}, FindProcesses(kDemoAgentName));
    EXPECT_NE(killed, log.StartedIds().back());
}

TEST_F(AgentHostTest, MissingProgramTracesTheLaunchErrorAndHoldsNothing)
{
    CEventLogCapture events;
    module.agent = L"missing.exe";
    module.cmd = L"missing-program-4711.exe -x";
    module.summary = L"\nsummary %d";
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), module.StartProcess());
    ASSERT_EQ(1u, events.Messages().size());
    EXPECT_EQ(L"==> StartProcess: end_fail-1.[err=2]\nsummary %d", events.Messages()[0]);
    EXPECT_FALSE(module.m_hAgentProcess);
    EXPECT_EQ(nullptr, module.m_hAgentWait);
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
        module.cmd = m_program + L" --port=" + std::to_wstring(module.port) + L" --log=" + log.Path();
    }

    void TearDown() override
    {
        module.ShutdownAgent();
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
    CEventLogCapture events;
};

// The relaunch is tried again while the program is away, runs it within a
// bound once it is back, and never runs the planted shorter program. A stop
// while the next attempt is pending cancels it.
TEST_F(RelaunchTest, FailedRelaunchRecoversWhenTheProgramReturnsAndNeverRunsAShorterOne)
{
    const auto failures = [&] { return events.Messages().size(); };
    ASSERT_EQ(S_OK, module.StartProcess());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    ASSERT_NO_FATAL_FAILURE(EndAgentWhileAway());
    ASSERT_TRUE(WaitUntil([&] { return failures() >= 2; }, 10000))  // tried again
        << FindProcesses(L"Tools.exe").size() << " planted programs run";
    EXPECT_EQ(0u, events.Messages()[1].rfind(L"==> StartProcess: end_fail-1.[err=", 0));
    ASSERT_TRUE(MoveFileW((m_program + L".away").c_str(), m_program.c_str()));
    EXPECT_TRUE(log.WaitForCount("listening", 2, 10000));
    EXPECT_EQ(1u, FindProcesses(L"agent.exe").size());
    EXPECT_TRUE(FindProcesses(L"Tools.exe").empty());

    const size_t before = failures();
    ASSERT_NO_FATAL_FAILURE(EndAgentWhileAway());
    ASSERT_TRUE(WaitUntil([&] { return failures() > before; }));
    EXPECT_EQ(S_OK, module.ShutdownAgent());
    EXPECT_EQ(nullptr, module.m_hAgentWait);
    const size_t stopped = failures();
    ASSERT_TRUE(MoveFileW((m_program + L".away").c_str(), m_program.c_str()));
    Sleep(1600);  // two more attempts would have come by now
    EXPECT_EQ(stopped, failures());
    EXPECT_EQ(2u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(L"Tools.exe").empty());
}

TEST_F(AgentHostTest, RelaunchAfterTheStopHasBegunDoesNothing)
{
    Configure(L"no-such-image.exe", 47019);
    ASSERT_EQ(S_OK, module.StartProcess());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    EXPECT_EQ(S_OK, module.ShutdownAgent());
    EXPECT_EQ(S_FALSE, module.StartProcess(true));
    EXPECT_FALSE(module.m_hAgentProcess);
    EXPECT_EQ(nullptr, module.m_hAgentWait);
    Sleep(100);
    EXPECT_EQ(1u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
}

// The stop and a relaunch both wait for the hold; whichever gets it first,
// the stop leaves no agent and no wait behind.
TEST_F(AgentHostTest, StopThatMeetsARelaunchWaitingForTheHold)
{
    Configure(L"no-such-image.exe", 47020);
    for (int round = 0; round < 6; ++round)
    {
        CScopedRecords roundRecords;
        CZeltAgentSvcModule host;
        host.m_bIdleShutdown = false;
        host.agent = module.agent;
        host.port = module.port;
        host.cmd = module.cmd;
        ASSERT_EQ(S_OK, StartSockets());
        ASSERT_EQ(S_OK, host.StartProcess());
        const size_t starts = log.Count("start");
        const DWORD id = GetProcessId(host.m_hAgentProcess.Get());

        AcquireSRWLockExclusive(&host.m_agentLock);  // as a relaunch in progress would
        CKernelHandle agent(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        TerminateProcess(agent.Get(), 0xDEAD);
        WaitForSingleObject(agent.Get(), 10000);
        Sleep(50);  // the exit callback now waits for the hold
        std::thread stop([&] { host.ShutdownAgent(); });
        Sleep(50);
        ReleaseSRWLockExclusive(&host.m_agentLock);
        stop.join();
        const long long stopped = NowMicroseconds();

        Sleep(100);
        EXPECT_EQ(nullptr, host.m_hAgentWait);
        EXPECT_TRUE(WaitUntil([] { return FindProcesses(kDemoAgentName).empty(); }, 5000)) << "round " << round;
        const std::vector<long long> times = log.StartTimes();
        EXPECT_LE(times.size(), starts + 1);
        for (long long started : times)
            EXPECT_LT(started, stopped) << "round " << round;
        KillProcesses(kDemoAgentName);
    }
}

}  // namespace
