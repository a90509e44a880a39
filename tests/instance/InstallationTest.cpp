// Installing, reconfiguring and removing instances with the real program
// under Wine's service manager and registry. Every test removes what it
// installed.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Result.h"
#include "instance/ImagePath.h"
#include "instance/Installation.h"
#include "instance/Messages.h"
#include "instance/Removal.h"
#include "resources/Guids.h"
#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

const std::wstring kLibraryKey = std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT;

// An agent program and its log in folders whose names hold blanks.
const std::wstring kAgentFolder = L"C:\\Program Files\\Zelt Agent";
const std::wstring kAgentProgram = kAgentFolder + L"\\zelt agent.exe";
const std::wstring kDataFolder = L"C:\\Zelt Agent Data";
const std::wstring kAgentLog = kDataFolder + L"\\agent one.log";

class InstallationTest : public ::testing::Test
{
protected:
    void SetUp() override { CleanUp(); }
    void TearDown() override
    {
        CleanUp();
        DeleteFileW(kAgentLog.c_str());
        DeleteFileW(kAgentProgram.c_str());
        RemoveDirectoryW(kDataFolder.c_str());
        RemoveDirectoryW(kAgentFolder.c_str());
    }

    static void CleanUp()
    {
        for (const wchar_t* name : {L"ZeltAgentSvc-7", L"ZeltAgentSvc"})
            RemoveServiceIfPresent(name);
        for (const wchar_t* name : {L"ZeltAgentSvc-7", L"ZeltAgentSvc"})
            WaitForServiceGone(name);
        // The saved registration covers the base source; the instance's is the test's own.
        DeleteTree(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc-7"));
    }

    static std::wstring Host() { return BuiltProgramPath(L"ZeltAgentSvc.exe"); }

    const CSavedModuleRegistration m_registration;
};

TEST_F(InstallationTest, ServiceSwitchInstallsAConfiguredInstance)
{
    ASSERT_EQ(0u, RunHost(L"/Service /port=5000 /agent=a.exe \"/cmd=a.exe -x\" /num=7"));

    ServiceConfiguration config;
    ASSERT_TRUE(QueryServiceConfiguration(L"ZeltAgentSvc-7", config));
    EXPECT_EQ(L"ZeltAgent Service - 7", config.displayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.serviceType);
    EXPECT_EQ(L"\"" + Host() + L"\" /port=5000 /agent=\"a.exe\" /cmd=\"a.exe -x\"", config.imagePath);

    std::wstring text;
    ASSERT_TRUE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), L"LocalService", text));
    EXPECT_EQ(L"ZeltAgentSvc-7", text);
    ASSERT_TRUE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), nullptr, text));
    EXPECT_EQ(L"ZeltAgentSvc", text);
    ASSERT_TRUE(ReadText(HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE", L"AppID", text));
    EXPECT_EQ(ZELT_APPID_TEXT, text);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0"));
    // Both names the host writes under are event sources with its message table.
    for (const wchar_t* source : {L"ZeltAgentSvc", L"ZeltAgentSvc-7"})
    {
        EXPECT_TRUE(ReadText(HKEY_LOCAL_MACHINE, EventSourceKeyPath(source), L"EventMessageFile", text) && text == Host())
            << Narrow(source);
    }

    // Removal of the instance touches its service and its event source only.
    ASSERT_EQ(0u, RunHost(L"/unregserver /num=7"));
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-7"));
    EXPECT_TRUE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), L"LocalService", text));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc-7")));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc")));

    // Removal of the registration takes the rest; AppID itself stays.
    ASSERT_EQ(0u, RunHost(L"/unregserver"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc")));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
}

TEST_F(InstallationTest, RemovingAnAbsentInstanceSucceeds)
{
    EXPECT_EQ(0u, RunHost(L"/unregserver /num=404"));
}

// Without "Service" the entries are written, no service is created, and the
// configuration then fails on the missing service.
TEST_F(InstallationTest, RegServerWritesTheAppIdEntriesOnly)
{
    EXPECT_EQ(0x80070424u, RunHost(L"/RegServer /port=1 /agent=a.exe"));
    std::wstring text;
    EXPECT_TRUE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), nullptr, text));
    EXPECT_FALSE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), L"LocalService", text));
    ServiceConfiguration config;
    EXPECT_FALSE(QueryServiceConfiguration(L"ZeltAgentSvc", config));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey));
}

TEST_F(InstallationTest, PerUserRegistrationWritesTheUsersBranch)
{
    EXPECT_EQ(0x80070424u, RunHost(L"/RegServerPerUser /port=1 /agent=a.exe"));
    std::wstring text;
    ASSERT_TRUE(ReadText(HKEY_CURRENT_USER, L"Software\\Classes\\" + AppIdKeyPath(), nullptr, text));
    EXPECT_EQ(L"ZeltAgentSvc", text);
    EXPECT_TRUE(ReadText(HKEY_CURRENT_USER, L"Software\\Classes\\AppID\\ZeltAgentSvc.EXE", L"AppID", text));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\AppID\\ZeltAgentSvc.EXE"));
}

bool StartTestService(const wchar_t* name)
{
    return StartServiceW(OpenTestService(name, SERVICE_START).Get(), 0, nullptr) != FALSE;
}

// An agent in a folder with blanks, with quoted arguments: the installed
// command line gives the very same values back when it is split, the service
// reads them back from it and starts the agent with its arguments intact (its
// log lands where its --log argument says), and removing the running
// instance stops it cleanly.
TEST_F(InstallationTest, InstalledServiceRunsTheAgentWithItsCommandLine)
{
    const std::wstring& program = kAgentProgram;
    const std::wstring& log = kAgentLog;
    CreateDirectoryW(kAgentFolder.c_str(), nullptr);
    CreateDirectoryW(kDataFolder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"ZeltDemoAgent.exe").c_str(), program.c_str(), FALSE));

    const std::wstring port = std::to_wstring(FindFreePort());
    const std::wstring cmd = L"\"" + program + L"\" --port=" + port + L" \"--log=" + log + L"\"";
    ASSERT_EQ(0u, RunHost(L"/Service /port=" + port + L" \"/agent=zelt agent.exe\" \"/cmd=" + EscapeQuotedValue(cmd) + L"\" /num=7"));
    ServiceConfiguration config;
    ASSERT_TRUE(QueryServiceConfiguration(L"ZeltAgentSvc-7", config));
    const std::vector<std::wstring> expected{Host(), L"/port=" + port, L"/agent=zelt agent.exe", L"/cmd=" + cmd};
    EXPECT_EQ(expected, SplitCommandLine(config.imagePath));
    ASSERT_TRUE(StartTestService(L"ZeltAgentSvc-7")) << GetLastError();
    EXPECT_TRUE(WaitForServiceState(L"ZeltAgentSvc-7", SERVICE_RUNNING));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileText(log).find("listening") != std::string::npos; }));

    // Removal asks the running service to stop: the agent gets its line.
    EXPECT_EQ(0u, RunHost(L"/unregserver /num=7"));
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-7"));
    const std::string text = ReadFileText(log);
    EXPECT_NE(std::string::npos, text.find("recv 73687574646f776e0a")) << text;
    EXPECT_NE(std::string::npos, text.find("exit shutdown")) << text;
}

TEST(ImagePath, PlainValuesKeepTheirForm)
{
    EXPECT_EQ(L"\"C:\\h.exe\" /port=5000 /agent=\"a.exe\" /cmd=\"a.exe -x\"",
              BuildImagePath(L"C:\\h.exe", 5000, L"a.exe", L"a.exe -x"));
    EXPECT_EQ(L"\"C:\\h.exe\" /port=0 /agent=\"\" /cmd=\"\"", BuildImagePath(L"C:\\h.exe", 0, L"", L""));
    EXPECT_EQ(L"C:\\dir\\a.exe \\\\server\\x", EscapeQuotedValue(L"C:\\dir\\a.exe \\\\server\\x"));
}

TEST(ImagePath, QuotesAndBackslashesRoundTripThroughSplitting)
{
    const std::wstring values[] = {
        L"\"C:\\Program Files\\A\\a.exe\" --config \"C:\\Data Dir\\a.conf\"",
        L"a.exe \\\"quoted\\\"",
        L"C:\\trailing\\",
        L"C:\\two\\\\",
        L"\"\"",
        L"a \\\\\" b",
        L"\u0416 \u4E2D -Service /RegServer",
    };
    for (const std::wstring& value : values)
    {
        const std::vector<std::wstring> argv = SplitCommandLine(BuildImagePath(L"C:\\h.exe", 1, value, value));
        ASSERT_EQ(4u, argv.size()) << Narrow(value);
        EXPECT_EQ(L"/agent=" + value, argv[2]);
        EXPECT_EQ(L"/cmd=" + value, argv[3]);
    }
}

// The system's service manager with the failures Wine cannot produce (it
// grants every right and accepts every stop) injected on request, and the
// failure actions, which Wine does not store, recorded.
class CTestServiceManager : public CSystemServiceManager
{
public:
    HRESULT OpenManager(DWORD access, CServiceHandle& manager) override
    {
        return bRefuseManager ? HResultFromError(ERROR_ACCESS_DENIED)
                              : CSystemServiceManager::OpenManager(access, manager);
    }
    HRESULT OpenServiceEntry(SC_HANDLE manager, LPCWSTR name, DWORD access, CServiceHandle& service) override
    {
        return bRefuseService ? HResultFromError(ERROR_ACCESS_DENIED)
                              : CSystemServiceManager::OpenServiceEntry(manager, name, access, service);
    }
    HRESULT SendControl(SC_HANDLE service, DWORD control, SERVICE_STATUS& status) override
    {
        if (controlError == ERROR_SUCCESS)
            return CSystemServiceManager::SendControl(service, control, status);
        status.dwCurrentState = controlState;
        return HResultFromError(controlError);
    }
    HRESULT ChangeFailureActions(SC_HANDLE, SERVICE_FAILURE_ACTIONSW& failureActions) override
    {
        resetPeriod = failureActions.dwResetPeriod;
        actions.assign(failureActions.lpsaActions, failureActions.lpsaActions + failureActions.cActions);
        return S_OK;
    }

    bool bRefuseManager = false;
    bool bRefuseService = false;
    DWORD controlError = ERROR_SUCCESS;  // the error a refused control reports, with this state
    DWORD controlState = 0;
    std::vector<SC_ACTION> actions;
    DWORD resetPeriod = 0xFFFFFFFF;
};

// The module's side of the script registration: the replacement the host's
// module adds, and this program's image, which carries the host's script.
class CTestScriptModule : public IScriptModule
{
public:
    HRESULT AddScriptReplacements(IRegistrarBase* pRegistrar) override
    {
        return pRegistrar->SetReplacement(L"APPID", ZELT_APPID_TEXT);
    }
    HINSTANCE GetModuleInstance() override { return GetModuleHandleW(nullptr); }
};

struct RecordedMessage
{
    std::wstring text;
    std::wstring caption;
    UINT type;
};
std::vector<RecordedMessage> g_messages;

int WINAPI RecordMessage(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    EXPECT_EQ(nullptr, owner);
    g_messages.push_back({text, caption, type});
    return IDOK;
}

// In-process installation steps under test service names, with the message
// boxes and the failure actions observed.
class InstallStepsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_messages.clear();
        g_pfnMessageBox = &RecordMessage;
        CleanUp();
    }
    void TearDown() override
    {
        CleanUp();
        g_pfnMessageBox = &MessageBoxW;
    }
    static void CleanUp()
    {
        for (const wchar_t* name : {L"ZeltAgentSvc-t1", L"ZeltAgentSvc-t2", L"ZeltClash"})
        {
            RemoveServiceIfPresent(name);
            WaitForServiceGone(name);
            DeleteTree(HKEY_LOCAL_MACHINE, EventSourceKeyPath(name));
        }
    }

    // Creates a plain service entry that the test owns.
    static void CreateTestService(const wchar_t* name, const wchar_t* displayName)
    {
        const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const CServiceHandle service(CreateServiceW(manager.Get(), name, displayName, SERVICE_ALL_ACCESS,
                                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                    SERVICE_ERROR_NORMAL, L"C:\\none.exe", nullptr, nullptr, nullptr,
                                                    nullptr, nullptr));
        ASSERT_TRUE(service) << GetLastError();
    }

    const CSavedModuleRegistration m_registration;
    CTestServiceManager services;
    CTestScriptModule scripts;
};

TEST_F(InstallStepsTest, ServiceIsCreatedWithItsDependencyAndRestartActions)
{
    // Creation alone: Wine drops the dependency list on later configuration changes.
    ASSERT_TRUE(InstallService(services, L"ZeltAgentSvc-t1"));
    EXPECT_EQ(std::vector<std::wstring>{L"RPCSS"},
              ReadTextList(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\ZeltAgentSvc-t1",
                           L"DependOnService"));
    EXPECT_TRUE(g_messages.empty());

    InstanceSettings settings;
    settings.port = 9;
    settings.agent = L"a.exe";
    settings.num = L"t2";
    EXPECT_EQ(S_OK, RegisterAppId(services, L"ZeltAgentSvc-t2", settings, scripts, nullptr, true));
    EXPECT_EQ(0u, services.resetPeriod);
    ASSERT_EQ(3u, services.actions.size());
    for (const SC_ACTION& action : services.actions)
    {
        EXPECT_EQ(SC_ACTION_RESTART, action.Type);
        EXPECT_EQ(0u, action.Delay);
    }
    EXPECT_TRUE(g_messages.empty());
}

TEST_F(InstallStepsTest, CreationFailureShowsCouldNotStartService)
{
    // Display names are unique: another service already shows our name.
    CreateTestService(L"ZeltClash", L"ZeltAgentSvc-t1");
    EXPECT_FALSE(InstallService(services, L"ZeltAgentSvc-t1"));
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(L"Could not start service", g_messages[0].text);
    EXPECT_EQ(L"ZeltAgentSvc-t1", g_messages[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_OK), g_messages[0].type);
}

TEST_F(InstallStepsTest, StoppedServiceIsRemovedWithoutMessage)
{
    CreateTestService(L"ZeltAgentSvc-t1", L"t1");
    EXPECT_TRUE(IsServiceInstalled(services, L"ZeltAgentSvc-t1"));
    EXPECT_TRUE(UninstallService(services, L"ZeltAgentSvc-t1"));
    EXPECT_TRUE(g_messages.empty());
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-t1"));
    EXPECT_TRUE(UninstallService(services, L"ZeltAgentSvc-t1"));
}

// A stop request refused because the service is already stopping needs no
// message; the service is deleted all the same.
TEST_F(InstallStepsTest, StoppingServiceIsRemovedWithoutMessage)
{
    CAgentReaper reaper;
    CAgentLog log;
    const CScopedAppIdKey appId(true);
    const USHORT port = FindFreePort();
    auto service = std::make_unique<CScopedService>(
        L"ZeltAgentSvc-t1", HostCommandLine(port, kDemoAgentName, DemoAgentCommand(log, port, L"--ignore")));
    ASSERT_TRUE(StartServiceW(service->Get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service->Get(), SERVICE_CONTROL_STOP, &status));  // the agent holds the stop for 3 s
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), service->Query().dwCurrentState);

    EXPECT_TRUE(UninstallService(services, L"ZeltAgentSvc-t1"));
    EXPECT_TRUE(g_messages.empty()) << (g_messages.empty() ? "" : Narrow(g_messages[0].text));
    service.reset();  // its handles would keep the service
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-t1"));
    EXPECT_EQ("73687574646f776e0a", log.ReceivedHex());
}

TEST_F(InstallStepsTest, ServiceMarkedForDeletionShowsCouldNotDeleteService)
{
    CreateTestService(L"ZeltAgentSvc-t1", L"t1");
    CServiceHandle held = OpenTestService(L"ZeltAgentSvc-t1", DELETE | SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(DeleteService(held.Get()));
    const bool bRemoved = UninstallService(services, L"ZeltAgentSvc-t1");
    held.Reset();
    EXPECT_FALSE(bRemoved);
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(L"Could not delete service", g_messages[0].text);
    EXPECT_EQ(L"ZeltAgentSvc-t1", g_messages[0].caption);
}

// Only a service that does not exist counts as removed: a manager or service
// that cannot be opened is shown, fails the removal and leaves the service.
TEST_F(InstallStepsTest, ManagerThatCannotBeOpenedShowsItsMessage)
{
    CreateTestService(L"ZeltAgentSvc-t1", L"t1");
    services.bRefuseManager = true;
    EXPECT_FALSE(UninstallService(services, L"ZeltAgentSvc-t1"));
    EXPECT_FALSE(InstallService(services, L"ZeltAgentSvc-t1"));
    services.bRefuseManager = false;
    ASSERT_EQ(2u, g_messages.size());
    EXPECT_EQ(L"Could not open Service Manager", g_messages[0].text);
    EXPECT_EQ(L"Could not open Service Manager", g_messages[1].text);
    EXPECT_EQ(L"ZeltAgentSvc-t1", g_messages[1].caption);
    EXPECT_TRUE(IsServiceInstalled(services, L"ZeltAgentSvc-t1"));
}

TEST_F(InstallStepsTest, ServiceThatCannotBeOpenedForRemovalShowsItsMessage)
{
    CreateTestService(L"ZeltAgentSvc-t1", L"t1");
    services.bRefuseService = true;
    EXPECT_FALSE(UninstallService(services, L"ZeltAgentSvc-t1"));
    EXPECT_EQ(E_FAIL, RemoveAppId(services, L"ZeltAgentSvc-t1", scripts));
    services.bRefuseService = false;
    ASSERT_EQ(2u, g_messages.size());
    EXPECT_EQ(L"Could not open service", g_messages[0].text);
    EXPECT_TRUE(IsServiceInstalled(services, L"ZeltAgentSvc-t1"));
}

// A refused stop is shown unless the service is already stopping or stopped;
// the service is deleted either way.
TEST_F(InstallStepsTest, RefusedStopShowsCouldNotStopServiceAndStillDeletes)
{
    struct Case { DWORD error; DWORD state; bool bMessage; } cases[] = {
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_START_PENDING, true},
        {ERROR_ACCESS_DENIED, SERVICE_RUNNING, true},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_STOP_PENDING, false},
        {ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED, false},
    };
    for (const Case& c : cases)
    {
        g_messages.clear();
        CreateTestService(L"ZeltAgentSvc-t1", L"t1");
        services.controlError = c.error;
        services.controlState = c.state;
        EXPECT_TRUE(UninstallService(services, L"ZeltAgentSvc-t1"));
        services.controlError = ERROR_SUCCESS;
        EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-t1"));
        ASSERT_EQ(c.bMessage ? 1u : 0u, g_messages.size()) << c.error << " " << c.state;
        if (c.bMessage)
        {
            EXPECT_EQ(L"Could not stop service", g_messages[0].text);
        }
    }
}

// True when the service exists and is not marked for deletion: a marked
// service refuses every configuration change.
bool IsServiceKept(const wchar_t* name)
{
    const CServiceHandle service = OpenTestService(name, SERVICE_CHANGE_CONFIG);
    return service && ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

// Reinstalling a running instance whose agent holds the stop for 3 s: the
// old service is stopped and gone before the new one is configured, so the
// new configuration stays. A stop that cannot be made leaves the old service
// installed, running and not marked for deletion.
TEST_F(InstallStepsTest, ReinstallOfARunningInstanceEndsWithTheNewOne)
{
    CAgentReaper reaper;
    CAgentLog log;
    const USHORT port = FindFreePort();
    const std::wstring install = L"/Service /agent=ZeltDemoAgent.exe /num=t1 /port=";
    ASSERT_EQ(0u, RunHost(install + std::to_wstring(port) + L" \"/cmd=" + DemoAgentCommand(log, port, L"--ignore") + L"\""));
    ASSERT_TRUE(StartTestService(L"ZeltAgentSvc-t1")) << GetLastError();
    ASSERT_TRUE(log.WaitForCount("listening", 1));

    services.controlError = ERROR_ACCESS_DENIED;
    services.controlState = SERVICE_RUNNING;
    EXPECT_EQ(E_FAIL, WriteAppIdEntries(services, L"ZeltAgentSvc-t1", scripts, true));
    services.controlError = ERROR_SUCCESS;
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(L"Could not stop service", g_messages[0].text);
    EXPECT_TRUE(WaitForServiceState(L"ZeltAgentSvc-t1", SERVICE_RUNNING, 1));
    EXPECT_TRUE(IsServiceKept(L"ZeltAgentSvc-t1"));

    const USHORT newPort = FindFreePort();
    const std::wstring newCmd = DemoAgentCommand(log, newPort);
    ASSERT_EQ(0u, RunHost(install + std::to_wstring(newPort) + L" \"/cmd=" + newCmd + L"\""));
    ServiceConfiguration config;
    ASSERT_TRUE(QueryServiceConfiguration(L"ZeltAgentSvc-t1", config));
    EXPECT_EQ(BuildImagePath(BuiltProgramPath(L"ZeltAgentSvc.exe"), newPort, L"ZeltDemoAgent.exe", newCmd),
              config.imagePath);
    EXPECT_TRUE(IsServiceKept(L"ZeltAgentSvc-t1"));
    EXPECT_EQ("73687574646f776e0a", log.ReceivedHex());  // the old agent had its line
    EXPECT_TRUE(WaitUntil([] { return FindProcesses(kDemoAgentName).empty(); }, 5000));
}

TEST_F(InstallStepsTest, RemoveAppIdWithoutTheKeyReportsTheRegistryError)
{
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), RemoveAppId(services, L"ZeltAgentSvc-t1", scripts));
    EXPECT_TRUE(g_messages.empty());
}

}  // namespace
