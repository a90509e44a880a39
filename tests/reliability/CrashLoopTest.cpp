// The crash loop: an installed instance whose agent exits at once after every
// start, for 60 seconds. The host keeps relaunching it without leaking: its
// handle count, thread count and memory are printed every 10 seconds and
// only a generous bound on their growth is asserted. The stop at the end
// must complete and leave no agent.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "ReliabilitySupport.h"
#include "support/TestSupport.h"

namespace {

constexpr DWORD kLoopSeconds = 60;
constexpr DWORD kSampleSeconds = 10;
// Growth that a leak of one handle, thread or page per relaunch would pass
// many times over, and that a flat host never reaches.
constexpr long kHandleGrowthBound = 64;
constexpr long kThreadGrowthBound = 8;
constexpr long kMemoryGrowthBoundKiB = 8 * 1024;

void PrintFigures(const char* when, double seconds, size_t relaunches, const ProcessFigures& figures)
{
    std::printf("[ figure ] crash loop %-5s t=%5.1f s relaunches=%5u handles=%4lu threads=%3lu resident=%6lu KiB "
                "data=%6lu KiB\n",
                when, seconds, static_cast<unsigned>(relaunches), figures.handles, figures.threads,
                figures.residentKiB, figures.dataKiB);
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
        RemoveModuleRegistration();
        DeleteFileW(m_agentPath.c_str());
        DeleteFileW(m_log.c_str());
    }

    size_t CountStarts() const { return CountLines(ReadFileText(m_log), "start "); }

    std::wstring m_image = L"ZeltRelCrash.exe";
    std::wstring m_agentPath;
    std::wstring m_log;
    CTestInstance m_instance{L"rel-crash"};
};

TEST_F(CrashLoopTest, HostRelaunchesForAMinuteWithoutGrowing)
{
    const USHORT port = FindFreePort();
    const std::wstring cmd = L"\"" + m_agentPath + L"\" --exitnow \"--log=" + m_log + L"\"";
    ASSERT_EQ(0u, m_instance.Install(port, m_image, cmd));
    ASSERT_TRUE(m_instance.Start()) << GetLastError();
    ASSERT_TRUE(m_instance.WaitForState(SERVICE_RUNNING, 20000));
    DWORD hostId = 0;
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), m_instance.QueryState(&hostId));

    const std::string mark = "/port=" + std::to_string(port);  // in the host's command line only
    const long long began = NowMicroseconds();
    Sleep(1000);  // past the host's own start-up
    ProcessFigures first;
    ASSERT_TRUE(ReadProcessFigures(hostId, mark, first));
    PrintFigures("start", ElapsedMs(began) / 1000, CountStarts(), first);
    ProcessFigures last = first;
    for (DWORD second = kSampleSeconds; second <= kLoopSeconds; second += kSampleSeconds)
    {
        Sleep(static_cast<DWORD>(second * 1000 - ElapsedMs(began)));
        ASSERT_TRUE(ReadProcessFigures(hostId, mark, last)) << "the host is gone";
        PrintFigures(second == kLoopSeconds ? "end" : "", ElapsedMs(began) / 1000, CountStarts(), last);
    }
    const size_t relaunches = CountStarts();
    EXPECT_GT(relaunches, static_cast<size_t>(kLoopSeconds)) << "the host stopped relaunching";
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
