// The host's module object: the name the service manager gives it, and its
// pre-loop step's first failure point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ZeltAgentSvcModule.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

class ModuleTest : public ::testing::Test
{
protected:
    CScopedRecords records;
    CZeltAgentSvcModule module;
};

// The service manager names the running instance: its records carry that
// name as their source, and its summary shows it.
TEST_F(ModuleTest, RecordsGoUnderTheNameTheServiceManagerPassed)
{
    CEventLogCapture events;
    WriteEventLog(module, EventKind::ServiceStarted, L"Service started");
    wchar_t name[] = L"ZeltAgentSvc-42";
    wchar_t argument[] = L"--extra";
    LPWSTR argv[] = {name, argument};
    // Outside a service the handler cannot be registered: the entry reports
    // that, under the name it was given.
    CZeltAgentSvcModule::ServiceMain(2, argv);
    const std::vector<CEventLogCapture::Record> records = events.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(L"ZeltAgentSvc", records[0].source);
    EXPECT_EQ(L"Service started", records[0].message);
    EXPECT_EQ(L"ZeltAgentSvc-42", records[1].source);
    EXPECT_EQ(L"Handler not installed", records[1].message);
    EXPECT_NE(std::wstring::npos, module.Summary().find(L"\nservice=[ZeltAgentSvc-42]\n"));
}

// The COM record is gone, so the class table cannot be registered: the first
// failure point, before sockets and agent.
TEST(PreMessageLoop, FailingPreparationIsTracedAsPointOne)
{
    CComRecord com;
    CZeltAgentSvcModule module;
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(module.ParseArguments(L"h.exe /port=1 /agent=a.exe /cmd=never-launched.exe", hr));
    com.Terminate();
    ASSERT_EQ(0u, com.m_cbSize);
    CEventLogCapture events;
    EXPECT_EQ(E_INVALIDARG, module.PreMessageLoop(0));
    EXPECT_EQ(std::vector<std::wstring>{L"==> PreMessageLoop: end_fail-1." + module.Summary()}, events.Messages());
    EXPECT_EQ(nullptr, module.AgentSupervisor());
}

}  // namespace
