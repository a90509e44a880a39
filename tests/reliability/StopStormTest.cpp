// The stop storm: 200 stops of the host's agent hold, each issued at a random
// moment while the agent is ending or being relaunched (at once: the hold is
// made without the quick-end delay, so that the stops meet relaunches), then
// 20 more through the service manager, where the delay applies. Every stop
// must end, leave no exit wait and no agent, and no agent may start after it.
#include <gtest/gtest.h>

#include "agent/Socket.h"  // Windows Sockets before windows.h

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "agent/AgentSupervisor.h"
#include "support/TestSupport.h"

namespace {

constexpr int kStops = 200;
constexpr double kHangBoundMs = 10000;
// A terminated agent may still run for a moment: starts logged this long
// after the stop returned count as relaunches after the stop.
constexpr long long kTerminationGraceUs = 100000;

std::vector<long long> ReadStartTimes(const std::string& log)
{
    std::vector<long long> times;
    for (size_t at = log.find("start "); at != std::string::npos; at = log.find("start ", at + 1))
    {
        const size_t t = log.find(" t=", at);
        if (t != std::string::npos)
            times.push_back(std::stoll(log.substr(t + 3)));
    }
    return times;
}

size_t CountLater(const std::vector<long long>& times, long long since)
{
    return static_cast<size_t>(std::count_if(times.begin(), times.end(), [since](long long t) { return t > since; }));
}

class StopStormTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_agentPath = CopyDemoAgent(m_image);
        m_log = TestFilePath(L"storm-agent.log");
    }
    void TearDown() override
    {
        TerminateProcesses(m_image);
        DeleteFileW(m_agentPath.c_str());
        DeleteFileW(m_log.c_str());
    }

    // An agent that ends at once, ends after a few milliseconds, or lives
    // until it is told to stop: the stop meets every phase of a relaunch.
    std::wstring RandomAgentCommand(std::mt19937& random, USHORT port) const
    {
        std::wstring line = L"\"" + m_agentPath + L"\" --port=" + std::to_wstring(port) + L" \"--log=" + m_log + L"\"";
        switch (random() % 5)
        {
        case 0:
        case 1:
            return line + L" --exitnow";
        case 2:
        case 3:
            return line + L" --lifetime=" + std::to_wstring(random() % 30);
        default:
            return line;
        }
    }

    CSavedModuleRegistration m_registration;
    std::wstring m_image = L"ZeltRelStorm.exe";
    std::wstring m_agentPath;
    std::wstring m_log;
};

TEST_F(StopStormTest, EveryStopEndsTheAgentForGood)
{
    std::mt19937 random(std::random_device{}());
    const USHORT port = FindFreePort();
    std::vector<double> stopMs;
    size_t agentStarts = 0;
    int stopsAfterRelaunch = 0;
    for (int round = 0; round < kStops; ++round)
    {
        SCOPED_TRACE("stop " + std::to_string(round));
        DeleteFileW(m_log.c_str());
        ASSERT_EQ(S_OK, StartSockets());
        const AgentSettings settings{m_image, RandomAgentCommand(random, port), TestProgramDirectory(), port, 0};
        CAgentSupervisor supervisor(settings, nullptr);
        ASSERT_EQ(S_OK, supervisor.Start());
        Sleep(random() % 120);

        const long long stopBegan = NowMicroseconds();
        supervisor.Stop();
        WSACleanup();
        const long long stopEnded = NowMicroseconds();
        stopMs.push_back(static_cast<double>(stopEnded - stopBegan) / 1000.0);

        EXPECT_FALSE(supervisor.IsWatching()) << "an exit wait survived the stop";
        EXPECT_EQ(nullptr, supervisor.AgentProcess()) << "the agent's handle survived the stop";
        ASSERT_TRUE(WaitForNoProcess(m_image, 5000)) << "an agent survived the stop";
        Sleep(50);  // time for a relaunch that should not happen
        EXPECT_TRUE(FindProcesses(m_image).empty()) << "an agent started after the stop";
        const std::vector<long long> starts = ReadStartTimes(ReadFileText(m_log));
        EXPECT_LE(CountLater(starts, stopBegan), 1u) << "more than the agent held at the stop started after it";
        EXPECT_EQ(0u, CountLater(starts, stopEnded + kTerminationGraceUs)) << "relaunched after the stop";
        agentStarts += starts.size();
        stopsAfterRelaunch += starts.size() > 1 ? 1 : 0;
        ASSERT_LT(stopMs.back(), kHangBoundMs);
    }
    std::sort(stopMs.begin(), stopMs.end());
    std::printf("[ figure ] %d stops (%d after relaunches), %zu agent starts: stop time min %.1f ms, median %.1f ms, "
                "max %.1f ms\n",
                kStops, stopsAfterRelaunch, agentStarts, stopMs.front(), stopMs[stopMs.size() / 2], stopMs.back());
}

// The same through the service manager: an installed instance whose agent
// keeps ending is stopped at a random moment after each start: while the
// agent runs, ends, or waits out its relaunch delay.
TEST_F(StopStormTest, ServiceStopsDuringRelaunches)
{
    constexpr int kServiceStops = 20;
    std::mt19937 random(std::random_device{}());
    const USHORT port = FindFreePort();
    CTestInstance instance(L"rel-storm");
    const std::wstring cmd = L"\"" + m_agentPath + L"\" --port=" + std::to_wstring(port) + L" --lifetime=5 \"--log=" +
                             m_log + L"\"";
    ASSERT_EQ(0u, instance.Install(port, m_image, cmd));
    std::vector<double> stopMs;
    for (int round = 0; round < kServiceStops; ++round)
    {
        SCOPED_TRACE("service stop " + std::to_string(round));
        DeleteFileW(m_log.c_str());
        ASSERT_TRUE(instance.Start()) << GetLastError();
        ASSERT_TRUE(instance.WaitForState(SERVICE_RUNNING, 20000));
        Sleep(random() % 200);
        const long long stopBegan = NowMicroseconds();
        ASSERT_TRUE(instance.RequestStop());
        ASSERT_TRUE(instance.WaitForState(SERVICE_STOPPED, 30000));
        const long long stopEnded = NowMicroseconds();
        stopMs.push_back(static_cast<double>(stopEnded - stopBegan) / 1000.0);
        ASSERT_TRUE(WaitForNoProcess(m_image, 5000)) << "an agent survived the stop";
        Sleep(50);
        EXPECT_TRUE(FindProcesses(m_image).empty()) << "an agent started after the stop";
        EXPECT_EQ(0u, CountLater(ReadStartTimes(ReadFileText(m_log)), stopEnded + kTerminationGraceUs));
        EXPECT_LT(stopMs.back(), kHangBoundMs);
    }
    instance.Remove();
    std::sort(stopMs.begin(), stopMs.end());
    std::printf("[ figure ] %d service stops during relaunches: stop time min %.1f ms, median %.1f ms, max %.1f ms\n",
                kServiceStops, stopMs.front(), stopMs[stopMs.size() / 2], stopMs.back());
}

}  // namespace
