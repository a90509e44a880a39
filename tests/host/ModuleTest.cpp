// The host's module object: the name the service manager gives it, and its
// pre-loop step's first failure point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ZeltAgentSvcModule.h"
#include "instance/Elevation.h"
#include "instance/Messages.h"
#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
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
    EXPECT_EQ(std::vector<std::wstring>{TraceFailureText(L"==> PreMessageLoop: end_fail-1.", ERROR_INVALID_PARAMETER) +
                                        module.Summary()},
              events.Messages());
    EXPECT_EQ(nullptr, module.AgentSupervisor());
}

bool IsNotElevated()
{
    return false;
}

std::vector<std::wstring> g_boxes;

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR, UINT)
{
    g_boxes.push_back(text);
    return IDOK;
}

// Without elevation every command that changes the machine is refused at
// once with a box and access denied, and changes nothing; the per-user
// registration is the user's own.
TEST(ElevationCheck, CommandsThatChangeTheMachineAreRefused)
{
    const CSavedModuleRegistration registration;
    const std::vector<std::wstring> services = ServiceNames();
    g_pfnIsProcessElevated = &IsNotElevated;
    g_pfnMessageBox = &RecordBox;
    g_boxes.clear();
    for (const wchar_t* command : {L"/Service /num=t9", L"/RegServer", L"/UnregServer", L"/unregserver /num=t9"})
    {
        CScopedRecords records;
        CZeltAgentSvcModule module;
        HRESULT hr = S_OK;
        EXPECT_FALSE(module.ParseArguments((std::wstring(L"h.exe /port=1 /agent=a.exe ") + command).c_str(), hr));
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), hr) << Narrow(command);
    }
    g_pfnIsProcessElevated = &IsProcessElevated;
    g_pfnMessageBox = &MessageBoxW;
    ASSERT_EQ(4u, g_boxes.size());
    EXPECT_EQ(FailureText(L"Run this command from an elevated prompt (Run as administrator); nothing was changed",
                          ERROR_ACCESS_DENIED),
              g_boxes[0]);
    EXPECT_EQ(services, ServiceNames());
    for (const auto& key : ModuleRegistrationKeys())
        EXPECT_FALSE(KeyExists(key.first, key.second)) << Narrow(key.second);
}

}  // namespace
