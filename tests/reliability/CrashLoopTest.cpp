// The crash loop: an installed instance whose agent exits at once after every
// start. The host keeps relaunching it without leaking: its handle count,
// thread count and memory are taken after a short warm-up and again a few
// hundred relaunches later, and only bounds on their growth that a leak per
// relaunch would pass are asserted. The stop at the end must complete and
// leave no agent.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "ReliabilitySupport.h"
#include "support/TestSupport.h"

namespace {

constexpr size_t kWarmUpStarts = 20;
constexpr size_t kMeasuredRelaunches = 150;
constexpr DWORD kLoopBoundMs = 180000;  // catches a host that stopped relaunching
// Bounds on the growth over the measured relaunches: a leak of one handle or
// thread per relaunch exceeds them many times over, one of 2 KiB per relaunch
// exceeds the memory bound; a flat host stays at 0.
constexpr long kHandleGrowthBound = 32;
constexpr long kThreadGrowthBound = 8;
constexpr long kMemoryGrowthBoundKiB = 256;

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

TEST_F(CrashLoopTest, HostRelaunchesHundredsOfTimesWithoutGrowing)
{
    const USHORT port = FindFreePort();
    const std::wstring cmd = L"\"" + m_agentPath + L"\" --exitnow \"--log=" + m_log + L"\"";
    ASSERT_EQ(0u, m_instance.Install(port, m_image, cmd));
    ASSERT_TRUE(m_instance.Start()) << GetLastError();
    ASSERT_TRUE(m_instance.WaitForState(SERVICE_RUNNING, 20000));
    DWORD hostId = 0;
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), m_instance.QueryState(&hostId));

    const std::string mark = "/port=" + std::to_string(port);  // in the host's command line only
    ASSERT_TRUE(WaitForStarts(kWarmUpStarts)) << "the host does not relaunch";
    ProcessFigures first;
    ASSERT_TRUE(ReadProcessFigures(hostId, mark, first));
    const size_t firstStarts = CountStarts();
    const long long began = NowMicroseconds();
    PrintFigures("first", firstStarts, first);

    ASSERT_TRUE(WaitForStarts(firstStarts + kMeasuredRelaunches)) << "the host stopped relaunching";
    ProcessFigures last;
    ASSERT_TRUE(ReadProcessFigures(hostId, mark, last)) << "the host is gone";
    const size_t lastStarts = CountStarts();
    PrintFigures("last", lastStarts, last);
    std::printf("[ figure ] crash loop: %u relaunches in %.1f s\n", static_cast<unsigned>(lastStarts - firstStarts),
                ElapsedMs(began) / 1000);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), m_instance.QueryState());
    EXPECT_LT(static_cast<long>(last.handles) - static_cast<long>(first.handles), kHandleGrowthBound);
    EXPECT_LT(static_cast<long>(last.threads) - static_cast<long>(first.threads), kThreadGrowthBound);
    EXPECT_LT(static_cast<long>(last.dataKiB) - static_cast<long>(first.dataKiB), kMemoryGrowthBoundKiB);
    EXPECT_LT(static_cast<long>(last.residentKiB) - static_cast<long>(first.residentKiB), kMemoryGrowthBoundKiB);

    const long long stopStart = NowMicroseconds();
    ASSERT_TRUE(m_instance.RequestStop());
    ASSERT_TRUE(m_instance.WaitForState(SERVICE_STOPPED, 30000));
    std::printf("[ figure ] crash loop stop: %.1f ms\n", ElapsedMs(stopStart));
    EXPECT_TRUE(WaitForNoProcess(m_image, 5000)) << "an agent survived the stop";
    const size_t afterStop = CountStarts();
    Sleep(500);
    EXPECT_EQ(afterStop, CountStarts()) << "relaunched after the stop";
}

}  // namespace
