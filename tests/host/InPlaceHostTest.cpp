// The host program run in place (the AppID key present, no "LocalService"):
// launch in its own directory, relaunch after each end, the launch failure's
// trace lines and exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/TestSupport.h"

namespace {

std::string HostDirectory()
{
    const std::wstring host = BuiltProgramPath(L"ZeltAgentSvc.exe");
    return Narrow(host.substr(0, host.rfind(L'\\')));
}

class InPlaceHostTest : public ::testing::Test
{
protected:
    // The agent by its bare name: the host finds it in its own directory.
    std::wstring AgentCommand(USHORT port, const std::wstring& options = L"") const
    {
        std::wstring line = std::wstring(kDemoAgentName) + L" --port=" + std::to_wstring(port) + L" --log=" + log.Path();
        return options.empty() ? line : line + L" " + options;
    }

    CAgentReaper reaper;
    CScopedAppIdKey appId{false};
    CAgentLog log;
};

TEST_F(InPlaceHostTest, LaunchesInItsDirectoryRelaunchesEachEndAndStopsOnQuit)
{
    ASSERT_TRUE(appId.IsCreated());
    const USHORT port = FindFreePort();
    CHostProcess host(HostCommandLine(port, kDemoAgentName, AgentCommand(port)));
    ASSERT_TRUE(host.IsStarted());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    EXPECT_NE(std::string::npos, log.Lines()[0].find(" dir=" + HostDirectory()));

    for (size_t ends = 1; ends <= 3; ++ends)
    {
        const DWORD id = log.StartedIds().back();
        CKernelHandle agent(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        TerminateProcess(agent.Get(), 0xDEAD);
        ASSERT_TRUE(log.WaitForCount("listening", ends + 1));
        EXPECT_EQ(std::vector<DWORD>{log.StartedIds().back()}, FindProcesses(kDemoAgentName));
        EXPECT_NE(id, log.StartedIds().back());
    }
    ASSERT_TRUE(host.PostQuit());
    ASSERT_TRUE(host.Wait());
    EXPECT_EQ(0u, host.ExitCode());
    EXPECT_EQ(1u, log.Count("exit shutdown"));
    EXPECT_EQ(4u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
    // In place nothing of the service is written.
    EXPECT_EQ(std::string::npos, host.Output().find("Service"));
}

TEST_F(InPlaceHostTest, MissingProgramWritesBothTracesAndEndsWithTheError)
{
    ASSERT_TRUE(appId.IsCreated());
    const USHORT port = FindFreePort();
    const ProgramResult result = RunProgram(HostCommandLine(port, L"missing.exe", L"missing.exe -x"));
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0x80070002u, result.exitCode);
    const std::string summary = "\ndir=[" + HostDirectory() +
                                "]\nport=[" + std::to_string(port) + "]\nagent=[missing.exe]\nnum=[]\nservice=[ZeltAgentSvc]\ncmd=[missing.exe -x]";
    EXPECT_EQ("==> StartProcess: end_fail-1.[err=2]" + summary + "\n==> PreMessageLoop: end_fail-3." + summary + "\n",
              result.output);
}

// Deletes a file when the scope ends, after whatever ran from it.
struct CScopedFile
{
    std::wstring path;
    ~CScopedFile() { DeleteFileW(path.c_str()); }
};

// A host at the root of a drive starts its agent in that root, and not in
// the drive's current directory ("C:" alone).
TEST_F(InPlaceHostTest, HostAtADriveRootStartsItsAgentInTheRoot)
{
    ASSERT_TRUE(appId.IsCreated());
    wchar_t current[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_STRNE(L"C:\\", current);  // else the host would inherit the root anyway
    const CScopedFile host{L"C:\\ZeltRootHost.exe"};
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"ZeltAgentSvc.exe").c_str(), host.path.c_str(), FALSE));
    const USHORT port = FindFreePort();
    CHostProcess process(L"\"" + host.path + L"\" /port=" + std::to_wstring(port) + L" /agent=\"" + kDemoAgentName +
                         L"\" /cmd=\"" + DemoAgentCommand(log, port) + L"\"");
    ASSERT_TRUE(process.IsStarted());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    const std::string start = log.Lines()[0];
    EXPECT_EQ(" dir=C:\\", start.substr(start.find(" dir="))) << start;
    ASSERT_TRUE(process.PostQuit());
    EXPECT_TRUE(process.Wait());
    EXPECT_EQ(1u, log.Count("exit shutdown"));
}

TEST(HostWithoutAppId, EndsAtOnceWithTheRegistryError)
{
    const CSavedModuleRegistration registration;  // and none while the test runs
    CAgentReaper reaper;
    CAgentLog log;
    const USHORT port = FindFreePort();
    const ProgramResult result = RunProgram(HostCommandLine(port, kDemoAgentName, DemoAgentCommand(log, port)));
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(0u, log.Count("start"));
}

}  // namespace
