// Agents that break the control-port contract in each way a real one might:
// the stop must still end within its bound (1000 ms for the connection, then
// 3000 ms for the agent's end, plus a margin) and leave no agent running. The stop times are printed; only a bound that catches a
// hang is asserted.
#include "agent/Socket.h"  // Windows Sockets before windows.h

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "ReliabilitySupport.h"
#include "base/Handles.h"
#include "base/Result.h"
#include "support/TestSupport.h"

namespace {

constexpr double kHangBoundMs = 10000;

struct Misbehaviour
{
    const char* name;
    const wchar_t* agentSwitches;  // for the instance's own agent
    const char* readyLine;         // in the agent's log once it misbehaves
    const wchar_t* ownerSwitches;  // another program on the port first, or null
};

void PrintTo(const Misbehaviour& behaviour, std::ostream* out)
{
    *out << behaviour.name;
}

const Misbehaviour kCases[] = {
    {"cooperates", L"", "listening", nullptr},
    {"accepts_never_reads", L"--noread", "listening", nullptr},
    {"closes_at_once", L"--closenow", "listening", nullptr},
    {"holds_port_without_accepting", L"--noaccept", "backlog filled", nullptr},
    {"ignores_the_line", L"--ignore", "listening", nullptr},
    {"port_owned_by_reader", L"", "listenfail", L"--ignore"},
    {"port_owned_by_nonaccepter", L"", "listenfail", L"--noaccept"},
};

class AgentMisbehaviourTest : public ::testing::TestWithParam<Misbehaviour>
{
protected:
    void SetUp() override
    {
        m_agentImage = L"ZeltRelMisbehave.exe";
        m_ownerImage = L"ZeltRelPortOwner.exe";
        CopyDemoAgent(m_agentImage);
        CopyDemoAgent(m_ownerImage);
        m_log = TestFilePath(L"misbehave-agent.log");
        m_ownerLog = TestFilePath(L"misbehave-owner.log");
        DeleteFileW(m_log.c_str());
        DeleteFileW(m_ownerLog.c_str());
    }

    void TearDown() override
    {
        m_instance.Remove();
        TerminateProcesses(m_agentImage);
        TerminateProcesses(m_ownerImage);
        RemoveModuleRegistration();
        DeleteFileW(BuiltProgramPath(m_agentImage.c_str()).c_str());
        DeleteFileW(BuiltProgramPath(m_ownerImage.c_str()).c_str());
        DeleteFileW(m_log.c_str());
        DeleteFileW(m_ownerLog.c_str());
    }

    // Starts another program that takes the port before the agent can.
    void StartPortOwner(USHORT port, const wchar_t* switches)
    {
        std::wstring line = L"\"" + BuiltProgramPath(m_ownerImage.c_str()) + L"\" --port=" + std::to_wstring(port) +
                            L" " + switches + L" \"--log=" + m_ownerLog + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
        CProcessInformation owner;
        owner.Adopt(info);
        const char* ready = wcsstr(switches, L"noaccept") != nullptr ? "backlog filled" : "listening";
        ASSERT_TRUE(WaitForFileText(m_ownerLog, ready, 10000)) << ReadFileText(m_ownerLog);
    }

    std::wstring m_agentImage;
    std::wstring m_ownerImage;
    std::wstring m_log;
    std::wstring m_ownerLog;
    CTestInstance m_instance{L"rel-misbehave"};
};

TEST_P(AgentMisbehaviourTest, StopEndsWithinTheBoundAndLeavesNoAgent)
{
    const Misbehaviour& behaviour = GetParam();
    const USHORT port = FindFreePort();
    if (behaviour.ownerSwitches != nullptr)
    {
        ASSERT_NO_FATAL_FAILURE(StartPortOwner(port, behaviour.ownerSwitches));
    }

    const std::wstring cmd = L"\"" + BuiltProgramPath(m_agentImage.c_str()) + L"\" --port=" + std::to_wstring(port) +
                             L" " + behaviour.agentSwitches + L" \"--log=" + m_log + L"\"";
    ASSERT_EQ(0u, m_instance.Install(port, m_agentImage, cmd));
    ASSERT_TRUE(m_instance.Start()) << GetLastError();
    ASSERT_TRUE(m_instance.WaitForState(SERVICE_RUNNING, 20000));
    ASSERT_TRUE(WaitForFileText(m_log, behaviour.readyLine, 10000)) << ReadFileText(m_log);

    const long long stopStart = NowMicroseconds();
    ASSERT_TRUE(m_instance.RequestStop());
    const bool bStopped = m_instance.WaitForState(SERVICE_STOPPED, 30000);
    const double stopMs = ElapsedMs(stopStart);
    std::printf("[ figure ] stop of an agent that %s: %.1f ms\n", behaviour.name, stopMs);

    ASSERT_TRUE(bStopped);
    EXPECT_LT(stopMs, kHangBoundMs);
    EXPECT_TRUE(WaitForNoProcess(m_agentImage, 5000)) << "an agent survived the stop";
    EXPECT_EQ(1u, CountLines(ReadFileText(m_log), "start ")) << "relaunched during the stop";
    if (behaviour.ownerSwitches != nullptr)
    {
        EXPECT_FALSE(FindProcesses(m_ownerImage).empty()) << "the port's owner is not the host's to stop";
    }
}

INSTANTIATE_TEST_SUITE_P(Agents, AgentMisbehaviourTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Misbehaviour>& info) { return std::string(info.param.name); });

// The bounded connect of the shutdown exchange, against a listener whose
// backlog is full, a closed port and a listener that accepts.
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

    void StartListener(USHORT port, const wchar_t* switches, const char* readyLine)
    {
        std::wstring line = L"\"" + BuiltProgramPath(m_image.c_str()) + L"\" --port=" + std::to_wstring(port) + L" " +
                            switches + L" \"--log=" + m_log + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
        CProcessInformation listener;
        listener.Adopt(info);
        ASSERT_TRUE(WaitForFileText(m_log, readyLine, 10000)) << ReadFileText(m_log);
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

TEST_F(BoundedConnectTest, FullBacklogTimesOut)
{
    const USHORT port = FindFreePort();
    ASSERT_NO_FATAL_FAILURE(StartListener(port, L"--noaccept", "backlog filled"));
    Ravn::CTcpSocket socket;
    double elapsedMs = 0;
    EXPECT_EQ(HResultFromError(WSAETIMEDOUT), ConnectTo(port, 500, elapsedMs, socket));
    std::printf("[ figure ] connect to a full backlog, bound 500 ms: %.1f ms\n", elapsedMs);
    EXPECT_LT(elapsedMs, kHangBoundMs);
}

TEST_F(BoundedConnectTest, ClosedPortIsRefused)
{
    Ravn::CTcpSocket socket;
    double elapsedMs = 0;
    EXPECT_EQ(HResultFromError(WSAECONNREFUSED), ConnectTo(FindFreePort(), 3000, elapsedMs, socket));
    EXPECT_LT(elapsedMs, kHangBoundMs);
}

// A connection that is made carries the line whole.
TEST_F(BoundedConnectTest, AcceptingListenerReceivesTheLine)
{
    const USHORT port = FindFreePort();
    ASSERT_NO_FATAL_FAILURE(StartListener(port, L"--ignore", "listening"));
    Ravn::CTcpSocket socket;
    double elapsedMs = 0;
    ASSERT_EQ(S_OK, ConnectTo(port, 3000, elapsedMs, socket));
    DWORD sent = 0;
    EXPECT_EQ(S_OK, socket.Send("shutdown\n", 9, sent));
    EXPECT_EQ(9u, sent);
    EXPECT_TRUE(WaitForFileText(m_log, "recv 73687574646f776e0a", 10000)) << ReadFileText(m_log);
}

}  // namespace
