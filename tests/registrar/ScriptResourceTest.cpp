// Registration from the program's own "REGISTRY" resources through
// UpdateRegistryFromScript, machine-wide and per user, and the "Module" and
// "Module_Raw" replacements. The predefined roots go to a scratch key.
#include <gtest/gtest.h>

#include <string>

#include "ScratchRegistry.h"
#include "registrar/PerUserFlag.h"
#include "registrar/RegObject.h"
#include "resources/Guids.h"
#include "resources/ResourceIds.h"
#include "support/TestSupport.h"

namespace {

// The module side as the host's module gives it (its APPID replacement, this
// program's image), with a failure of its own replacements on request.
class CTestModule : public IScriptModule
{
public:
    HRESULT AddScriptReplacements(IRegistrarBase* pRegistrar) override
    {
        return FAILED(hrReplacements) ? hrReplacements : pRegistrar->SetReplacement(L"APPID", ZELT_APPID_TEXT);
    }
    HINSTANCE GetModuleInstance() override { return instance; }

    HRESULT hrReplacements = S_OK;
    HINSTANCE instance = GetModuleHandleW(nullptr);
};

const std::wstring kAppIdKey = std::wstring(L"AppID\\") + ZELT_APPID_TEXT;

class ScriptResourceTest : public ::testing::Test
{
protected:
    void SetUp() override { scratch.RedirectCommonRoots(); }
    void TearDown() override { g_bPerUserRegistration = false; }

    // Script 101 as it lands below `classes` (a scratch path).
    void ExpectRegistered(const std::wstring& classes)
    {
        EXPECT_EQ(L"ZeltAgentSvc", scratch.ReadText(classes + L"\\" + kAppIdKey, nullptr));
        EXPECT_EQ(ZELT_APPID_TEXT, scratch.ReadText(classes + L"\\AppID\\ZeltAgentSvc.EXE", L"AppID"));
        EXPECT_EQ(2u, scratch.CountSubkeys(classes + L"\\AppID"));
    }

    void ExpectUnregistered(const std::wstring& classes)
    {
        EXPECT_TRUE(scratch.Exists(classes + L"\\AppID")) << "AppID is never removed";
        EXPECT_EQ(0u, scratch.CountSubkeys(classes + L"\\AppID"));
    }

    CScratchRegistry scratch;
    CTestModule module;
};

TEST_F(ScriptResourceTest, Script101RegistersUnderClassesRootAndUnregisters)
{
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, true));
    ExpectRegistered(L"HKCR");
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCU"));
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, false));
    ExpectUnregistered(L"HKCR");
    EXPECT_EQ(S_OK, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, false));
}

TEST_F(ScriptResourceTest, Script101PerUserLandsUnderCurrentUserClassesOnly)
{
    g_bPerUserRegistration = true;
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, true));
    ExpectRegistered(L"HKCU\\Software\\Classes");
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCR"));
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKLM")) << "nothing under HKEY_LOCAL_MACHINE";
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, false));
    ExpectUnregistered(L"HKCU\\Software\\Classes");
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCR"));
}

TEST_F(ScriptResourceTest, CallersEntryComesFirstInTheMap)
{
    const ScriptReplacement entries[] = {{L"APPID", L"{CALLER}"}, {nullptr, nullptr}};
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, true, entries));
    EXPECT_EQ(L"ZeltAgentSvc", scratch.ReadText(L"HKCR\\AppID\\{CALLER}", nullptr));
    EXPECT_FALSE(scratch.Exists(L"HKCR\\" + kAppIdKey));
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, false, entries));
    ExpectUnregistered(L"HKCR");
}

TEST_F(ScriptResourceTest, FailuresBeforeTheWalkChangeNothing)
{
    module.hrReplacements = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, true));
    module.hrReplacements = S_OK;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND), UpdateRegistryFromScript(module, 4321, true));
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCR"));
    CRegObject registrar;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              registrar.RegisterScriptResource(L"C:\\no such dir\\none.exe", IDR_ZELTAGENTSVC, L"REGISTRY"));
}

TEST_F(ScriptResourceTest, ModuleIsQuotedOnlyForTheProgramsOwnImage)
{
    const wchar_t path[] = L"C:\\Zelt's\\host.exe";
    CRegObject own;
    ASSERT_EQ(S_OK, AddModuleReplacements(own, GetModuleHandleW(nullptr), path));
    EXPECT_STREQ(L"\"C:\\Zelt''s\\host.exe\"", own.FindReplacement(L"Module"));
    EXPECT_STREQ(L"C:\\Zelt''s\\host.exe", own.FindReplacement(L"MODULE_RAW"));
    CRegObject other;
    ASSERT_EQ(S_OK, AddModuleReplacements(other, GetModuleHandleW(L"kernel32.dll"), path));
    EXPECT_STREQ(L"C:\\Zelt''s\\host.exe", other.FindReplacement(L"Module"));
    EXPECT_STREQ(L"C:\\Zelt''s\\host.exe", other.FindReplacement(L"Module_Raw"));
}

// A copy of this test program in a directory whose name holds a single
// quote, carrying one more script that stores both module values.
class CQuotedModuleCopy
{
public:
    static constexpr WORD kScriptId = 201;

    CQuotedModuleCopy()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_directory = std::wstring(temp) + L"Zelt's registrar test";
        m_path = m_directory + L"\\copy.exe";
        CreateDirectoryW(m_directory.c_str(), nullptr);
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        EXPECT_TRUE(CopyFileW(self, m_path.c_str(), FALSE));
        AddScript();
        m_hModule = LoadLibraryW(m_path.c_str());
        EXPECT_NE(nullptr, m_hModule) << GetLastError();
    }

    ~CQuotedModuleCopy()
    {
        if (m_hModule != nullptr)
            FreeLibrary(m_hModule);
        EXPECT_TRUE(DeleteFileW(m_path.c_str()));
        EXPECT_TRUE(RemoveDirectoryW(m_directory.c_str()));
    }

    HMODULE Module() const { return m_hModule; }
    const std::wstring& Path() const { return m_path; }

private:
    void AddScript()
    {
        static const char script[] =
            "HKCU\r\n{\r\n\tModuleTest\r\n\t{\r\n"
            "\t\tval Raw = s '%Module_Raw%'\r\n\t\tval Quoted = s '%Module%'\r\n\t}\r\n}\r\n";
        HANDLE update = BeginUpdateResourceW(m_path.c_str(), FALSE);
        ASSERT_NE(nullptr, update);
        EXPECT_TRUE(UpdateResourceW(update, L"REGISTRY", MAKEINTRESOURCEW(kScriptId), MAKELANGID(LANG_NEUTRAL, 0),
                                    const_cast<char*>(script), sizeof(script) - 1));
        EXPECT_TRUE(EndUpdateResourceW(update, FALSE));
    }

    std::wstring m_directory;
    std::wstring m_path;
    HMODULE m_hModule = nullptr;
};

TEST_F(ScriptResourceTest, PathWithSingleQuoteRoundTripsThroughModuleRaw)
{
    CQuotedModuleCopy copy;
    ASSERT_NE(nullptr, copy.Module());
    module.instance = copy.Module();
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, CQuotedModuleCopy::kScriptId, true));
    wchar_t loadedPath[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(copy.Module(), loadedPath, MAX_PATH));
    EXPECT_NE(std::wstring::npos, std::wstring(loadedPath).find(L"Zelt's registrar test"));
    EXPECT_EQ(loadedPath, scratch.ReadText(L"HKCU\\ModuleTest", L"Raw"));
    EXPECT_EQ(loadedPath, scratch.ReadText(L"HKCU\\ModuleTest", L"Quoted")) << "not the program's own image";
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(module, CQuotedModuleCopy::kScriptId, false));
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCU"));
}

}  // namespace
