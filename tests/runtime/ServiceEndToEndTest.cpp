// The host program as a service under the service manager, with the command
// line the installer writes and "LocalService" set: the status sequence, the
// stop through the control port and its failures, a user control, the failing
// launch, a stop right after the start, and a start by hand. Stops while the
// agent keeps relaunching are the stop storm's (tests/reliability).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/TestSupport.h"

namespace {

// The running service keeps the base name: its command line has no number.
constexpr const wchar_t* kServiceName = L"ZeltAgentSvc";
const std::string kShutdownHex = "73687574646f776e0a";

class ServiceEndToEndTest : public ::testing::Test
{
protected:
    // The service goes first, then its agents.
    ~ServiceEndToEndTest() override { service.reset(); }

    void Install(USHORT port, const std::wstring& options = L"", const std::wstring& cmd = L"")
    {
        std::wstring agentLine = std::wstring(kDemoAgentName) + L" --port=" + std::to_wstring(port) + L" --log=" + log.Path();
        if (!options.empty())
            agentLine += L" " + options;
        service = std::make_unique<CScopedService>(kServiceName, HostCommandLine(port, kDemoAgentName, cmd.empty() ? agentLine : cmd));
        ASSERT_TRUE(appId.IsCreated());
        ASSERT_NE(nullptr, service->Get());
    }

    // Starts the service and records every state seen until `last`; only a
    // 0 when it could not be started.
    std::vector<DWORD> StartAndWatch(DWORD last)
    {
        std::vector<DWORD> seen;
        if (!StartServiceW(service->Get(), 0, nullptr))
            return {0};
        WaitUntil([&] {
            const SERVICE_STATUS status = service->Query();
            if (seen.empty() || seen.back() != status.dwCurrentState)
                seen.push_back(status.dwCurrentState);
            EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN),
                      status.dwControlsAccepted);
            // Only a pending state carries a checkpoint and a wait hint (the
            // manager's own START_PENDING, before the service's first
            // report, may carry none).
            if (status.dwCurrentState != SERVICE_START_PENDING)
            {
                EXPECT_EQ(0u, status.dwCheckPoint) << status.dwCurrentState;
                EXPECT_EQ(0u, status.dwWaitHint) << status.dwCurrentState;
            }
            return status.dwCurrentState == last;
        });
        return seen;
    }

    // Opens the agent once it listens (or, without listening, once it started).
    CKernelHandle OpenAgent(const char* event = "listening")
    {
        EXPECT_TRUE(log.WaitForCount(event, 1));
        const std::vector<DWORD> ids = log.StartedIds();
        return CKernelHandle(ids.empty() ? nullptr : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, ids[0]));
    }

    // Stops the service; the state the control returned and the final status.
    SERVICE_STATUS Stop(DWORD& pendingState)
    {
        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(service->Get(), SERVICE_CONTROL_STOP, &status));
        pendingState = status.dwCurrentState;
        EXPECT_TRUE(service->WaitForState(SERVICE_STOPPED));
        return service->Query();
    }

    static DWORD ExitCodeOf(const CKernelHandle& process)
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 10000));
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process.Get(), &code);
        return code;
    }

    CAgentReaper reaper;
    CScopedAppIdKey appId{true};
    CAgentLog log;
    std::unique_ptr<CScopedService> service;
};

// A user control leaves the service and its agent running; the stop then
// sends the line, and the agent ends by itself. The child it started ends
// with it before the service reports STOPPED.
TEST_F(ServiceEndToEndTest, CleanRunKeepsRunningThroughAUserControlAndTheAgentEndsOnTheLine)
{
    Install(FindFreePort(), L"--spawnchild");
    const std::vector<DWORD> started = StartAndWatch(SERVICE_RUNNING);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), started.back());
    for (DWORD state : started)  // START_PENDING may pass before the first look
        EXPECT_TRUE(state == SERVICE_START_PENDING || state == SERVICE_RUNNING) << state;
    CKernelHandle agent = OpenAgent();
    ASSERT_TRUE(agent);
    ASSERT_TRUE(log.WaitForCount("child", 1));

    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service->Get(), 128, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(agent.Get(), 200));

    DWORD pending = 0;
    const SERVICE_STATUS stopped = Stop(pending);
    // The stop may already be complete when the control's answer is read.
    EXPECT_TRUE(pending == SERVICE_STOP_PENDING || pending == SERVICE_STOPPED) << pending;
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(0u, ExitCodeOf(agent));  // ended by itself, not terminated
    EXPECT_EQ(kShutdownHex, log.ReceivedHex());
    EXPECT_EQ(1u, log.Count("start"));
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
}

// An agent that ignores the line gets its 3000 ms before it is terminated;
// one that does not listen gets no line and is terminated after the connect
// budget. Meanwhile STOP_PENDING carries a wait hint that covers the connect
// budget and the agent's 3000 ms, and a checkpoint that advances. The
// agent's child ends with it before STOPPED.
TEST_F(ServiceEndToEndTest, AgentThatDoesNotEndOnTheLineIsTerminated)
{
    const struct { const wchar_t* options; const char* event; std::string received; } cases[] = {
        {L"--ignore --spawnchild", "listening", kShutdownHex}, {L"--nolisten --spawnchild", "start", ""}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(Narrow(c.options));
        ASSERT_NO_FATAL_FAILURE(Install(FindFreePort(), c.options));
        ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StartAndWatch(SERVICE_RUNNING).back());
        CKernelHandle agent = OpenAgent(c.event);
        ASSERT_TRUE(agent);
        ASSERT_TRUE(log.WaitForCount("child", 1));
        const ULONGLONG begin = GetTickCount64();
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service->Get(), SERVICE_CONTROL_STOP, &status));
        std::vector<DWORD> checkpoints;
        DWORD waitHint = 0;
        ASSERT_TRUE(WaitUntil([&] {
            SERVICE_STATUS_PROCESS seen{};
            DWORD needed = 0;
            EXPECT_TRUE(QueryServiceStatusEx(service->Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&seen),
                                             sizeof(seen), &needed));
            if (seen.dwCurrentState == SERVICE_STOP_PENDING &&
                (checkpoints.empty() || checkpoints.back() != seen.dwCheckPoint))
                checkpoints.push_back(seen.dwCheckPoint);
            waitHint = std::max(waitHint, seen.dwWaitHint);
            return seen.dwCurrentState == SERVICE_STOPPED;
        }, 30000));
        EXPECT_TRUE(FindProcesses(kDemoAgentName).empty()) << "the agent's tree outlived STOPPED";
        EXPECT_EQ(0u, service->Query().dwWin32ExitCode);
        EXPECT_GE(waitHint, 1000u + 3000u);
        EXPECT_GE(checkpoints.size(), c.received.empty() ? 1u : 3u) << "the checkpoint did not advance";
        EXPECT_TRUE(std::is_sorted(checkpoints.begin(), checkpoints.end()));
        if (!c.received.empty())
        {
            EXPECT_GE(GetTickCount64() - begin, 2900u) << "terminated before its 3000 ms were over";
        }
        EXPECT_EQ(1u, ExitCodeOf(agent));
        EXPECT_EQ(c.received, log.ReceivedHex());
        service.reset();
        EXPECT_TRUE(WaitForServiceGone(kServiceName));
        DeleteFileW(log.Path().c_str());
    }
}

TEST_F(ServiceEndToEndTest, FailingLaunchStopsTheServiceWithItsResult)
{
    Install(FindFreePort(), L"", L"missing-program-4711.exe");
    const std::vector<DWORD> seen = StartAndWatch(SERVICE_STOPPED);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), seen.back());
    EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), static_cast<DWORD>(SERVICE_RUNNING)));
    EXPECT_EQ(0x80070002u, service->Query().dwWin32ExitCode);
}

// A stop sent right after the start reaches the service while it is still
// starting. Every try ends STOPPED with exit code 0, RUNNING never follows
// STOP_PENDING, and no agent is left behind.
TEST_F(ServiceEndToEndTest, StopRightAfterStartIsNeverLost)
{
    Install(FindFreePort());
    for (int round = 0; round < 20; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(StartServiceW(service->Get(), 0, nullptr)) << GetLastError();
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service->Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
        bool bStopPendingSeen = status.dwCurrentState == SERVICE_STOP_PENDING;
        bool bRunningAfterStopPending = false;
        ASSERT_TRUE(WaitUntil([&] {
            const DWORD state = service->Query().dwCurrentState;
            bRunningAfterStopPending |= bStopPendingSeen && state == SERVICE_RUNNING;
            bStopPendingSeen |= state == SERVICE_STOP_PENDING;
            return state == SERVICE_STOPPED;
        }, 15000));
        EXPECT_FALSE(bRunningAfterStopPending);
        EXPECT_EQ(0u, service->Query().dwWin32ExitCode);
        EXPECT_TRUE(WaitUntil([] { return FindProcesses(kDemoAgentName).empty(); }, 5000));
    }
}

TEST_F(ServiceEndToEndTest, StartedByHandItEndsWith1063AndRunsNoAgent)
{
    ASSERT_TRUE(appId.IsCreated());
    const ProgramResult result = RunHostByHand(log);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(1063u, result.exitCode);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(0u, log.Count("start"));
}

}  // namespace
