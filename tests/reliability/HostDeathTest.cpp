// A host that dies (killed) while its agent and the agent's child run: the
// next start of the instance takes over the tree, and its stop leaves
// nothing of it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ReliabilitySupport.h"
#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"

namespace {

TEST(HostDeath, TheNextStartTakesOverTheTreeAndItsStopEndsIt)
{
    CAgentReaper reaper;
    CScopedAppIdKey appId{false};  // the host runs in place
    ASSERT_TRUE(appId.IsCreated());
    CAgentLog log;
    const USHORT port = FindFreePort();
    const std::wstring line = HostCommandLine(port, kDemoAgentName, DemoAgentCommand(log, port, L"--spawnchild"));
    {
        CHostProcess host(line);
        ASSERT_TRUE(host.IsStarted());
        ASSERT_TRUE(log.WaitForCount("child", 1));
        ASSERT_TRUE(TerminateProcess(host.Process(), 0xDEAD));
        ASSERT_TRUE(host.Wait());
    }
    ASSERT_EQ(2u, FindProcesses(kDemoAgentName).size());

    CHostProcess next(line);
    ASSERT_TRUE(next.IsStarted());
    // Adopted, not launched; the quit is read in the host's loop, after the adoption.
    ASSERT_TRUE(next.PostQuit());
    ASSERT_TRUE(next.Wait());
    EXPECT_EQ(0u, next.ExitCode()) << next.Output();
    EXPECT_EQ(1u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty()) << log.Lines().size() << " log lines";
}

}  // namespace
