// The host's module object: its defaults, its directory, its own script
// replacement, the name the service manager gives it, and its pre-loop
// step's first failure point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ZeltAgentSvcModule.h"
#include "registrar/RegistrarBase.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

class ModuleTest : public ::testing::Test
{
protected:
    CScopedRecords records;
    CZeltAgentSvcModule module;
};

TEST_F(ModuleTest, FreshModuleHoldsItsDefaults)
{
    EXPECT_FALSE(g_bInitFailed);
    EXPECT_EQ(&module, g_pModule);
    EXPECT_EQ(0, module.ModuleLockCount());
    EXPECT_TRUE(module.m_bRunAsService);
    EXPECT_TRUE(module.m_bComStarted);
    EXPECT_TRUE(module.m_bIdleShutdown);
    EXPECT_EQ(5000u, module.m_dwIdleTimeout);
    EXPECT_EQ(1000u, module.m_dwExitPause);
    EXPECT_EQ(GetCurrentThreadId(), module.m_dwStartThreadId);
    EXPECT_EQ(0x10u, module.m_serviceStatus.dwServiceType);
    EXPECT_EQ(1u, module.m_serviceStatus.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), module.m_serviceStatus.dwControlsAccepted);
    EXPECT_EQ(0u, module.m_serviceStatus.dwWin32ExitCode);
    EXPECT_STREQ(L"ZeltAgentSvc", module.m_serviceName);
    EXPECT_EQ(0, module.Settings().port);
    EXPECT_TRUE(module.Settings().agent.empty() && module.Settings().cmd.empty() && module.Settings().num.empty() &&
                module.Summary().empty());
    EXPECT_EQ(nullptr, module.AgentSupervisor());
}

TEST_F(ModuleTest, DirIsTheProgramDirectoryWithoutTrailingBackslash)
{
    EXPECT_EQ(TestProgramDirectory(), module.Directory());
    ASSERT_FALSE(module.Directory().empty());
    EXPECT_NE(L'\\', module.Directory().back());
}

class CRecordingRegistrar : public IRegistrarBase
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    HRESULT STDMETHODCALLTYPE SetReplacement(LPCOLESTR name, LPCOLESTR value) override
    {
        entries.push_back(std::wstring(name) + L"=" + value);
        return result;
    }
    HRESULT STDMETHODCALLTYPE ResetReplacements() override { return S_OK; }

    std::vector<std::wstring> entries;
    HRESULT result = S_OK;
};

TEST_F(ModuleTest, AddScriptReplacementsAddsTheAppIdAndPassesTheResultOn)
{
    CRecordingRegistrar registrar;
    EXPECT_EQ(S_OK, module.AddScriptReplacements(&registrar));
    ASSERT_EQ(1u, registrar.entries.size());
    EXPECT_EQ(std::wstring(L"APPID=") + ZELT_APPID_TEXT, registrar.entries[0]);

    registrar.result = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, module.AddScriptReplacements(&registrar));
}

// The service manager names the running instance: its records carry that
// name as their source, and its summary shows it.
TEST_F(ModuleTest, RecordsGoUnderTheNameTheServiceManagerPassed)
{
    CEventLogCapture events;
    WriteEventLog(module, L"Service started");
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
