// Twenty instances side by side: installed in parallel, started, their
// agents killed and relaunched, stopped, and removed in parallel. Each ends
// in the expected state, and nothing is left in the service database or the
// registry. The time of each phase is printed.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "base/Handles.h"
#include "instance/ImagePath.h"
#include "resources/Guids.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr int kInstances = 20;

// Starts the host once per argument line, all at once, and returns their
// exit codes (0xDEAD for one that did not end within `timeoutMs`).
std::vector<DWORD> RunHostsTogether(const std::vector<std::wstring>& argumentLines, DWORD timeoutMs)
{
    std::vector<CProcessInformation> processes(argumentLines.size());
    for (size_t i = 0; i < argumentLines.size(); ++i)
    {
        std::wstring line = L"\"" + BuiltProgramPath(L"ZeltAgentSvc.exe") + L"\" " + argumentLines[i];
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            processes[i].Adopt(info);
    }
    std::vector<DWORD> codes;
    for (CProcessInformation& process : processes)
    {
        DWORD code = 0xDEAD;
        if (process.process && WaitForSingleObject(process.process.Get(), timeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.process.Get(), &code);
        else if (process.process)
            TerminateProcess(process.process.Get(), 0xDEAD);
        codes.push_back(code);
    }
    return codes;
}

struct Instance
{
    std::unique_ptr<CTestInstance> service;
    std::wstring image;
    std::wstring log;
    USHORT port = 0;
};

class ManyInstancesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::set<USHORT> ports;
        for (int i = 0; i < kInstances; ++i)
        {
            Instance instance;
            const std::wstring number = (i < 10 ? L"0" : L"") + std::to_wstring(i);
            instance.service = std::make_unique<CTestInstance>(L"relmany-" + number);
            instance.image = L"ZeltRelMany-" + number + L".exe";  // no instance adopts another's agent
            instance.log = TestFilePath(L"many-" + number + L".log");
            do
                instance.port = FindFreePort();
            while (!ports.insert(instance.port).second);
            CopyDemoAgent(instance.image);
            DeleteFileW(instance.log.c_str());
            m_instances.push_back(std::move(instance));
        }
    }

    void TearDown() override
    {
        for (Instance& instance : m_instances)
        {
            instance.service->Remove();
            TerminateProcesses(instance.image);
            DeleteFileW(BuiltProgramPath(instance.image.c_str()).c_str());
            DeleteFileW(instance.log.c_str());
        }
    }

    bool AllLogsHold(const std::string& line, size_t count, DWORD timeoutMs) const
    {
        const long long start = NowMicroseconds();
        for (;;)
        {
            bool bAll = true;
            for (const Instance& instance : m_instances)
                bAll = bAll && CountLines(ReadFileText(instance.log), line) >= count;
            if (bAll)
                return true;
            if (ElapsedMs(start) > timeoutMs)
                return false;
            Sleep(50);
        }
    }

    CSavedModuleRegistration m_registration;
    std::vector<Instance> m_instances;
};

void PrintPhase(const char* phase, long long since)
{
    std::printf("[ figure ] %d instances: %-28s %8.0f ms\n", kInstances, phase, ElapsedMs(since));
}

TEST_F(ManyInstancesTest, TwentyInstancesLiveAndLeaveNothingBehind)
{
    long long phase = NowMicroseconds();
    std::vector<std::wstring> installs;
    for (const Instance& instance : m_instances)
    {
        const std::wstring cmd = L"\"" + BuiltProgramPath(instance.image.c_str()) + L"\" --port=" +
                                 std::to_wstring(instance.port) + L" \"--log=" + instance.log + L"\"";
        installs.push_back(instance.service->InstallArguments(instance.port, instance.image, cmd));
    }
    for (const DWORD code : RunHostsTogether(installs, 120000))
        EXPECT_EQ(0u, code);
    PrintPhase("installed in parallel", phase);

    phase = NowMicroseconds();
    for (const Instance& instance : m_instances)
        EXPECT_TRUE(instance.service->Start()) << Narrow(instance.service->ServiceName()) << " " << GetLastError();
    for (const Instance& instance : m_instances)
        EXPECT_TRUE(instance.service->WaitForState(SERVICE_RUNNING, 30000)) << Narrow(instance.service->ServiceName());
    ASSERT_TRUE(AllLogsHold("listening", 1, 60000));
    PrintPhase("started, agents listening", phase);

    phase = NowMicroseconds();
    for (const Instance& instance : m_instances)
        TerminateProcesses(instance.image);
    ASSERT_TRUE(AllLogsHold("listening", 2, 60000)) << "not every agent was relaunched";
    PrintPhase("agents killed and relaunched", phase);
    for (const Instance& instance : m_instances)
        EXPECT_EQ(1u, FindProcesses(instance.image).size()) << Narrow(instance.image);

    phase = NowMicroseconds();
    for (const Instance& instance : m_instances)
        EXPECT_TRUE(instance.service->RequestStop());
    for (const Instance& instance : m_instances)
    {
        EXPECT_TRUE(instance.service->WaitForState(SERVICE_STOPPED, 30000)) << Narrow(instance.service->ServiceName());
        EXPECT_TRUE(WaitForNoProcess(instance.image, 5000)) << Narrow(instance.image);
        EXPECT_EQ(1u, CountLines(ReadFileText(instance.log), "exit shutdown")) << Narrow(instance.image);
    }
    PrintPhase("stopped", phase);

    phase = NowMicroseconds();
    std::vector<std::wstring> removals;
    for (const Instance& instance : m_instances)
        removals.push_back(L"/unregserver \"/num=" + instance.service->Num() + L"\"");
    for (const DWORD code : RunHostsTogether(removals, 120000))
        EXPECT_EQ(0u, code);
    for (const Instance& instance : m_instances)
    {
        EXPECT_TRUE(WaitForServiceGone(instance.service->ServiceName()));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE,
                               L"System\\CurrentControlSet\\Services\\" + instance.service->ServiceName()));
    }
    PrintPhase("removed in parallel", phase);

    EXPECT_EQ(0u, RunHost(L"/unregserver"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT));
}

}  // namespace
