// The installer package under the system's msiexec: an instance installed
// from the four properties runs its agent, an upgrade keeps it, and the
// removal leaves nothing behind; a package without an instance installs and
// removes the files alone.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>

#include <string>
#include <vector>

#include "resources/Guids.h"
#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

const wchar_t* const kUpgradeCode = L"{" ZELT_MSI_UPGRADE_CODE L"}";
const std::wstring kNumber = L"91";
const std::wstring kService = L"ZeltAgentSvc-" + kNumber;

// The package is a 32-bit one: it installs into the 32-bit programs folder
// and keeps its instance in the 32-bit view of the registry, which a 64-bit
// build of the tests names by their own names.
#ifdef _WIN64
const wchar_t* const kKeptInstanceKey = L"Software\\WOW6432Node\\ZeltAgentSvc";
#else
const wchar_t* const kKeptInstanceKey = L"Software\\ZeltAgentSvc";
#endif

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

std::wstring ProductVersion(const std::wstring& product)
{
    wchar_t version[64] = L"";
    DWORD units = 64;
    MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &units);
    return version;
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

    // msiexec with the arguments, silent and logged; its exit code.
    DWORD RunMsiexec(const std::wstring& arguments)
    {
        DeleteFileW(m_msiLog.c_str());
        const ProgramResult result =
            RunProgram(L"msiexec.exe " + arguments + L" /qn /l*v \"" + m_msiLog + L"\"", 120000);
        EXPECT_TRUE(result.finished) << "msiexec " << Narrow(arguments) << " did not end";
        return ShowLogOnFailure(result.exitCode);
    }

    // The same installation through the installer's API, which msiexec calls:
    // Wine's msiexec drops every double quote from its command line, so a CMD
    // that holds quotes reaches the package only this way there.
    UINT InstallThroughApi(const std::wstring& package, const std::wstring& properties)
    {
        DeleteFileW(m_msiLog.c_str());
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        MsiEnableLogW(INSTALLLOGMODE_VERBOSE | INSTALLLOGMODE_INFO | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_ERROR |
                          INSTALLLOGMODE_ACTIONSTART | INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_PROPERTYDUMP,
                      m_msiLog.c_str(), 0);
        const UINT result = MsiInstallProductW(package.c_str(), properties.c_str());
        MsiEnableLogW(0, nullptr, 0);
        return ShowLogOnFailure(result);
    }

    DWORD ShowLogOnFailure(DWORD result) const
    {
        if (result != ERROR_SUCCESS)
        {
            const std::string log = ReadFileText(m_msiLog);
            ADD_FAILURE() << "the installer ended with " << result << "; its log ends:\n"
                          << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
        }
        return result;
    }

    // What an aborted run may have left: the product, the instance, the
    // module's registration, the files and the kept instance number.
    void RemoveEverything()
    {
        for (const std::wstring& product : InstalledProducts())
            RunProgram(L"msiexec.exe /x " + product + L" /qn", 120000);
        RemoveServiceIfPresent(kService);
        if (KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()))
            RunProgram(L"\"" + BuiltProgramPath(L"ZeltAgentSvc.exe") + L"\" /unregserver");
        KillProcesses(kDemoAgentName);
        for (const wchar_t* file : {L"\\ZeltAgentSvc.exe", L"\\ZeltDemoAgent.exe"})
            DeleteFileW((InstallFolder() + file).c_str());
        RemoveDirectoryW(InstallFolder().c_str());
        DeleteTree(HKEY_LOCAL_MACHINE, kKeptInstanceKey);
    }

    void ExpectNothingLeft()
    {
        EXPECT_TRUE(InstalledProducts().empty());
        EXPECT_TRUE(WaitForServiceGone(kService));
        EXPECT_FALSE(FileExists(InstallFolder()));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()));  // "LocalService" with it
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE"));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kKeptInstanceKey));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc")));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EventSourceKeyPath(kService)));
    }

    const CSavedModuleRegistration m_registration;
    const std::wstring m_msiLog = TestProgramDirectory() + L"\\msiexec-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    CAgentReaper m_reaper;
};

TEST_F(MsiPackageTest, InstanceRunsSurvivesAnUpgradeAndLeavesNothingWhenRemoved)
{
    const CAgentLog log;
    const std::wstring port = std::to_wstring(FindFreePort());
    // Quotes, escaped quotes and a backslash before a closing quote. (It does
    // not end in a quote: Wine's installer misreads a property value that ends
    // in a doubled quote.)
    const std::wstring cmd = L"\"" + InstallFolder() + L"\\ZeltDemoAgent.exe\" \"--log=" + log.Path() +
                             L"\" \"--note=\\\"quoted\\\" and a backslash\\\\\" --port=" + port;
    ASSERT_EQ(0u, InstallThroughApi(BuiltProgramPath(L"ZeltAgentSvc-" ZELT_VERSION_TEXT L".msi"),
                                    MsiProperty(L"PORT", port) + L" " + MsiProperty(L"AGENT", kDemoAgentName) + L" " +
                                        MsiProperty(L"CMD", cmd) + L" " + MsiProperty(L"NUM", kNumber)));

    // Installed exactly as "/Service" installs it, and started.
    ASSERT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    ServiceConfiguration configuration;
    ASSERT_TRUE(QueryServiceConfiguration(kService, configuration));
    const std::vector<std::wstring> expected{InstallFolder() + L"\\ZeltAgentSvc.exe", L"/port=" + port,
                                             std::wstring(L"/agent=") + kDemoAgentName, L"/cmd=" + cmd};
    EXPECT_EQ(expected, SplitCommandLine(configuration.imagePath));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), configuration.startType);
    ASSERT_TRUE(log.WaitForCount("listening", 1));

    // The upgrade stops the service before the files are replaced and starts
    // it again after; the instance stays as it was.
    ASSERT_EQ(0u, RunMsiexec(L"/i \"" + TestProgramDirectory() + L"\\ZeltAgentSvc-upgrade.msi\""));
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(Widen(ZELT_UPGRADE_VERSION), ProductVersion(products[0]));
    EXPECT_TRUE(WaitForServiceState(kService, SERVICE_RUNNING));
    ASSERT_TRUE(QueryServiceConfiguration(kService, configuration));
    EXPECT_EQ(expected, SplitCommandLine(configuration.imagePath));
    EXPECT_TRUE(log.WaitForCount("listening", 2));
    EXPECT_EQ(1u, log.Count("exit shutdown"));

    // The removal stops the agent through its port and takes everything away.
    ASSERT_EQ(0u, RunMsiexec(L"/x " + products[0]));
    EXPECT_EQ(2u, log.Count("exit shutdown"));
    EXPECT_TRUE(FindProcesses(kDemoAgentName).empty());
    ExpectNothingLeft();
}

TEST_F(MsiPackageTest, PackageWithoutAnInstanceInstallsAndRemovesTheFilesAlone)
{
    ASSERT_EQ(0u, RunMsiexec(L"/i \"" + BuiltProgramPath(L"ZeltAgentSvc-" ZELT_VERSION_TEXT L".msi") + L"\""));
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\ZeltAgentSvc.exe"));
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\ZeltDemoAgent.exe"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kKeptInstanceKey));

    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    ASSERT_EQ(0u, RunMsiexec(L"/x " + products[0]));
    ExpectNothingLeft();
}

}  // namespace
