// The crash loop: an agent that exits at once after every start.
//
// Through the service manager, the installed instance relaunches it after a
// delay that grows from 1 s (doubling): a handful of starts in 10 s, not
// hundreds, and a stop during the delay ends at once and leaves no agent.
//
// In this process, a supervisor made without the quick-end delay relaunches
// it a few hundred times without leaking, and writes a bounded number of
// records: the process's handle count, thread count and memory are taken
// after a short warm-up and again 150 relaunches later, and only bounds on
// their growth that a leak per relaunch would pass are asserted.
#include <gtest/gtest.h>

#include "agent/Socket.h"  // Windows Sockets before windows.h

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "ReliabilitySupport.h"
#include "agent/AgentSupervisor.h"
#include "support/TestSupport.h"

namespace {

constexpr DWORD kObservedMs = 10000;
// Delays of 1, 2 and 4 s give 4 starts in 10 s; at once, hundreds.
constexpr size_t kMaxStartsObserved = 6;
constexpr size_t kWarmUpStarts = 20;
constexpr size_t kMeasuredRelaunches = 150;
constexpr DWORD kLoopBoundMs = 180000;  // catches a supervisor that stopped relaunching
// Bounds on the growth over the measured relaunches: a leak of one handle or
// thread per relaunch exceeds them many times over, one of 2 KiB per relaunch
// exceeds the memory bound; a flat supervisor stays at 0.
constexpr long kHandleGrowthBound = 32;
constexpr long kThreadGrowthBound = 8;
constexpr long kMemoryGrowthBoundKiB = 256;
// The first end, then at most one a minute, and the count at the stop.
constexpr int kMaxEndRecords = 4;

void PrintFigures(const char* when, size_t starts, const ProcessFigures& figures)
{
    std::printf("[ figure ] crash loop %-5s agent starts=%4u handles=%4lu threads=%3lu resident=%6lu KiB "
                "data=%6lu KiB\n",
                when, static_cast<unsigned>(starts), figures.handles, figures.threads, figures.residentKiB,
                figures.dataKiB);
}

class CrashLoopTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_agentPath = CopyDemoAgent(m_image);
        m_log = TestFilePath(L"crash-loop-agent.log");
        DeleteFileW(m_log.c_str());
    }
    void TearDown() override
    {
        m_instance.Remove();
        TerminateProcesses(m_image);
        DeleteFileW(m_agentPath.c_str());
        DeleteFileW(m_log.c_str());
    }

    std::wstring AgentCommand() const { return L"\"" + m_agentPath + L"\" --exitnow \"--log=" + m_log + L"\""; }
    size_t CountStarts() const { return CountLines(ReadFileText(m_log), "start "); }
    bool WaitForStarts(size_t count) const
    {
        return WaitUntil([&] { return CountStarts() >= count; }, kLoopBoundMs);
    }

    CSavedModuleRegistration m_registration;
    std::wstring m_image = L"ZeltRelCrash.exe";
    std::wstring m_agentPath;
    std::wstring m_log;
    CTestInstance m_instance{L"rel-crash"};
};

TEST_F(CrashLoopTest, ServiceRelaunchesAQuickEndAfterAGrowingDelay)
{
    const USHORT port = FindFreePort();
    ASSERT_EQ(0u, m_instance.Install(port, m_image, AgentCommand()));
    ASSERT_TRUE(m_instance.Start()) << GetLastError();
    ASSERT_TRUE(m_instance.WaitForState(SERVICE_RUNNING, 20000));
    ASSERT_TRUE(WaitForStarts(1));
    Sleep(kObservedMs);
    const size_t starts = CountStarts();
    std::printf("[ figure ] crash loop through the service: %u starts in %.0f s\n", static_cast<unsigned>(starts),
                kObservedMs / 1000.0);
    EXPECT_GE(starts, 2u) << "not relaunched";
    EXPECT_LE(starts, kMaxStartsObserved) << "relaunched without a delay";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), m_instance.QueryState());

    const long long stopStart = NowMicroseconds();
    ASSERT_TRUE(m_instance.RequestStop());
    ASSERT_TRUE(m_instance.WaitForState(SERVICE_STOPPED, 30000));
    std::printf("[ figure ] crash loop stop during the delay: %.1f ms\n", ElapsedMs(stopStart));
    EXPECT_TRUE(WaitForNoProcess(m_image, 5000)) << "an agent survived the stop";
    const size_t afterStop = CountStarts();
    Sleep(500);
    EXPECT_EQ(afterStop, CountStarts()) << "relaunched after the stop";
}

TEST_F(CrashLoopTest, SupervisorRelaunchesHundredsOfTimesWithoutGrowing)
{
    ASSERT_EQ(S_OK, StartSockets());
    std::atomic<int> endRecords{0};
    const TraceWriter countEnds = [&](EventKind kind, const std::wstring&) {
        if (kind == EventKind::AgentEnded || kind == EventKind::AgentEndedDelayed)
            ++endRecords;
    };
    const USHORT port = FindFreePort();
    CAgentSupervisor supervisor({m_image, AgentCommand(), TestProgramDirectory(), port, 0}, countEnds);
    ASSERT_EQ(S_OK, supervisor.Start());
    const DWORD self = GetCurrentProcessId();

    ASSERT_TRUE(WaitForStarts(kWarmUpStarts)) << "the supervisor does not relaunch";
    ProcessFigures first;
    ASSERT_TRUE(ReadProcessFigures(self, std::string(), first));
    const size_t firstStarts = CountStarts();
    const long long began = NowMicroseconds();
    PrintFigures("first", firstStarts, first);

    ASSERT_TRUE(WaitForStarts(firstStarts + kMeasuredRelaunches)) << "the supervisor stopped relaunching";
    ProcessFigures last;
    ASSERT_TRUE(ReadProcessFigures(self, std::string(), last));
    const size_t lastStarts = CountStarts();
    PrintFigures("last", lastStarts, last);
    std::printf("[ figure ] crash loop: %u relaunches in %.1f s\n", static_cast<unsigned>(lastStarts - firstStarts),
                ElapsedMs(began) / 1000);
    EXPECT_LT(static_cast<long>(last.handles) - static_cast<long>(first.handles), kHandleGrowthBound);
    EXPECT_LT(static_cast<long>(last.threads) - static_cast<long>(first.threads), kThreadGrowthBound);
    EXPECT_LT(static_cast<long>(last.dataKiB) - static_cast<long>(first.dataKiB), kMemoryGrowthBoundKiB);
    EXPECT_LT(static_cast<long>(last.residentKiB) - static_cast<long>(first.residentKiB), kMemoryGrowthBoundKiB);

    supervisor.Stop();
    WSACleanup();
    EXPECT_TRUE(WaitForNoProcess(m_image, 5000)) << "an agent survived the stop";
    std::printf("[ figure ] crash loop: %d records for %u ends\n", endRecords.load(),
                static_cast<unsigned>(CountStarts()));
    EXPECT_GE(endRecords.load(), 1);
    EXPECT_LE(endRecords.load(), kMaxEndRecords);
}

}  // namespace
