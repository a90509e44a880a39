// The host program run in place (the AppID key present, no "LocalService"):
// launch in its own folder, relaunch after each end, the launch failure's
// trace lines and exit code, and no run at all without the AppID key.
#include <gtest/gtest.h>

#include <string>

#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/TestSupport.h"

namespace {

// Where a copy of the host runs from the root of drive C.
constexpr wchar_t kRootHost[] = L"C:\\ZeltRootHost.exe";

// The host and the demo agent copied into a folder the test makes, whose
// name holds a blank: the host's folder is that folder, as created.
class InPlaceHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(appId.IsCreated());
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr)) << GetLastError();
        for (const wchar_t* program : {L"ZeltAgentSvc.exe", kDemoAgentName})
            ASSERT_TRUE(CopyFileW(BuiltProgramPath(program).c_str(), (m_folder + L"\\" + program).c_str(), FALSE));
    }
    void TearDown() override
    {
        KillProcesses(kDemoAgentName);
        for (const wchar_t* program : {L"ZeltAgentSvc.exe", kDemoAgentName})
            DeleteFileW((m_folder + L"\\" + program).c_str());
        RemoveDirectoryW(m_folder.c_str());
        DeleteFileW(kRootHost);
    }

    // The host's command line for the copy in the folder.
    std::wstring HostLine(USHORT port, const std::wstring& agent, const std::wstring& cmd) const
    {
        return HostCommandLine(port, agent, cmd, m_folder + L"\\ZeltAgentSvc.exe");
    }

    const std::wstring m_folder = TestProgramDirectory() + L"\\host folder " + std::to_wstring(GetCurrentProcessId());
    CAgentReaper reaper;
    CScopedAppIdKey appId{false};
    CAgentLog log;
};

// The agent by its bare name: the host finds it in its own folder. Each
// agent runs past the quick-end threshold (1.5 s) before it is killed, so it
// is relaunched at once; the first end is written with its exit code, the
// two others, within the minute, are counted and written at the quit,
// without the instance's settings (written for failures only).
TEST_F(InPlaceHostTest, LaunchesInItsFolderRelaunchesEachEndAndStopsOnQuit)
{
    const USHORT port = FindFreePort();
    const std::wstring agent = std::wstring(kDemoAgentName) + L" --port=" + std::to_wstring(port) + L" --log=" + log.Path();
    CHostProcess host(HostLine(port, kDemoAgentName, agent));
    ASSERT_TRUE(host.IsStarted());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    const std::string start = log.Lines()[0];
    EXPECT_EQ(" dir=" + Narrow(m_folder), start.substr(start.find(" dir="))) << start;

    for (size_t ends = 1; ends <= 3; ++ends)
    {
        const DWORD id = log.StartedIds().back();
        Sleep(1600);
        CKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        TerminateProcess(process.Get(), 0xDEAD);
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
    const std::string output = host.Output();
    EXPECT_EQ(std::string::npos, output.find("Service"));
    const std::string first = "Agent ended (exit code 0x0000DEAD after ";
    const size_t at = output.find(first);
    ASSERT_NE(std::string::npos, at) << output;
    EXPECT_EQ("; relaunched at once\n", output.substr(output.find(';', at), 21)) << output;
    const size_t counted = output.find("2 more agent ends in the last ");
    EXPECT_NE(std::string::npos, counted) << output;
    EXPECT_NE(std::string::npos, output.find("(the last: exit code 0x0000DEAD after ", counted)) << output;
    EXPECT_EQ(std::string::npos, output.find("dir=[")) << output;
}

TEST_F(InPlaceHostTest, MissingProgramWritesBothTracesAndEndsWithTheError)
{
    const USHORT port = FindFreePort();
    const ProgramResult result = RunProgram(HostLine(port, L"missing.exe", L"missing.exe -x"));
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0x80070002u, result.exitCode);
    const std::string summary = "\ndir=[" + Narrow(m_folder) + "]\nport=[" + std::to_string(port) +
                                "]\nagent=[missing.exe]\nnum=[]\nservice=[ZeltAgentSvc]\ncmd=[missing.exe -x]";
    const std::string launch = Narrow(TraceFailureText(L"==> PreMessageLoop: end_fail-3.", ERROR_FILE_NOT_FOUND));
    EXPECT_EQ("==> StartProcess: end_fail-1.[err=2]" + summary + "\n" + launch + summary + "\n", result.output);
}

// A host at the root of a drive starts its agent in that root, and not in
// the drive's current directory ("C:" alone).
TEST_F(InPlaceHostTest, HostAtADriveRootStartsItsAgentInTheRoot)
{
    wchar_t current[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_STRNE(L"C:\\", current);  // else the host would inherit the root anyway
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"ZeltAgentSvc.exe").c_str(), kRootHost, FALSE));
    const USHORT port = FindFreePort();
    CHostProcess host(HostCommandLine(port, kDemoAgentName, DemoAgentCommand(log, port), kRootHost));
    ASSERT_TRUE(host.IsStarted());
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    ASSERT_TRUE(host.PostQuit());
    EXPECT_TRUE(host.Wait());
    const std::string start = log.Lines()[0];
    EXPECT_EQ(" dir=C:\\", start.substr(start.find(" dir="))) << start;
    EXPECT_EQ(1u, log.Count("exit shutdown"));
}

TEST(HostWithoutAppId, EndsAtOnceWithTheRegistryError)
{
    const CSavedModuleRegistration registration;  // and none while the test runs
    CAgentReaper reaper;
    CAgentLog log;
    const ProgramResult result = RunHostByHand(log);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(0u, log.Count("start"));
}

}  // namespace
