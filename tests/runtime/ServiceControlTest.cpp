// The run step in process: the choice of mode from the AppID key, the run
// loop's three outcomes and the control handler. A module of the runtime's
// own records the steps around the loop. Each shape of "LocalService" is
// checked through the host by the registry-fault tests (tests/reliability).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "RuntimeTestModule.h"
#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/TestSupport.h"

namespace {

// True when a quit message waits in this thread's queue (and takes it out).
bool TakeQuitMessage()
{
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// Each record with the state the module had reported when it was written.
std::vector<std::pair<std::wstring, DWORD>> g_recordsWithState;

void RecordWithState(const wchar_t*, WORD, DWORD, const wchar_t* message)
{
    const auto* module = static_cast<CTestModule*>(g_pModule);
    g_recordsWithState.emplace_back(message, module->m_serviceStatus.dwCurrentState);
}

using Calls = std::vector<std::string>;

class ServiceControlTest : public ::testing::Test
{
protected:
    ~ServiceControlTest() override { TakeQuitMessage(); }

    CScopedRecords records;
    CTestModule module;
    CEventLogCapture events;
};

TEST_F(ServiceControlTest, WithoutTheAppIdKeyNothingRuns)
{
    const CSavedModuleRegistration registration;  // and none while the test runs
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, module.StartModule(5));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), module.m_serviceStatus.dwWin32ExitCode);
    EXPECT_TRUE(module.calls.empty());
    EXPECT_TRUE(events.Messages().empty());
}

TEST_F(ServiceControlTest, WithoutLocalServiceTheLoopRunsInPlace)
{
    CScopedAppIdKey appId(false);
    ASSERT_TRUE(appId.IsCreated());
    EXPECT_EQ(0x1234, module.StartModule(5));
    EXPECT_FALSE(module.m_bRunAsService);
    EXPECT_EQ(0x1234u, module.m_serviceStatus.dwWin32ExitCode);
    EXPECT_EQ((Calls{"PreMessageLoop(5)", "ShutdownAgent"}), module.calls);
    EXPECT_FALSE(TakeQuitMessage());  // the loop ran
    EXPECT_TRUE(events.Messages().empty());
}

TEST_F(ServiceControlTest, OtherSuccessSkipsTheLoopAndFailureSkipsBoth)
{
    module.m_bRunAsService = TRUE;
    module.preLoopResult = S_FALSE;
    EXPECT_EQ(0x1234, module.RunLoop(0));
    EXPECT_EQ((Calls{"PreMessageLoop(0)", "ShutdownAgent"}), module.calls);
    EXPECT_TRUE(TakeQuitMessage());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), module.m_serviceStatus.dwCurrentState);

    module.calls.clear();
    module.preLoopResult = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, module.RunLoop(0));
    EXPECT_EQ(Calls{"PreMessageLoop(0)"}, module.calls);
    EXPECT_TRUE(TakeQuitMessage());
    EXPECT_TRUE(events.Messages().empty());
}

TEST_F(ServiceControlTest, ServiceLoopWritesStartedAndReportsRunning)
{
    module.m_bRunAsService = TRUE;
    EXPECT_EQ(0x1234, module.RunLoop(0));
    EXPECT_EQ(std::vector<std::wstring>{L"Service started"}, events.Messages());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), module.m_serviceStatus.dwCurrentState);
    EXPECT_FALSE(TakeQuitMessage());
}

// At system shutdown the agent is stopped as at a stop: PRESHUTDOWN, and
// (quick) SHUTDOWN from a service manager that sends no PRESHUTDOWN.
class StopControlTest : public ServiceControlTest, public ::testing::WithParamInterface<DWORD>
{
};

TEST_P(StopControlTest, ReportsStopPendingAndQuitsTheLoopThread)
{
    module.m_bRunAsService = TRUE;
    ASSERT_EQ(S_FALSE, module.PrepareMessageLoop(0));  // this thread runs the loop
    module.m_serviceStatus.dwCurrentState = SERVICE_RUNNING;
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), module.ControlHandler(GetParam()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), module.m_serviceStatus.dwCurrentState);
    EXPECT_TRUE(TakeQuitMessage());
    // Only SHUTDOWN alone leaves less time than the whole stop takes.
    EXPECT_EQ(GetParam() == SERVICE_CONTROL_SHUTDOWN, module.IsQuickStop());
    // Pending with the stop's wait hint; each progress report advances the
    // checkpoint.
    EXPECT_EQ(module.m_dwStopWaitHintMs, module.m_serviceStatus.dwWaitHint);
    EXPECT_EQ(1u, module.m_serviceStatus.dwCheckPoint);
    module.ReportProgress();
    EXPECT_EQ(2u, module.m_serviceStatus.dwCheckPoint);
    EXPECT_TRUE(events.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(StopShutdownPreshutdown, StopControlTest,
                         ::testing::Values(static_cast<DWORD>(SERVICE_CONTROL_STOP),
                                           static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN),
                                           static_cast<DWORD>(SERVICE_CONTROL_PRESHUTDOWN)));

// The service manager sends SHUTDOWN to a service that is still stopping
// when the preshutdown time-out ends: the stop goes on, reported as
// progress, with no second quit for the loop thread; after STOPPED a late
// control reports nothing.
TEST_F(ServiceControlTest, ShutdownAfterPreshutdownOnlyReportsProgress)
{
    module.m_bRunAsService = TRUE;
    ASSERT_EQ(S_FALSE, module.PrepareMessageLoop(0));
    module.m_serviceStatus.dwCurrentState = SERVICE_RUNNING;
    module.ControlHandler(SERVICE_CONTROL_PRESHUTDOWN);
    ASSERT_TRUE(TakeQuitMessage());
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), module.ControlHandler(SERVICE_CONTROL_SHUTDOWN));
    EXPECT_FALSE(TakeQuitMessage());
    EXPECT_FALSE(module.IsQuickStop());  // the stop PRESHUTDOWN began keeps its time
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), module.m_serviceStatus.dwCurrentState);
    EXPECT_EQ(2u, module.m_serviceStatus.dwCheckPoint);

    module.ReportStatus(SERVICE_STOPPED);
    module.ControlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), module.m_serviceStatus.dwCurrentState);
    EXPECT_EQ(0u, module.m_serviceStatus.dwCheckPoint);
    EXPECT_FALSE(TakeQuitMessage());
    EXPECT_TRUE(events.Messages().empty());
}

// Unknown controls are written at most once a minute: a flood of them
// writes the first, and the end of the run writes how many came after it.
TEST_F(ServiceControlTest, OtherKnownControlsDoNothingAndUnknownOnesAreReportedOnceAMinute)
{
    module.m_serviceStatus.dwCurrentState = SERVICE_RUNNING;
    ASSERT_EQ(S_FALSE, module.PrepareMessageLoop(0));  // this thread runs the loop
    for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE})
        module.ControlHandler(control);
    EXPECT_TRUE(events.Messages().empty());
    module.ControlHandler(0);
    for (int i = 0; i < 500; ++i)
        module.ControlHandler(128 + i % 128);
    const std::vector<CEventLogCapture::Record> records = events.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(L"Bad service request", records[0].message);
    EXPECT_EQ(static_cast<WORD>(EVENTLOG_WARNING_TYPE), records[0].level);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), module.m_serviceStatus.dwCurrentState);
    EXPECT_FALSE(TakeQuitMessage());

    module.WriteUnwrittenBadRequests();
    const std::vector<std::wstring> messages = events.Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(0u, messages[1].rfind(L"Bad service request (500 requests in the last ", 0)) << Narrow(messages[1]);
    module.WriteUnwrittenBadRequests();
    EXPECT_EQ(2u, events.Messages().size());
}

// "Service started" precedes RUNNING and "Service stopped" precedes STOPPED:
// once STOPPED is out the process may end before anything else is written.
TEST_F(ServiceControlTest, RunWritesEachRecordBeforeTheStateItAnnounces)
{
    g_recordsWithState.clear();
    g_pfnWriteEventRecord = &RecordWithState;
    module.m_bRunAsService = TRUE;
    module.RunService();
    const std::vector<std::pair<std::wstring, DWORD>> expected = {
        {L"Service started", static_cast<DWORD>(SERVICE_START_PENDING)},
        {L"Service stopped", static_cast<DWORD>(SERVICE_RUNNING)}};
    EXPECT_EQ(expected, g_recordsWithState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), module.m_serviceStatus.dwCurrentState);
    EXPECT_EQ(0x1234u, module.m_serviceStatus.dwWin32ExitCode);
    EXPECT_EQ((Calls{"PreMessageLoop(0)", "ShutdownAgent"}), module.calls);
}

// A stop that comes before the pre-loop step: no agent is started, the run
// ends STOPPED with exit code 0, and a late stop changes nothing.
TEST_F(ServiceControlTest, StopBeforeThePreLoopStepStartsNothing)
{
    module.m_bRunAsService = TRUE;
    module.m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    module.ControlHandler(SERVICE_CONTROL_STOP);
    module.RunService();
    EXPECT_TRUE(module.calls.empty());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), module.m_serviceStatus.dwCurrentState);
    EXPECT_EQ(0u, module.m_serviceStatus.dwWin32ExitCode);
    EXPECT_EQ(std::vector<std::wstring>{L"Service stopped"}, events.Messages());
    module.ControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), module.m_serviceStatus.dwCurrentState);
    EXPECT_FALSE(TakeQuitMessage());
}

}  // namespace
