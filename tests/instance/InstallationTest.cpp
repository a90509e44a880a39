// Installing, reconfiguring and removing instances with the real program
// under Wine's service manager and registry. Every test removes what it
// installed.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/EventSourceRegistration.h"
#include "base/Result.h"
#include "instance/ImagePath.h"
#include "instance/Installation.h"
#include "instance/Messages.h"
#include "instance/Removal.h"
#include "registrar/RegObject.h"
#include "resources/Guids.h"
#include "resources/ResourceIds.h"
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
        for (const wchar_t* name : {L"ZeltAgentSvc-7", L"ZeltAgentSvc", L"ZeltClash"})
            RemoveServiceIfPresent(name);
        for (const wchar_t* name : {L"ZeltAgentSvc-7", L"ZeltAgentSvc", L"ZeltClash"})
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
    // After PRESHUTDOWN the README's 10 s, above the stop's 7000 ms wait
    // hint (Wine, like Windows 7, would otherwise give 3 min). The handle
    // closes at once: an open one would hold back the deletion below.
    SERVICE_PRESHUTDOWN_INFO preshutdown{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfig2W(OpenTestService(L"ZeltAgentSvc-7", SERVICE_QUERY_CONFIG).Get(),
                                     SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<BYTE*>(&preshutdown),
                                     sizeof(preshutdown), &needed));
    EXPECT_EQ(10000u, preshutdown.dwPreshutdownTimeout);

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

// What an installation may change: the services, the module's AppID
// entries, both event sources and the type library.
std::vector<std::wstring> SnapshotInstallation(const wchar_t* serviceName)
{
    std::vector<std::wstring> lines = ServiceNames();
    for (const std::wstring& path : {AppIdKeyPath(), std::wstring(L"AppID\\ZeltAgentSvc.EXE"), kLibraryKey})
    {
        const std::vector<std::wstring> key = SnapshotKey(HKEY_CLASSES_ROOT, path);
        lines.insert(lines.end(), key.begin(), key.end());
    }
    for (const wchar_t* source : {L"ZeltAgentSvc", serviceName})
    {
        const std::vector<std::wstring> key = SnapshotKey(HKEY_LOCAL_MACHINE, EventSourceKeyPath(source));
        lines.insert(lines.end(), key.begin(), key.end());
    }
    return lines;
}

// Display names are unique: with another service showing the instance's
// display name the creation fails, the command says so with the system's
// error, and nothing of the instance is left.
TEST_F(InstallationTest, TakenDisplayNameLeavesNothingBehind)
{
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const CServiceHandle clash(CreateServiceW(manager.Get(), L"ZeltClash", L"ZeltAgent Service - 7", SERVICE_ALL_ACCESS,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                              L"C:\\none.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(clash) << GetLastError();
    const std::vector<std::wstring> before = SnapshotInstallation(L"ZeltAgentSvc-7");

    const ProgramResult run = RunHostWithOutput(L"/Service /port=5000 /agent=a.exe /num=7");
    EXPECT_EQ(static_cast<DWORD>(E_FAIL), run.exitCode);
    const std::string expected =
        Narrow(L"ZeltAgentSvc-7: " + FailureText(L"Could not start service", ERROR_DUPLICATE_SERVICE_NAME));
    EXPECT_NE(std::string::npos, run.output.find(expected + "\n")) << run.output;
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-7", 5000));
    EXPECT_EQ(before, SnapshotInstallation(L"ZeltAgentSvc-7"));
}

// No service can carry a name with a backslash: the creation fails, and the
// "LocalService" the command had pointed at that name is taken back.
TEST_F(InstallationTest, NumberNoServiceCanCarryLeavesNothingBehind)
{
    const std::vector<std::wstring> before = SnapshotInstallation(L"ZeltAgentSvc-a");
    const ProgramResult run = RunHostWithOutput(L"/Service /port=5000 /agent=a.exe /num=a\\b");
    EXPECT_EQ(static_cast<DWORD>(E_FAIL), run.exitCode);
    EXPECT_EQ(0u, run.output.find("ZeltAgentSvc-a\\b: Could not start service: ")) << run.output;
    EXPECT_EQ(before, SnapshotInstallation(L"ZeltAgentSvc-a"));
}

// An installation's port must be written as a port number: what the host
// would read as another port (70000 as 4464, 5x as 5) or as none is refused
// with one line, and nothing is installed.
TEST_F(InstallationTest, PortThatIsNoPortNumberIsRefused)
{
    const std::vector<std::wstring> before = SnapshotInstallation(L"ZeltAgentSvc-7");
    for (const wchar_t* port : {L"70000", L"5x", L"0"})
    {
        const ProgramResult run = RunHostWithOutput(std::wstring(L"/Service /agent=a.exe /num=7 /port=") + port);
        EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), run.exitCode) << Narrow(port);
        EXPECT_EQ(0u, run.output.find("ZeltAgentSvc-7: Refused: ")) << run.output;
        EXPECT_EQ(1, std::count(run.output.begin(), run.output.end(), '\n')) << run.output;
    }
    EXPECT_EQ(before, SnapshotInstallation(L"ZeltAgentSvc-7"));
}

// The output and probe settings, REG_DWORDs in the service's Parameters
// key: out of bounds refused with nothing installed; given ones stored
// (defaults for the rest), kept by a reinstall that does not give them,
// shown by /status, and gone with the instance.
TEST_F(InstallationTest, InstanceParametersAreStoredKeptAcrossAReinstallShownAndRemoved)
{
    const std::wstring parameters = L"SYSTEM\\CurrentControlSet\\Services\\ZeltAgentSvc-7\\Parameters";
    const auto stored = [&] {
        std::vector<DWORD> values;
        for (const wchar_t* name : {L"Output", L"OutputSizeMB", L"OutputKeep", L"ProbeSeconds"})
            values.push_back(ReadNumber(HKEY_LOCAL_MACHINE, parameters, name));
        return values;
    };
    const std::wstring install = L"/Service /port=5000 /agent=a.exe /num=7";
    const std::vector<std::wstring> before = SnapshotInstallation(L"ZeltAgentSvc-7");
    const ProgramResult refused = RunHostWithOutput(install + L" /probe=0.5");
    EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), refused.exitCode);
    EXPECT_EQ(0u, refused.output.find("ZeltAgentSvc-7: Refused: /probe=0.5 is not ")) << refused.output;
    EXPECT_EQ(before, SnapshotInstallation(L"ZeltAgentSvc-7"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, parameters));

    ASSERT_EQ(0u, RunHost(install + L" /output=on /outputsize=64 /probe=30"));
    EXPECT_EQ((std::vector<DWORD>{1, 64, 2, 30}), stored());
    ASSERT_EQ(0u, RunHost(install + L" /outputkeep=5"));
    EXPECT_EQ((std::vector<DWORD>{1, 64, 5, 30}), stored());
    const ProgramResult status = RunHostWithOutput(L"/status /num=7");
    EXPECT_NE(std::string::npos, status.output.find(", probing every 30 s (last answer: not checked yet), output "))
        << status.output;
    EXPECT_NE(std::string::npos, status.output.find("\\ZeltAgentSvc\\ZeltAgentSvc-7\\agent.log")) << status.output;

    ASSERT_EQ(0u, RunHost(L"/unregserver /num=7"));
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-7"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, parameters));
}

// A second instance on the port of a first would have its stop send the
// first instance's agent its shutdown line: refused, naming the first. An
// instance reinstalled with its own port is no conflict.
TEST_F(InstallationTest, PortOfAnotherInstanceIsRefused)
{
    const USHORT port = FindFreePort();
    const CScopedService other(L"ZeltAgentSvc-8", HostCommandLine(port, L"a.exe", L"a.exe"));
    ASSERT_TRUE(other.Get());
    const std::wstring install = L"/Service /agent=a.exe /num=7 /port=";
    const ProgramResult run = RunHostWithOutput(install + std::to_wstring(port));
    EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), run.exitCode);
    EXPECT_NE(std::string::npos, run.output.find("ZeltAgentSvc-8")) << run.output;
    ServiceConfiguration config;
    EXPECT_FALSE(QueryServiceConfiguration(L"ZeltAgentSvc-7", config));

    USHORT own = FindFreePort();
    while (own == port)
        own = FindFreePort();
    const std::wstring ownPort = std::to_wstring(own);
    ASSERT_EQ(0u, RunHost(install + ownPort));
    EXPECT_EQ(0u, RunHost(install + ownPort));
    ASSERT_TRUE(QueryServiceConfiguration(L"ZeltAgentSvc-7", config));
    EXPECT_NE(std::wstring::npos, config.imagePath.find(L" /port=" + ownPort + L" "));
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
// grants every right and accepts every stop) injected on request, and what
// Wine does not keep (failure actions, an access list) recorded.
class CTestServiceManager : public CSystemServiceManager
{
public:
    HRESULT OpenManager(DWORD access, CServiceHandle& manager) override
    {
        if (bRefuseManager || IsFailing(L"OpenManager"))
            return HResultFromError(ERROR_ACCESS_DENIED);
        return CSystemServiceManager::OpenManager(access, manager);
    }
    HRESULT OpenServiceEntry(SC_HANDLE manager, LPCWSTR name, DWORD access, CServiceHandle& service) override
    {
        if (bRefuseService || IsFailing(L"OpenServiceEntry"))
            return HResultFromError(ERROR_ACCESS_DENIED);
        return CSystemServiceManager::OpenServiceEntry(manager, name, access, service);
    }
    HRESULT CreateServiceEntry(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD startType,
                               LPCWSTR imagePath, LPCWSTR dependencies, CServiceHandle& service) override
    {
        if (IsFailing(L"CreateServiceEntry"))
            return HResultFromError(ERROR_ACCESS_DENIED);
        return CSystemServiceManager::CreateServiceEntry(manager, name, displayName, startType, imagePath,
                                                         dependencies, service);
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
        if (IsFailing(L"ChangeFailureActions"))
            return HResultFromError(ERROR_ACCESS_DENIED);
        resetPeriod = failureActions.dwResetPeriod;
        actions.assign(failureActions.lpsaActions, failureActions.lpsaActions + failureActions.cActions);
        return S_OK;
    }
    HRESULT ChangePreshutdownTimeout(SC_HANDLE service, DWORD timeoutMs) override
    {
        if (IsFailing(L"ChangePreshutdownTimeout"))
            return HResultFromError(ERROR_ACCESS_DENIED);
        return CSystemServiceManager::ChangePreshutdownTimeout(service, timeoutMs);
    }
    HRESULT DeleteEntry(SC_HANDLE service) override
    {
        if (IsFailing(L"DeleteEntry"))
            return HResultFromError(ERROR_ACCESS_DENIED);
        return CSystemServiceManager::DeleteEntry(service);
    }
    HRESULT SetAccessList(SC_HANDLE service, PSECURITY_DESCRIPTOR descriptor) override
    {
        if (IsFailing(L"SetAccessList"))
            return HResultFromError(ERROR_ACCESS_DENIED);
        const BYTE* bytes = static_cast<const BYTE*>(descriptor);
        accessList.assign(bytes, bytes + GetSecurityDescriptorLength(descriptor));
        return CSystemServiceManager::SetAccessList(service, descriptor);
    }

    // The call `failingCall` fails (access denied) after `callsBeforeFailure`
    // calls of it have passed.
    std::wstring failingCall;
    int callsBeforeFailure = 0;
    bool bRefuseManager = false;
    bool bRefuseService = false;
    DWORD controlError = ERROR_SUCCESS;  // the error a refused control reports, with this state
    DWORD controlState = 0;
    std::vector<SC_ACTION> actions;
    DWORD resetPeriod = 0xFFFFFFFF;
    std::vector<BYTE> accessList;  // the last security descriptor set

private:
    bool IsFailing(const wchar_t* call)
    {
        return failingCall == call && callsBeforeFailure-- == 0;
    }
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

InstanceSettings TestSettings(const wchar_t* num)
{
    InstanceSettings settings;
    settings.port = 9;
    settings.agent = L"a.exe";
    settings.cmd = L"a.exe -x";
    settings.num = num;
    return settings;
}

// The rights an access list grants the account `sid` in allowing entries.
DWORD GrantedRights(const std::vector<BYTE>& descriptor, WELL_KNOWN_SID_TYPE sid)
{
    BYTE wanted[SECURITY_MAX_SID_SIZE];
    DWORD sidBytes = sizeof(wanted);
    BOOL bPresent = FALSE;
    BOOL bDefaulted = FALSE;
    PACL acl = nullptr;
    if (!CreateWellKnownSid(sid, nullptr, wanted, &sidBytes) ||
        !GetSecurityDescriptorDacl(const_cast<BYTE*>(descriptor.data()), &bPresent, &acl, &bDefaulted) || !acl)
        return 0;
    DWORD rights = 0;
    for (DWORD i = 0; i < acl->AceCount; ++i)
    {
        void* entry = nullptr;
        if (GetAce(acl, i, &entry) && static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE)
        {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            if (EqualSid(&allowed->SidStart, wanted))
                rights |= allowed->Mask;
        }
    }
    return rights;
}

// The service is created in one call with its whole configuration (Wine
// drops the dependency list on any later change, so reading it after the
// creation alone shows what the creation gave); the configuration then adds
// three immediate restarts and the access list.
TEST_F(InstallStepsTest, ServiceIsCreatedWhole)
{
    CInstallationUndo undo(services);
    const ServiceDefinition definition{L"\"C:\\h.exe\" /port=9", L"ZeltAgent Service - t1"};
    ASSERT_EQ(S_OK, InstallService(services, L"ZeltAgentSvc-t1", definition, undo));
    undo.Keep();
    EXPECT_EQ(std::vector<std::wstring>{L"RPCSS"},
              ReadTextList(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\ZeltAgentSvc-t1",
                           L"DependOnService"));
    ServiceConfiguration config;
    ASSERT_TRUE(QueryServiceConfiguration(L"ZeltAgentSvc-t1", config));
    EXPECT_EQ(definition.imagePath, config.imagePath);
    EXPECT_EQ(definition.displayName, config.displayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.serviceType);
    EXPECT_TRUE(g_messages.empty());

    CInstallationUndo undoT2(services);
    EXPECT_EQ(S_OK, RegisterAppId(services, L"ZeltAgentSvc-t2", TestSettings(L"t2"), scripts, nullptr, true, undoT2));
    undoT2.Keep();
    EXPECT_EQ(0u, services.resetPeriod);
    ASSERT_EQ(3u, services.actions.size());
    for (const SC_ACTION& action : services.actions)
    {
        EXPECT_EQ(SC_ACTION_RESTART, action.Type);
        EXPECT_EQ(0u, action.Delay);
    }
    EXPECT_TRUE(g_messages.empty());
}

// Administrators and the system keep full control. Interactive logons and
// service accounts may query, interrogate and list dependents (as Windows'
// default access list lets them, without user-defined controls); no account
// may start, stop, change or send user-defined controls, and network logons
// (among the authenticated users) cannot even read the command line. (Wine
// accepts the access list and keeps none, so the list the host sets is read
// where it passes the seam.)
TEST_F(InstallStepsTest, OnlyAdministratorsControlTheService)
{
    CInstallationUndo undo(services);
    EXPECT_EQ(S_OK, RegisterAppId(services, L"ZeltAgentSvc-t1", TestSettings(L"t1"), scripts, nullptr, true, undo));
    undo.Keep();
    ASSERT_FALSE(services.accessList.empty());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ALL_ACCESS), GrantedRights(services.accessList, WinLocalSystemSid));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ALL_ACCESS), GrantedRights(services.accessList, WinBuiltinAdministratorsSid));
    const DWORD readOnly =
        SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE | READ_CONTROL;
    for (const WELL_KNOWN_SID_TYPE reader : {WinInteractiveSid, WinServiceSid})
        EXPECT_EQ(readOnly, GrantedRights(services.accessList, reader)) << reader;
    for (const WELL_KNOWN_SID_TYPE other : {WinAuthenticatedUserSid, WinNetworkSid, WinWorldSid, WinBuiltinUsersSid,
                                            WinLocalServiceSid, WinNetworkServiceSid, WinAnonymousSid})
        EXPECT_EQ(0u, GrantedRights(services.accessList, other)) << other;
}

// A failed undo step is written with the system's text for its error and
// the later steps are still taken: here the created service cannot be
// deleted (through the seam) and a noted value's key is gone.
TEST_F(InstallStepsTest, FailedUndoStepsAreWrittenAndTheRestIsUndone)
{
    CInstallationUndo undo(services);
    const ServiceDefinition definition{L"\"C:\\h.exe\" /port=9", L"ZeltAgent Service - t1"};
    ASSERT_EQ(S_OK, InstallService(services, L"ZeltAgentSvc-t1", definition, undo));
    const std::wstring createdKey = L"Software\\ZeltUndoTest";
    const std::wstring missingKey = createdKey + L"\\Missing";
    undo.Journal().NoteValueWritten(HKEY_LOCAL_MACHINE, std::wstring(missingKey),
                                    CValueImage{L"Kept", REG_DWORD, {1, 0, 0, 0}}, true);
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, createdKey.c_str(), nullptr, REG_SZ, L"", 2));
    undo.Journal().NoteKeyCreated(HKEY_LOCAL_MACHINE, std::wstring(createdKey));

    services.failingCall = L"DeleteEntry";
    std::vector<std::pair<EventKind, std::wstring>> lines;
    undo.Undo([&](EventKind kind, const std::wstring& line) { lines.emplace_back(kind, line); });
    const std::vector<std::pair<EventKind, std::wstring>> expected = {
        {EventKind::InstallationFailed, FailureText(L"Could not delete the created service", ERROR_ACCESS_DENIED)},
        {EventKind::InstallationFailed, FailureText(L"Could not restore HKLM\\" + missingKey, ERROR_FILE_NOT_FOUND)}};
    EXPECT_EQ(expected, lines);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, createdKey));
    DeleteTree(HKEY_LOCAL_MACHINE, createdKey);  // should the undo have left it
    EXPECT_TRUE(IsServiceInstalled(services, L"ZeltAgentSvc-t1"));  // removed by the fixture
}

// The names the older listing call gives in one read (SERVICE_WIN32, as
// the host lists).
std::vector<std::wstring> ListServiceNames(SC_HANDLE manager)
{
    std::vector<BYTE> whole(256 * 1024);
    auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(whole.data());
    DWORD needed = 0, count = 0, resume = 0;
    std::vector<std::wstring> names;
    if (EnumServicesStatusW(manager, SERVICE_WIN32, SERVICE_STATE_ALL, entries, static_cast<DWORD>(whole.size()),
                            &needed, &count, &resume))
        for (DWORD i = 0; i < count; ++i)
            names.emplace_back(entries[i].lpServiceName);
    return names;
}

// Reads as EnumServicesStatusEx is documented to, which Wine does not (it
// gives all or nothing): the entries from the resume handle on that fit,
// ERROR_MORE_DATA with the bytes the rest needs, the next resume handle.
class CPagingServiceManager : public CSystemServiceManager
{
public:
    explicit CPagingServiceManager(std::vector<std::wstring> names) : m_names(std::move(names)) {}

    int reads = 0;

protected:
    BOOL ReadServiceList(SC_HANDLE, BYTE* buffer, DWORD bytes, DWORD& needed, DWORD& count, DWORD& resume) override
    {
        ++reads;
        size_t end = resume;
        DWORD used = 0;
        while (end < m_names.size() && used + EntryBytes(end) <= bytes)
            used += EntryBytes(end++);
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer);
        auto* text = reinterpret_cast<wchar_t*>(buffer + (end - resume) * sizeof(ENUM_SERVICE_STATUS_PROCESSW));
        for (size_t i = resume; i < end; ++i)
        {
            entries[i - resume] = ENUM_SERVICE_STATUS_PROCESSW{};
            entries[i - resume].lpServiceName = text;
            text = std::copy(m_names[i].begin(), m_names[i].end(), text);
            *text++ = L'\0';
            entries[i - resume].lpDisplayName = text;
            *text++ = L'\0';
        }
        count = static_cast<DWORD>(end - resume);
        needed = 0;
        for (size_t i = end; i < m_names.size(); ++i)
            needed += EntryBytes(i);
        resume = end < m_names.size() ? static_cast<DWORD>(end) : 0;
        SetLastError(end < m_names.size() ? ERROR_MORE_DATA : ERROR_SUCCESS);
        return end == m_names.size();
    }

private:
    DWORD EntryBytes(size_t i) const
    {
        return static_cast<DWORD>(sizeof(ENUM_SERVICE_STATUS_PROCESSW) + (m_names[i].size() + 2) * sizeof(wchar_t));
    }

    std::vector<std::wstring> m_names;
};

// The list is read in as many reads as it takes, each going on where the
// last ended, and a buffer too small for one entry is grown: with Windows'
// partial reads and with Wine's own, every service comes once.
TEST_F(InstallStepsTest, SmallListBuffersGatherEveryServiceOnce)
{
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    ASSERT_TRUE(manager);
    std::vector<std::wstring> expected = ListServiceNames(manager.Get());
    ASSERT_GT(expected.size(), 3u);

    CPagingServiceManager paging(expected);
    paging.m_dwListBufferBytes = 400;  // a few entries per read
    std::vector<std::wstring> names;
    ASSERT_EQ(S_OK, paging.ListServices(manager.Get(), names));
    EXPECT_EQ(expected, names);
    EXPECT_GT(paging.reads, 2);

    std::sort(expected.begin(), expected.end());
    for (const DWORD bytes : {400u, 1u})
    {
        CSystemServiceManager listing;
        listing.m_dwListBufferBytes = bytes;
        ASSERT_EQ(S_OK, listing.ListServices(manager.Get(), names)) << bytes;
        std::sort(names.begin(), names.end());
        EXPECT_EQ(expected, names) << bytes;
    }
}

// Each step that can fail after the first change, failed in turn through the
// seam over a machine where the module is registered already: the command
// reports the step's failure point with the system's error, and its undo
// leaves the services, the module's registration ("LocalService" naming
// another instance included) and the event sources as they were. The last
// case fails nothing and undoes all, as after a type library that fails.
TEST_F(InstallStepsTest, EachFailedStepLeavesTheMachineAsItWas)
{
    const ScriptReplacement replacements[] = {{L"APPID", ZELT_APPID_TEXT}, {nullptr, nullptr}};
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(scripts, IDR_ZELTAGENTSVC, true, replacements));
    HKEY appId = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, AppIdKeyPath().c_str(), 0, KEY_WRITE, &appId));
    const wchar_t other[] = L"ZeltAgentSvc-other";
    RegSetValueExW(appId, L"LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof(other));
    RegCloseKey(appId);
    ASSERT_EQ(S_OK, RegisterEventLogSource(L"ZeltAgentSvc", L"C:\\old\\ZeltAgentSvc.exe"));
    const std::vector<std::wstring> before = SnapshotInstallation(L"ZeltAgentSvc-t1");

    struct Case { const wchar_t* call; int callsBefore; int point; HRESULT result; } cases[] = {
        {L"CreateServiceEntry", 0, 1, E_FAIL},
        {L"OpenManager", 2, 3, HResultFromError(ERROR_ACCESS_DENIED)},   // after the removal's and the creation's
        {L"OpenServiceEntry", 1, 4, HResultFromError(ERROR_ACCESS_DENIED)},  // after the removal's
        {L"ChangeFailureActions", 0, 8, HResultFromError(ERROR_ACCESS_DENIED)},
        {L"SetAccessList", 0, 9, HResultFromError(ERROR_ACCESS_DENIED)},
        {L"ChangePreshutdownTimeout", 0, 10, HResultFromError(ERROR_ACCESS_DENIED)},
        {L"", 0, 0, S_OK},
    };
    for (const Case& c : cases)
    {
        services.failingCall = c.call;
        services.callsBeforeFailure = c.callsBefore;
        std::vector<std::wstring> lines;
        const TraceWriter trace = [&](EventKind kind, const std::wstring& line) {
            EXPECT_EQ(EventKind::RegistrationFailed, kind);
            lines.push_back(line);
        };
        CInstallationUndo undo(services);
        HRESULT hr = RegisterAppId(services, L"ZeltAgentSvc-t1", TestSettings(L"t1"), scripts, trace, true, undo);
        if (SUCCEEDED(hr))
            hr = RegisterEventSources(L"ZeltAgentSvc", L"ZeltAgentSvc-t1", undo);
        EXPECT_EQ(c.result, hr) << Narrow(c.call);
        if (c.point != 0)
        {
            const std::wstring words = L"==> RegisterAppId: end_fail-" + std::to_wstring(c.point) + L".";
            EXPECT_EQ(std::vector<std::wstring>{TraceFailureText(words, ERROR_ACCESS_DENIED)}, lines);
        }
        undo.Undo();
        EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-t1", 5000)) << Narrow(c.call);
        EXPECT_EQ(before, SnapshotInstallation(L"ZeltAgentSvc-t1")) << Narrow(c.call);
    }
    // Only the creation has a box of its own.
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(FailureText(L"Could not start service", ERROR_ACCESS_DENIED), g_messages[0].text);
}

TEST_F(InstallStepsTest, CreationFailureShowsCouldNotStartService)
{
    // Display names are unique: another service already shows our name.
    CreateTestService(L"ZeltClash", L"ZeltAgent Service - t1");
    CInstallationUndo undo(services);
    EXPECT_EQ(HResultFromError(ERROR_DUPLICATE_SERVICE_NAME),
              InstallService(services, L"ZeltAgentSvc-t1", ServiceDefinition{L"C:\\h.exe", L"ZeltAgent Service - t1"},
                             undo));
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(FailureText(L"Could not start service", ERROR_DUPLICATE_SERVICE_NAME), g_messages[0].text);
    EXPECT_EQ(L"ZeltAgentSvc-t1", g_messages[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_OK), g_messages[0].type);
}

TEST_F(InstallStepsTest, StoppedServiceIsRemovedWithoutMessage)
{
    CreateTestService(L"ZeltAgentSvc-t1", L"t1");
    EXPECT_TRUE(IsServiceInstalled(services, L"ZeltAgentSvc-t1"));
    EXPECT_EQ(S_OK, UninstallService(services, L"ZeltAgentSvc-t1"));
    EXPECT_TRUE(g_messages.empty());
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-t1"));
    EXPECT_EQ(S_OK, UninstallService(services, L"ZeltAgentSvc-t1"));
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

    EXPECT_EQ(S_OK, UninstallService(services, L"ZeltAgentSvc-t1"));
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
    const HRESULT hr = UninstallService(services, L"ZeltAgentSvc-t1");
    held.Reset();
    EXPECT_EQ(HResultFromError(ERROR_SERVICE_MARKED_FOR_DELETE), hr);
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(FailureText(L"Could not delete service", ERROR_SERVICE_MARKED_FOR_DELETE), g_messages[0].text);
    EXPECT_EQ(L"ZeltAgentSvc-t1", g_messages[0].caption);
}

// Only a service that does not exist counts as removed: a manager or service
// that cannot be opened is shown, fails the removal and leaves the service.
TEST_F(InstallStepsTest, ManagerThatCannotBeOpenedShowsItsMessage)
{
    CreateTestService(L"ZeltAgentSvc-t1", L"t1");
    services.bRefuseManager = true;
    const HRESULT denied = HResultFromError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(denied, UninstallService(services, L"ZeltAgentSvc-t1"));
    CInstallationUndo undo(services);
    EXPECT_EQ(denied, InstallService(services, L"ZeltAgentSvc-t1", ServiceDefinition{L"C:\\h.exe", L"t1"}, undo));
    services.bRefuseManager = false;
    ASSERT_EQ(2u, g_messages.size());
    EXPECT_EQ(FailureText(L"Could not open Service Manager", ERROR_ACCESS_DENIED), g_messages[0].text);
    EXPECT_EQ(g_messages[0].text, g_messages[1].text);
    EXPECT_EQ(L"ZeltAgentSvc-t1", g_messages[1].caption);
    EXPECT_TRUE(IsServiceInstalled(services, L"ZeltAgentSvc-t1"));
}

TEST_F(InstallStepsTest, ServiceThatCannotBeOpenedForRemovalShowsItsMessage)
{
    CreateTestService(L"ZeltAgentSvc-t1", L"t1");
    services.bRefuseService = true;
    EXPECT_EQ(HResultFromError(ERROR_ACCESS_DENIED), UninstallService(services, L"ZeltAgentSvc-t1"));
    EXPECT_EQ(E_FAIL, RemoveAppId(services, L"ZeltAgentSvc-t1", scripts));
    services.bRefuseService = false;
    ASSERT_EQ(2u, g_messages.size());
    EXPECT_EQ(FailureText(L"Could not open service", ERROR_ACCESS_DENIED), g_messages[0].text);
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
        EXPECT_EQ(S_OK, UninstallService(services, L"ZeltAgentSvc-t1"));
        services.controlError = ERROR_SUCCESS;
        EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-t1"));
        ASSERT_EQ(c.bMessage ? 1u : 0u, g_messages.size()) << c.error << " " << c.state;
        if (c.bMessage)
        {
            EXPECT_EQ(FailureText(L"Could not stop service", c.error), g_messages[0].text);
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
    CInstallationUndo undo(services);
    HRESULT cause = S_OK;
    EXPECT_EQ(E_FAIL, WriteAppIdEntries(services, L"ZeltAgentSvc-t1", ServiceDefinition(), scripts, true, undo, cause));
    services.controlError = ERROR_SUCCESS;
    EXPECT_EQ(HResultFromError(ERROR_ACCESS_DENIED), cause);
    ASSERT_EQ(1u, g_messages.size());
    EXPECT_EQ(FailureText(L"Could not stop service", ERROR_ACCESS_DENIED), g_messages[0].text);
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
