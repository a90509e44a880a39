// The installer package under the system's msiexec, walked as an
// administrator meets it: a failed first installation leaves nothing, an
// installation runs its instance, the same command leaves it alone, a
// repair restarts it on the reinstalled files, a failed upgrade (bad
// settings, or a held host file) keeps the old version and every instance,
// an upgrade and a rebuild of the same version keep every instance (one
// added by hand too), a downgrade is refused, and the removal leaves
// nothing behind. A package without an instance installs and removes the
// files alone; none runs with rollback disabled.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "SetupArguments.h"
#include "resources/Guids.h"
#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

const wchar_t* const kUpgradeCode = L"{" ZELT_MSI_UPGRADE_CODE L"}";
const std::wstring kNumber = L"91";
const std::wstring kService = L"ZeltAgentSvc-" + kNumber;
// An instance an administrator adds by hand with "/Service" from the install
// folder.
const std::wstring kHandNumber = L"92";
const std::wstring kHandService = L"ZeltAgentSvc-" + kHandNumber;
// An instance the package adds beside the first one.
const std::wstring kAddedNumber = L"93";
const std::wstring kAddedService = L"ZeltAgentSvc-" + kAddedNumber;
// Their agents, copies of the demo agent under names of their own: the host
// adopts a running agent of its image name, which would be another
// instance's.
const wchar_t* const kHandAgentName = L"ZeltHandAgent.exe";
// An instance from another folder, its name beyond ASCII.
const std::wstring kAccentedService = L"ZeltAgentSvc-\u00E9";
const wchar_t* const kAddedAgentName = L"ZeltAddedAgent.exe";
// msiexec's results for a failed installation: Windows gives 1603, Wine 1627.
bool IsInstallFailure(DWORD result)
{
    return result == ERROR_INSTALL_FAILURE || result == ERROR_FUNCTION_FAILED;
}

// The package is a 32-bit one: it installs into the 32-bit programs folder.
std::wstring InstallFolder()
{
#ifdef _WIN64
    const wchar_t* folderVariable = L"%ProgramFiles(x86)%\\ZeltAgentSvc";
#else
    const wchar_t* folderVariable = L"%ProgramFiles%\\ZeltAgentSvc";
#endif
    wchar_t folder[MAX_PATH];
    ExpandEnvironmentStringsW(folderVariable, folder, MAX_PATH);
    return folder;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A property on msiexec's command line: the value between double quotes,
// a double quote inside it doubled.
std::wstring MsiProperty(const wchar_t* name, const std::wstring& value)
{
    std::wstring text = std::wstring(name) + L"=\"";
    for (const wchar_t c : value)
        text += c == L'"' ? std::wstring(L"\"\"") : std::wstring(1, c);
    return text + L"\"";
}

// Product codes of the installed versions of the package.
std::vector<std::wstring> InstalledProducts()
{
    std::vector<std::wstring> products;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
        products.emplace_back(code);
    return products;
}

std::wstring ProductInfo(const std::wstring& product, const wchar_t* property)
{
    wchar_t value[MAX_PATH] = L"";
    DWORD units = MAX_PATH;
    MsiGetProductInfoW(product.c_str(), property, value, &units);
    return value;
}

// The version the package's File table gives the host.
std::wstring PackagedHostVersion(const std::wstring& package)
{
    MSIHANDLE database = 0;
    MSIHANDLE view = 0;
    MSIHANDLE record = 0;
    wchar_t version[64] = L"";
    DWORD units = 64;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewW(database, L"SELECT `Version` FROM `File` WHERE `File` = 'HostExe'", &view) ==
            ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS)
        MsiRecordGetStringW(record, 1, version, &units);
    for (const MSIHANDLE handle : {record, view, database})
        MsiCloseHandle(handle);
    return version;
}

std::wstring ServiceImagePath(const std::wstring& service)
{
    ServiceConfiguration configuration;
    return QueryServiceConfiguration(service, configuration) ? configuration.imagePath : std::wstring();
}

// The times (microseconds) of the agent's log lines that begin with `prefix`.
std::vector<long long> EventTimes(const CAgentLog& log, const std::string& prefix)
{
    std::vector<long long> times;
    for (const std::string& line : log.Lines())
    {
        const size_t at = line.find(" t=");
        if (line.rfind(prefix, 0) == 0 && at != std::string::npos)
            times.push_back(std::stoll(line.substr(at + 3)));
    }
    return times;
}

// The description an administrator may set on a service; empty when none.
std::wstring ServiceDescription(const std::wstring& name)
{
    const CServiceHandle service = OpenTestService(name, SERVICE_QUERY_CONFIG);
    BYTE buffer[1024];
    DWORD bytes = 0;
    if (!service || !QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &bytes))
        return std::wstring();
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer);
    return description->lpDescription != nullptr ? description->lpDescription : L"";
}

bool SetServiceDescription(const std::wstring& name, const wchar_t* text)
{
    const CServiceHandle service = OpenTestService(name, SERVICE_CHANGE_CONFIG);
    std::wstring copy = text;
    SERVICE_DESCRIPTIONW description{&copy[0]};
    return service && ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description);
}

bool StartTestService(const std::wstring& name)
{
    const CServiceHandle service = OpenTestService(name, SERVICE_START);
    return service && StartServiceW(service.Get(), 0, nullptr) && WaitForServiceState(name, SERVICE_RUNNING);
}

class MsiPackageTest : public ::testing::Test
{
protected:
    void SetUp() override { RemoveEverything(); }
    void TearDown() override
    {
        RemoveEverything();
        DeleteFileW(m_msiLog.c_str());
    }

    // msiexec with the arguments, silent and logged; its exit code. The log
    // is shown when the result is not the one expected.
    DWORD RunMsiexec(const std::wstring& arguments, bool bFailureExpected = false)
    {
        DeleteFileW(m_msiLog.c_str());
        const ProgramResult result =
            RunProgram(L"msiexec.exe " + arguments + L" /qn /l*v \"" + m_msiLog + L"\"", 120000);
        EXPECT_TRUE(result.finished) << "msiexec " << Narrow(arguments) << " did not end";
        return ShowLogOnSurprise(result.exitCode, bFailureExpected);
    }

    // The same installation through the installer's API, which msiexec calls:
    // Wine's msiexec drops every double quote from its command line, so a CMD
    // that holds quotes reaches the package only this way there.
    UINT InstallThroughApi(const std::wstring& package, const std::wstring& properties,
                           bool bFailureExpected = false)
    {
        DeleteFileW(m_msiLog.c_str());
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        MsiEnableLogW(INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_INFO | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_ERROR |
                          INSTALLLOGMODE_ACTIONSTART | INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_PROPERTYDUMP,
                      m_msiLog.c_str(), 0);
        const UINT result = MsiInstallProductW(package.c_str(), properties.c_str());
        MsiEnableLogW(0, nullptr, 0);
        return ShowLogOnSurprise(result, bFailureExpected);
    }

    DWORD ShowLogOnSurprise(DWORD result, bool bFailureExpected) const
    {
        if (bFailureExpected ? !IsInstallFailure(result) : result != ERROR_SUCCESS)
        {
            const std::string log = ReadFileText(m_msiLog);
            ADD_FAILURE() << "the installer ended with " << result << "; its log ends:\n"
                          << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
        }
        return result;
    }

    // What an aborted run may have left: the product, the instances, the
    // module's registration and the files.
    void RemoveEverything()
    {
        for (const std::wstring& product : InstalledProducts())
            RunProgram(L"msiexec.exe /x " + product + L" /qn", 120000);
        RemoveServiceIfPresent(kService);
        RemoveServiceIfPresent(kHandService);
        RemoveServiceIfPresent(kAddedService);
        RemoveServiceIfPresent(kAccentedService);
        if (KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()))
            RunProgram(L"\"" + BuiltProgramPath(L"ZeltAgentSvc.exe") + L"\" /unregserver");
        KillProcesses(kDemoAgentName);
        for (const wchar_t* agent : {kHandAgentName, kAddedAgentName})
        {
            KillProcesses(agent);
            DeleteFileW(AgentCopyPath(agent).c_str());
        }
        for (const wchar_t* file : {L"\\ZeltAgentSvc.exe", L"\\ZeltDemoAgent.exe"})
            DeleteFileW((InstallFolder() + file).c_str());
        RemoveDirectoryW(InstallFolder().c_str());
        for (const std::wstring& service : {kService, kHandService, kAddedService, kAccentedService})
            DeleteTree(HKEY_LOCAL_MACHINE, EventSourceKeyPath(service));
    }

    void ExpectNothingLeft()
    {
        EXPECT_TRUE(InstalledProducts().empty());
        EXPECT_TRUE(WaitForServiceGone(kService));
        EXPECT_TRUE(WaitForServiceGone(kHandService));
        EXPECT_TRUE(WaitForServiceGone(kAddedService));
        EXPECT_FALSE(FileExists(InstallFolder()));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()));  // "LocalService" with it
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE"));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc")));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(kService)));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(kHandService)));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(kAddedService)));
        EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
        EXPECT_TRUE(FindProcesses(kHandAgentName).empty());
        EXPECT_TRUE(FindProcesses(kAddedAgentName).empty());
    }

    static std::wstring AgentCopyPath(const wchar_t* name) { return TestProgramDirectory() + L"\\" + name; }

    // A copy of the demo agent under `name`, and its command line.
    static std::wstring AgentCopyCommand(const wchar_t* name, const CAgentLog& log, USHORT port,
                                         const std::wstring& options = L"")
    {
        CopyFileW(BuiltProgramPath(kDemoAgentName).c_str(), AgentCopyPath(name).c_str(), FALSE);
        return L"\"" + AgentCopyPath(name) + L"\" --port=" + std::to_wstring(port) + L" --log=" + log.Path() + options;
    }

    const CSavedModuleRegistration m_registration;
    const std::wstring m_msiLog = TestProgramDirectory() + L"\\msiexec-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    CAgentReaper m_reaper;
};

TEST_F(MsiPackageTest, FailuresRollBackMaintenanceIsQuietAndUpgradesKeepEveryInstance)
{
    const std::wstring package = BuiltProgramPath(L"ZeltAgentSvc-" ZELT_VERSION_TEXT L".msi");
    const std::wstring upgrade = TestProgramDirectory() + L"\\ZeltAgentSvc-upgrade.msi";
    const std::wstring rebuild = TestProgramDirectory() + L"\\ZeltAgentSvc-rebuild.msi";
    const std::wstring host = InstallFolder() + L"\\ZeltAgentSvc.exe";
    // Where an upgrade sets the files it replaces aside until it succeeds.
    const std::wstring keptFolder = InstallFolder() + L"\\previous";
    const std::wstring missing = L"\"" + InstallFolder() + L"\\NoSuchAgent.exe\" --listen";
    const CAgentLog log;
    const std::wstring port = std::to_wstring(FindFreePort());
    // Quotes, escaped quotes and a backslash before a closing quote. (It does
    // not end in a quote: Wine's installer misreads a property value that ends
    // in a doubled quote.)
    const std::wstring cmd = L"\"" + InstallFolder() + L"\\ZeltDemoAgent.exe\" \"--log=" + log.Path() +
                             L"\" \"--note=\\\"quoted\\\" and a backslash\\\\\" --port=" + port;
    const std::wstring properties = MsiProperty(L"PORT", port) + L" " + MsiProperty(L"AGENT", kDemoAgentName) +
                                    L" " + MsiProperty(L"CMD", cmd) + L" " + MsiProperty(L"NUM", kNumber);

    // A first installation whose agent cannot start fails, says why in its
    // log, and leaves nothing behind.
    EXPECT_TRUE(IsInstallFailure(InstallThroughApi(
        package, MsiProperty(L"PORT", port) + L" " + MsiProperty(L"AGENT", kDemoAgentName) + L" " +
                     MsiProperty(L"CMD", missing) + L" " + MsiProperty(L"NUM", kNumber), true)));
    const std::string failedLog = ReadFileText(m_msiLog);
    // The agent's program was not found: ERROR_FILE_NOT_FOUND as an HRESULT,
    // after the system's text for it.
    const size_t reason = failedLog.find("ZeltAgentSvc: " + Narrow(kService) + " did not reach RUNNING");
    ASSERT_NE(std::string::npos, reason);
    const std::string reasonLine = failedLog.substr(reason, failedLog.find('\n', reason) - reason);
    EXPECT_NE(std::string::npos, reasonLine.find("): ")) << reasonLine;
    EXPECT_NE(std::string::npos, reasonLine.find(". (0x80070002)")) << reasonLine;
    ExpectNothingLeft();

    // Installed exactly as "/Service" installs it, and started; the host's
    // file version in the package is the one its version resource gives.
    ASSERT_EQ(0u, InstallThroughApi(package, properties));
    ASSERT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    ServiceConfiguration configuration;
    ASSERT_TRUE(QueryServiceConfiguration(kService, configuration));
    const std::vector<std::wstring> expected{host, L"/port=" + port, std::wstring(L"/agent=") + kDemoAgentName,
                                             L"/cmd=" + cmd};
    EXPECT_EQ(expected, SplitCommandLine(configuration.imagePath));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), configuration.startType);
    ASSERT_TRUE(log.WaitForCount("listening", 1));
    std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(InstallFolder() + L"\\", ProductInfo(products[0], INSTALLPROPERTY_INSTALLLOCATION));
    wchar_t fileVersion[64] = L"";
    DWORD units = 64;
    EXPECT_EQ(0u, MsiGetFileVersionW(host.c_str(), fileVersion, &units, nullptr, nullptr));
    EXPECT_EQ(std::wstring(fileVersion), PackagedHostVersion(package));

    // The same command again leaves the running instance alone.
    const std::vector<DWORD> agents = FindProcesses(kDemoAgentName);
    ASSERT_EQ(1u, agents.size());
    ASSERT_TRUE(SetServiceDescription(kService, L"set by an administrator"));
    EXPECT_EQ(0u, InstallThroughApi(package, properties));
    EXPECT_EQ(agents, FindProcesses(kDemoAgentName));
    EXPECT_EQ(0u, log.Count("exit"));
    // A repair of every file (msiexec /fa) sets the running ones aside and
    // restarts the instance on the new ones, its service as it was.
    EXPECT_EQ(0u, RunMsiexec(L"/i \"" + package + L"\" REINSTALL=ALL REINSTALLMODE=amus"));
    EXPECT_TRUE(log.WaitForCount("listening", 2));
    EXPECT_EQ(1u, log.Count("exit shutdown"));
    EXPECT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    EXPECT_EQ(expected, SplitCommandLine(ServiceImagePath(kService)));
    EXPECT_EQ(L"set by an administrator", ServiceDescription(kService));
    EXPECT_FALSE(FileExists(keptFolder));
    const std::vector<DWORD> repairedAgents = FindProcesses(kDemoAgentName);

    // The refresh an upgrade runs when the registration differs writes it
    // again for the instance and leaves the service running as it was.
    const std::wstring typeLibrary = std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT;
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, typeLibrary));
    DeleteTree(HKEY_CLASSES_ROOT, typeLibrary);
    EXPECT_EQ(0u, RunProgram(L"\"" + host + L"\" " + BuildRefreshArguments(port, kDemoAgentName, cmd, kNumber)).exitCode);
    EXPECT_EQ(repairedAgents, FindProcesses(kDemoAgentName));
    EXPECT_EQ(L"set by an administrator", ServiceDescription(kService));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, typeLibrary));
    std::wstring localService;
    EXPECT_TRUE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), L"LocalService", localService));
    EXPECT_EQ(kService, localService);

    // Another NUM adds that instance, with settings of its own that every
    // later step keeps, and leaves the first one alone.
    const CAgentLog addedLog;
    const USHORT addedPort = FindFreePort();
    ASSERT_EQ(0u, InstallThroughApi(package, MsiProperty(L"PORT", std::to_wstring(addedPort)) + L" " +
                                                 MsiProperty(L"AGENT", kAddedAgentName) + L" " +
                                                 MsiProperty(L"CMD", AgentCopyCommand(kAddedAgentName, addedLog,
                                                                                      addedPort)) +
                                                 L" " + MsiProperty(L"NUM", kAddedNumber) + L" PROBE=30 OUTPUTKEEP=3"));
    const std::wstring addedParameters = L"SYSTEM\\CurrentControlSet\\Services\\" + kAddedService + L"\\Parameters";
    const auto expectAddedSettings = [&] {
        EXPECT_EQ(30u, ReadNumber(HKEY_LOCAL_MACHINE, addedParameters, L"ProbeSeconds"));
        EXPECT_EQ(3u, ReadNumber(HKEY_LOCAL_MACHINE, addedParameters, L"OutputKeep"));
    };
    expectAddedSettings();
    EXPECT_TRUE(WaitForServiceState(kAddedService, SERVICE_RUNNING));
    EXPECT_TRUE(addedLog.WaitForCount("listening", 1));
    EXPECT_EQ(repairedAgents, FindProcesses(kDemoAgentName));

    // An instance added by hand from the install folder.
    const CAgentLog handLog;
    const USHORT handPort = FindFreePort();
    const std::wstring handImageCommand = AgentCopyCommand(kHandAgentName, handLog, handPort);
    ASSERT_EQ(0u, RunProgram(L"\"" + host + L"\" " +
                             BuildInstallArguments(std::to_wstring(handPort), kHandAgentName, handImageCommand,
                                                   kHandNumber))
                      .exitCode);
    ASSERT_TRUE(StartTestService(kHandService));
    ASSERT_TRUE(SetServiceDescription(kHandService, L"set by hand"));
    const std::wstring handImagePath = ServiceImagePath(kHandService);

    // An upgrade whose new settings cannot start fails and leaves the old
    // version with every instance as it was, running.
    EXPECT_TRUE(IsInstallFailure(
        InstallThroughApi(upgrade, MsiProperty(L"CMD", missing) + L" " + MsiProperty(L"NUM", kNumber), true)));
    // Undone once, not again after the rollback removed the host.
    const std::string undoneLog = ReadFileText(m_msiLog);
    const std::string undoing = "ZeltAgentSvc: undoing the installation of the instances";
    EXPECT_NE(std::string::npos, undoneLog.find(undoing));
    EXPECT_EQ(undoneLog.find(undoing), undoneLog.rfind(undoing));
    EXPECT_EQ(std::string::npos, undoneLog.find("ZeltAgentSvc: could not run "));
    EXPECT_EQ(expected, SplitCommandLine(ServiceImagePath(kService)));
    EXPECT_EQ(handImagePath, ServiceImagePath(kHandService));
    products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(Widen(ZELT_VERSION), ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING));
    EXPECT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForServiceState(kHandService, SERVICE_RUNNING));
    EXPECT_TRUE(log.WaitForCount("listening", 3));
    EXPECT_TRUE(handLog.WaitForCount("listening", 2));
    EXPECT_TRUE(addedLog.WaitForCount("listening", 2));
    EXPECT_FALSE(FileExists(keptFolder));

    // So does one while a program (a scanner) holds the host without delete
    // sharing: it cannot be set aside, and the upgrade fails rather than
    // leave it for a restart.
    {
        const CKernelHandle held(
            CreateFileW(host.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(INVALID_HANDLE_VALUE, held.Get());
        EXPECT_TRUE(IsInstallFailure(RunMsiexec(L"/i \"" + upgrade + L"\"", true)));
    }
    const std::string heldLog = ReadFileText(m_msiLog);
    const size_t held = heldLog.find("ZeltAgentSvc: could not set " + Narrow(host) + " aside: ");
    ASSERT_NE(std::string::npos, held);
    // ERROR_SHARING_VIOLATION as an HRESULT.
    EXPECT_NE(std::string::npos, heldLog.substr(held, heldLog.find('\n', held) - held).find("(0x80070020)"));
    products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(Widen(ZELT_VERSION), ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING));
    EXPECT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForServiceState(kHandService, SERVICE_RUNNING));
    EXPECT_EQ(3u, log.Count("listening"));
    EXPECT_TRUE(FileExists(host));
    EXPECT_FALSE(FileExists(keptFolder));

    // An upgrade without properties restarts every instance on the new
    // files, one after the other, with its own settings and its own service
    // (what was set on it stays); no reboot.
    ASSERT_EQ(0u, RunMsiexec(L"/i \"" + upgrade + L"\""));
    products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(Widen(ZELT_UPGRADE_VERSION), ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING));
    EXPECT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForServiceState(kHandService, SERVICE_RUNNING));
    EXPECT_EQ(expected, SplitCommandLine(ServiceImagePath(kService)));
    EXPECT_EQ(handImagePath, ServiceImagePath(kHandService));
    EXPECT_TRUE(log.WaitForCount("listening", 4));
    EXPECT_TRUE(handLog.WaitForCount("listening", 3));
    EXPECT_TRUE(addedLog.WaitForCount("listening", 3));
    EXPECT_EQ(L"set by hand", ServiceDescription(kHandService));
    EXPECT_FALSE(FileExists(keptFolder));
    expectAddedSettings();
    // How long the upgrade kept each agent away, beside a stop and a start of
    // its service by hand in the same run: recorded, not asserted (the times
    // of a shared machine vary). Each agent's last exit and start are the
    // stop and start by hand, the ones before them the upgrade's.
    const std::pair<std::wstring, const CAgentLog*> upgraded[] = {
        {kService, &log}, {kHandService, &handLog}, {kAddedService, &addedLog}};
    for (const auto& instance : upgraded)
    {
        const CServiceHandle service = OpenTestService(instance.first, SERVICE_STOP | SERVICE_START);
        SERVICE_STATUS status{};
        ASSERT_TRUE(service && ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
        ASSERT_TRUE(WaitForServiceState(instance.first, SERVICE_STOPPED));
        const size_t listened = instance.second->Count("listening");
        ASSERT_TRUE(StartServiceW(service.Get(), 0, nullptr));
        ASSERT_TRUE(instance.second->WaitForCount("listening", listened + 1));
        const std::vector<long long> exits = EventTimes(*instance.second, "exit shutdown");
        const std::vector<long long> starts = EventTimes(*instance.second, "start pid=");
        ASSERT_GE(exits.size(), 2u);
        ASSERT_EQ(exits.size() + 1, starts.size());
        const size_t last = exits.size() - 1;
        const long long upgradeMs = (starts[last] - exits[last - 1]) / 1000;
        const long long restartMs = (starts[last + 1] - exits[last]) / 1000;
        std::printf("%ls: the upgrade kept its agent away %lld ms, a stop and a start of its service %lld ms (%.2fx)\n",
                    instance.first.c_str(), upgradeMs, restartMs, static_cast<double>(upgradeMs) / restartMs);
    }

    // A rebuild of the same version replaces that one, and a CMD alone
    // changes the instance NUM names, which keeps its port and agent.
    const std::wstring handCmd = AgentCopyCommand(kHandAgentName, handLog, handPort, L" --note=rebuilt");
    ASSERT_EQ(0u, InstallThroughApi(rebuild, MsiProperty(L"CMD", handCmd) + L" " + MsiProperty(L"NUM", kHandNumber)));
    const std::vector<std::wstring> rebuilt = InstalledProducts();
    ASSERT_EQ(1u, rebuilt.size());
    EXPECT_NE(products[0], rebuilt[0]);
    EXPECT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForServiceState(kHandService, SERVICE_RUNNING));
    EXPECT_TRUE(addedLog.WaitForCount("listening", 5));
    EXPECT_EQ(expected, SplitCommandLine(ServiceImagePath(kService)));
    const std::vector<std::wstring> handExpected{host, L"/port=" + std::to_wstring(handPort),
                                                 std::wstring(L"/agent=") + kHandAgentName, L"/cmd=" + handCmd};
    EXPECT_EQ(handExpected, SplitCommandLine(ServiceImagePath(kHandService)));
    expectAddedSettings();

    // The older version is refused now.
    EXPECT_TRUE(IsInstallFailure(RunMsiexec(L"/i \"" + package + L"\"", true)));
    EXPECT_EQ(rebuilt, InstalledProducts());

    // The removal stops every agent through its port and takes everything
    // away.
    ASSERT_EQ(0u, RunMsiexec(L"/x " + rebuilt[0]));
    EXPECT_EQ(log.Count("listening"), log.Count("exit shutdown"));
    EXPECT_EQ(handLog.Count("listening"), handLog.Count("exit shutdown"));
    EXPECT_EQ(addedLog.Count("listening"), addedLog.Count("exit shutdown"));
    ExpectNothingLeft();
}

TEST_F(MsiPackageTest, PackageWithoutAnInstanceInstallsAndRemovesTheFilesAloneUnlessRollbackIsDisabled)
{
    const std::wstring package = BuiltProgramPath(L"ZeltAgentSvc-" ZELT_VERSION_TEXT L".msi");
    // Without rollback the instances could not be restored: neither the
    // DISABLEROLLBACK property (the launch condition, whose text Wine does
    // not log) nor the DisableRollback policy (the action says why) runs.
    EXPECT_TRUE(IsInstallFailure(RunMsiexec(L"/i \"" + package + L"\" DISABLEROLLBACK=1", true)));

    // The host's refusal (UTF-8 on a pipe) reaches the log intact: the port
    // is taken by an instance whose name is not ASCII.
    const std::wstring port = std::to_wstring(FindFreePort());
    ASSERT_EQ(0u, RunProgram(L"\"" + BuiltProgramPath(L"ZeltAgentSvc.exe") + L"\" " +
                             BuildInstallArguments(port, L"a.exe", L"a.exe", L"\u00E9"))
                      .exitCode);
    EXPECT_TRUE(IsInstallFailure(InstallThroughApi(package, MsiProperty(L"PORT", port) + L" " +
                                                                 MsiProperty(L"AGENT", L"a.exe") + L" " +
                                                                 MsiProperty(L"NUM", kNumber), true)));
    const std::string refusedLog = ReadFileText(m_msiLog);
    const size_t refusal = refusedLog.find("ZeltAgentSvc: the host's /Service for " + Narrow(kService));
    ASSERT_NE(std::string::npos, refusal);
    const std::string line = refusedLog.substr(refusal, refusedLog.find('\n', refusal) - refusal);
    std::wstring wideLine(line.size(), L'\0');  // in the installer's code page
    wideLine.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()),
                                                            &wideLine[0], static_cast<int>(wideLine.size()))));
    EXPECT_NE(std::wstring::npos, wideLine.find(kAccentedService + L";")) << line;
    RemoveServiceIfPresent(kAccentedService);
    {
        const wchar_t* const policies = L"Software\\Policies\\Microsoft\\Windows\\Installer";
        const bool bKeyThere = KeyExists(HKEY_LOCAL_MACHINE, policies);
        const DWORD disabled = 1;
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, policies, L"DisableRollback", REG_DWORD,
                                                 &disabled, sizeof(disabled)));
        EXPECT_TRUE(IsInstallFailure(RunMsiexec(L"/i \"" + package + L"\"", true)));
        if (bKeyThere)
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, policies, L"DisableRollback");
        else
            DeleteTree(HKEY_LOCAL_MACHINE, policies);
    }
    EXPECT_NE(std::string::npos, ReadFileText(m_msiLog).find("ZeltAgentSvc: ZeltAgentSvc cannot be installed"));
    EXPECT_TRUE(InstalledProducts().empty());
    EXPECT_FALSE(FileExists(InstallFolder()));

    ASSERT_EQ(0u, RunMsiexec(L"/i \"" + package + L"\""));
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\ZeltAgentSvc.exe"));
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\ZeltDemoAgent.exe"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()));

    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    ASSERT_EQ(0u, RunMsiexec(L"/x " + products[0]));
    ExpectNothingLeft();
}

}  // namespace
