// Agents that break the control-port contract in each way a real one might:
// the stop must still end within its bound (1000 ms for the connection, then
// 3000 ms for the agent's end, plus a margin) and leave no agent running.
// Each case has an instance, agent image and port of its own, and all cases
// are stopped at once, so that their waits overlap. The stop times are
// printed; only a bound that catches a hang is asserted.
#include "agent/Socket.h"  // Windows Sockets before windows.h

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "base/Handles.h"
#include "support/TestSupport.h"

namespace {

constexpr double kHangBoundMs = 10000;
const char kShutdownLineHex[] = "recv 73687574646f776e0a";

struct Misbehaviour
{
    const char* name;
    const wchar_t* agentSwitches;  // for the instance's own agent
    const char* readyLine;         // in the agent's log once it misbehaves
    const wchar_t* ownerSwitches;  // another program on the port first, or null
    bool bReadsLine;               // the agent receives the shutdown line
};

const Misbehaviour kCases[] = {
    {"cooperates", L"", "listening", nullptr, true},
    {"accepts_never_reads", L"--noread", "listening", nullptr, false},
    {"closes_at_once", L"--closenow", "listening", nullptr, false},
    {"holds_port_without_accepting", L"--noaccept", "backlog filled", nullptr, false},
    {"ignores_the_line", L"--ignore", "listening", nullptr, true},
    {"port_owned_by_reader", L"", "listenfail", L"--ignore", false},
    {"port_owned_by_nonaccepter", L"", "listenfail", L"--noaccept", false},
};

// One case: its instance, its agent (and maybe a program that holds its
// port), their logs, and the stop's outcome.
struct CaseRun
{
    const Misbehaviour* behaviour = nullptr;
    std::unique_ptr<CTestInstance> instance;
    std::wstring agentImage;
    std::wstring ownerImage;
    std::wstring log;
    std::wstring ownerLog;
    USHORT port = 0;
    long long stopBegan = 0;
    double stopMs = -1;  // until the instance reported STOPPED
};

std::wstring DemoAgentLine(const std::wstring& image, USHORT port, const wchar_t* switches, const std::wstring& log)
{
    return L"\"" + BuiltProgramPath(image.c_str()) + L"\" --port=" + std::to_wstring(port) + L" " + switches +
           L" \"--log=" + log + L"\"";
}

// Starts a copy of the demo agent outside any instance and waits until its
// log shows `readyLine`.
void StartDemoAgent(const std::wstring& image, USHORT port, const wchar_t* switches, const std::wstring& log,
                    const char* readyLine)
{
    std::wstring line = DemoAgentLine(image, port, switches, log);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    CProcessInformation agent;
    agent.Adopt(info);
    ASSERT_TRUE(WaitForFileText(log, readyLine, 10000)) << ReadFileText(log);
}

class AgentMisbehaviourTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::set<USHORT> ports;
        for (const Misbehaviour& behaviour : kCases)
        {
            CaseRun run;
            const std::wstring number = std::to_wstring(m_runs.size());
            run.behaviour = &behaviour;
            run.instance = std::make_unique<CTestInstance>(L"rel-misbehave-" + number);
            run.agentImage = L"ZeltRelMisbehave" + number + L".exe";
            run.ownerImage = L"ZeltRelPortOwner" + number + L".exe";
            run.log = TestFilePath(L"misbehave-agent-" + number + L".log");
            run.ownerLog = TestFilePath(L"misbehave-owner-" + number + L".log");
            do
                run.port = FindFreePort();
            while (!ports.insert(run.port).second);
            CopyDemoAgent(run.agentImage);
            if (behaviour.ownerSwitches != nullptr)
                CopyDemoAgent(run.ownerImage);
            DeleteFileW(run.log.c_str());
            DeleteFileW(run.ownerLog.c_str());
            m_runs.push_back(std::move(run));
        }
    }

    void TearDown() override
    {
        for (CaseRun& run : m_runs)
        {
            run.instance->Remove();
            TerminateProcesses(run.agentImage);
            TerminateProcesses(run.ownerImage);
            DeleteFileW(BuiltProgramPath(run.agentImage.c_str()).c_str());
            DeleteFileW(BuiltProgramPath(run.ownerImage.c_str()).c_str());
            DeleteFileW(run.log.c_str());
            DeleteFileW(run.ownerLog.c_str());
        }
    }

    // Starts another program that takes the port before the agent can.
    static void StartPortOwner(const CaseRun& run)
    {
        const wchar_t* switches = run.behaviour->ownerSwitches;
        StartDemoAgent(run.ownerImage, run.port, switches, run.ownerLog,
                       wcsstr(switches, L"noaccept") != nullptr ? "backlog filled" : "listening");
    }

    // Polls every instance until each has reported STOPPED, noting when.
    void WaitForEveryStop()
    {
        const long long start = NowMicroseconds();
        for (size_t waiting = m_runs.size(); waiting > 0 && ElapsedMs(start) < 30000; Sleep(5))
        {
            for (CaseRun& run : m_runs)
            {
                if (run.stopMs < 0 && run.instance->QueryState() == SERVICE_STOPPED)
                {
                    run.stopMs = ElapsedMs(run.stopBegan);
                    --waiting;
                }
            }
        }
    }

    CSavedModuleRegistration m_registration;
    std::vector<CaseRun> m_runs;
};

TEST_F(AgentMisbehaviourTest, EveryStopEndsWithinTheBoundAndLeavesNoAgent)
{
    for (const CaseRun& run : m_runs)
    {
        SCOPED_TRACE(run.behaviour->name);
        if (run.behaviour->ownerSwitches != nullptr)
        {
            ASSERT_NO_FATAL_FAILURE(StartPortOwner(run));
        }
        const std::wstring cmd = DemoAgentLine(run.agentImage, run.port, run.behaviour->agentSwitches, run.log);
        ASSERT_EQ(0u, run.instance->Install(run.port, run.agentImage, cmd));
        ASSERT_TRUE(run.instance->Start()) << GetLastError();
    }
    for (const CaseRun& run : m_runs)
    {
        SCOPED_TRACE(run.behaviour->name);
        ASSERT_TRUE(run.instance->WaitForState(SERVICE_RUNNING, 20000));
        ASSERT_TRUE(WaitForFileText(run.log, run.behaviour->readyLine, 10000)) << ReadFileText(run.log);
    }

    for (CaseRun& run : m_runs)
    {
        run.stopBegan = NowMicroseconds();
        ASSERT_TRUE(run.instance->RequestStop()) << run.behaviour->name;
    }
    WaitForEveryStop();

    for (const CaseRun& run : m_runs)
    {
        SCOPED_TRACE(run.behaviour->name);
        std::printf("[ figure ] stop of an agent that %s: %.1f ms\n", run.behaviour->name, run.stopMs);
        EXPECT_GE(run.stopMs, 0) << "not stopped";
        EXPECT_LT(run.stopMs, kHangBoundMs);
        EXPECT_TRUE(WaitForNoProcess(run.agentImage, 5000)) << "an agent survived the stop";
        const std::string log = ReadFileText(run.log);
        EXPECT_EQ(1u, CountLines(log, "start ")) << "relaunched during the stop";
        EXPECT_EQ(run.behaviour->bReadsLine, log.find(kShutdownLineHex) != std::string::npos) << log;
        if (run.behaviour->ownerSwitches != nullptr)
        {
            EXPECT_FALSE(FindProcesses(run.ownerImage).empty()) << "the port's owner is not the host's to stop";
        }
    }
}

// The bounded connect of the shutdown exchange, against a listener whose
// backlog is full and a closed port.
class BoundedConnectTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        CopyDemoAgent(m_image);
        m_log = TestFilePath(L"connect-listener.log");
        DeleteFileW(m_log.c_str());
    }
    void TearDown() override
    {
        TerminateProcesses(m_image);
        DeleteFileW(BuiltProgramPath(m_image.c_str()).c_str());
        DeleteFileW(m_log.c_str());
        WSACleanup();
    }

    HRESULT ConnectTo(USHORT port, DWORD timeoutMs, double& elapsedMs, Ravn::CTcpSocket& socket)
    {
        sockaddr_in address;
        EXPECT_EQ(S_OK, Ravn::ResolveAddress("127.0.0.1", port, address));
        EXPECT_EQ(S_OK, socket.OpenStream());
        const long long start = NowMicroseconds();
        const HRESULT hr = socket.Connect(address, timeoutMs);
        elapsedMs = ElapsedMs(start);
        return hr;
    }

    std::wstring m_image = L"ZeltRelListener.exe";
    std::wstring m_log;
};

TEST_F(BoundedConnectTest, FullBacklogTimesOutAndAClosedPortIsRefused)
{
    const USHORT port = FindFreePort();
    ASSERT_NO_FATAL_FAILURE(StartDemoAgent(m_image, port, L"--noaccept", m_log, "backlog filled"));

    Ravn::CTcpSocket full;
    double elapsedMs = 0;
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAETIMEDOUT), ConnectTo(port, 500, elapsedMs, full));
    std::printf("[ figure ] connect to a full backlog, bound 500 ms: %.1f ms\n", elapsedMs);
    EXPECT_LT(elapsedMs, kHangBoundMs);

    Ravn::CTcpSocket closed;
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAECONNREFUSED), ConnectTo(FindFreePort(), 3000, elapsedMs, closed));
    EXPECT_LT(elapsedMs, kHangBoundMs);
}

}  // namespace

// An agent that starts listening, or empties its full listen queue, after
// the stop began: the stop still delivers the line. Printed: the time to
// STOPPED and when the port answered, from the stop request.
class LateAnswerTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        m_instance.Remove();
        TerminateProcesses(m_image);
        DeleteFileW(BuiltProgramPath(m_image.c_str()).c_str());
        DeleteFileW(m_log.c_str());
    }

    // The agent's log time (microseconds) of the line with the prefix, or -1.
    long long LoggedTime(const std::string& prefix) const
    {
        const std::string text = ReadFileText(m_log);
        const size_t line = text.find(prefix);
        const size_t at = line == std::string::npos ? line : text.find(" t=", line);
        return at == std::string::npos ? -1 : std::stoll(text.substr(at + 3));
    }

    CSavedModuleRegistration m_registration;
    CTestInstance m_instance{L"rel-late-answer"};
    std::wstring m_image = L"ZeltRelLateAnswer.exe";
    std::wstring m_log = TestFilePath(L"late-answer.log");
};

TEST_F(LateAnswerTest, AStopBeforeThePortAnswersDeliversTheLine)
{
    CopyDemoAgent(m_image);
    // The stop comes `stopAfterMs` after the agent logs `readyLine`.
    const struct
    {
        const char* name;
        const wchar_t* switches;
        const char* readyLine;
        long long stopAfterMs;
        const char* answerLine;
    } cases[] = {{"listens late", L"--listendelay=1500", "start", 1000, "listening"},
                 {"accepts late", L"--noaccept --acceptdelay=1000", "backlog filled", 500, "accepting"}};
    for (const auto& late : cases)
    {
        SCOPED_TRACE(late.name);
        DeleteFileW(m_log.c_str());
        const USHORT port = FindFreePort();
        ASSERT_EQ(0u, m_instance.Install(port, m_image, DemoAgentLine(m_image, port, late.switches, m_log)));
        ASSERT_TRUE(m_instance.Start()) << GetLastError();
        ASSERT_TRUE(WaitForFileText(m_log, late.readyLine, 20000)) << ReadFileText(m_log);
        ASSERT_TRUE(m_instance.WaitForState(SERVICE_RUNNING, 20000));
        const long long stopAt = LoggedTime(late.readyLine) + late.stopAfterMs * 1000;
        while (NowMicroseconds() < stopAt)
            Sleep(1);
        const long long stopBegan = NowMicroseconds();
        ASSERT_TRUE(m_instance.RequestStop());
        ASSERT_TRUE(m_instance.WaitForState(SERVICE_STOPPED, 20000));
        const double stopMs = ElapsedMs(stopBegan);
        const std::string log = ReadFileText(m_log);
        const bool bReceived = log.find(kShutdownLineHex) != std::string::npos;
        std::printf("[ figure ] stop of an agent that %s: %.1f ms to STOPPED, port answered %.1f ms after the "
                    "stop request, line %s\n",
                    late.name, stopMs, (LoggedTime(late.answerLine) - stopBegan) / 1000.0,
                    bReceived ? "received" : "not received");
        EXPECT_TRUE(bReceived) << log;
        m_instance.Remove();
    }
}
