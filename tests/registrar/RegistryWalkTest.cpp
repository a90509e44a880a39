// The walk and the registry key holder against Wine's registry. Each test
// redirects the predefined roots into a scratch key of its own.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "ScratchRegistry.h"
#include "registrar/PerUserFlag.h"
#include "registrar/RegObject.h"
#include "registrar/RegistryKey.h"
#include "registrar/ScriptParser.h"

namespace {

// Stores the bytes as given: RegSetValueExW would complete a text without
// its NUL.
void SetRawValue(HKEY key, const wchar_t* name, DWORD type, const void* data, ULONG bytes)
{
    struct CountedText { USHORT length; USHORT maximumLength; const wchar_t* buffer; };
    typedef LONG(NTAPI * SetValueFn)(HANDLE, CountedText*, ULONG, ULONG, const void*, ULONG);
    auto setValue = reinterpret_cast<SetValueFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    ASSERT_NE(nullptr, setValue);
    const USHORT nameBytes = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    CountedText text{nameBytes, nameBytes, name};
    ASSERT_EQ(0, setValue(key, &text, 0, type, data, bytes));
}

// While it lives, nobody may write values or subkeys to the key (reading and
// deleting stay allowed); then the key gets its former access list back.
class CWriteDenial
{
public:
    explicit CWriteDenial(HKEY key) : m_key(key)
    {
        DWORD bytes = 0;
        RegGetKeySecurity(m_key, DACL_SECURITY_INFORMATION, nullptr, &bytes);
        m_former.resize(bytes);
        EXPECT_EQ(ERROR_SUCCESS, RegGetKeySecurity(m_key, DACL_SECURITY_INFORMATION, m_former.data(), &bytes));
        PSECURITY_DESCRIPTOR denial = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;0x6;;;WD)(A;;KA;;;WD)",
                                                                         SDDL_REVISION_1, &denial, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(m_key, DACL_SECURITY_INFORMATION, denial));
        LocalFree(denial);
    }
    ~CWriteDenial()
    {
        EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(m_key, DACL_SECURITY_INFORMATION, m_former.data()));
        RegCloseKey(m_key);
    }
    CWriteDenial(const CWriteDenial&) = delete;
    CWriteDenial& operator=(const CWriteDenial&) = delete;

private:
    HKEY m_key;
    std::vector<BYTE> m_former;
};

class RegistryWalkTest : public ::testing::Test
{
protected:
    void SetUp() override { scratch.RedirectCommonRoots(); }
    void TearDown() override { g_bPerUserRegistration = false; }

    HRESULT Apply(const std::wstring& script, bool bRegister)
    {
        ScriptParser parser(registrar);
        return parser.ApplyScript(script.c_str(), bRegister);
    }

    // The scratch stand-in of HKCU holds nothing.
    void ExpectUserRootEmpty()
    {
        EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCU"));
        EXPECT_EQ(0u, scratch.CountValues(L"HKCU"));
    }

    void CreateKey(const std::wstring& path) { RegCloseKey(scratch.CreatePath(path)); }

    CScratchRegistry scratch;
    CRegObject registrar;
};

const wchar_t kFullScript[] =
    L"HKCU\r\n{\r\n"
    L"\tApp = s 'Default text'\r\n\t{\r\n"
    L"\t\tval Text = s 'it''s'\r\n"
    L"\t\tval List = m 'a\\0b'\r\n"
    L"\t\tval CutList = m 'a\\0\\0b'\r\n"
    L"\t\tval EmptyList = m ''\r\n"
    L"\t\tval NoBytes = b ''\r\n"
    L"\t\tval Number = d 4660\r\n"
    L"\t\tval Bytes = b 0A1b\r\n"
    L"\t\tval Expand = s 'x%%y'\r\n"
    L"\t\tChild { Grandchild = s 'g' }\r\n"
    L"\t}\r\n"
    L"\t'{With space}' { }\r\n"
    L"}\r\n";

TEST_F(RegistryWalkTest, RegisterWritesEveryValueKindAndUnregisterRemovesAll)
{
    ASSERT_EQ(S_OK, Apply(kFullScript, true));
    EXPECT_EQ(L"Default text", scratch.ReadText(L"HKCU\\App", nullptr));
    EXPECT_EQ(L"it's", scratch.ReadText(L"HKCU\\App", L"Text"));
    EXPECT_EQ(L"x%y", scratch.ReadText(L"HKCU\\App", L"Expand"));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(scratch.ReadValue(L"HKCU\\App", L"List", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ(std::vector<BYTE>({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}), data);
    ASSERT_TRUE(scratch.ReadValue(L"HKCU\\App", L"CutList", type, data));
    EXPECT_EQ(std::vector<BYTE>({'a', 0, 0, 0, 0, 0}), data) << "the list ends at its first empty item";
    ASSERT_TRUE(scratch.ReadValue(L"HKCU\\App", L"EmptyList", type, data));
    EXPECT_EQ(std::vector<BYTE>({0, 0}), data);
    ASSERT_TRUE(scratch.ReadValue(L"HKCU\\App", L"NoBytes", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_TRUE(data.empty());
    ASSERT_TRUE(scratch.ReadValue(L"HKCU\\App", L"Number", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(std::vector<BYTE>({0x34, 0x12, 0, 0}), data);
    ASSERT_TRUE(scratch.ReadValue(L"HKCU\\App", L"Bytes", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(std::vector<BYTE>({0x0A, 0x1B}), data);
    EXPECT_EQ(L"g", scratch.ReadText(L"HKCU\\App\\Child\\Grandchild", nullptr));
    EXPECT_TRUE(scratch.Exists(L"HKCU\\{With space}"));

    EXPECT_EQ(S_OK, Apply(kFullScript, false));
    ExpectUserRootEmpty();
    EXPECT_EQ(S_OK, Apply(kFullScript, false)) << "a second unregister finds nothing and succeeds";
}

TEST_F(RegistryWalkTest, NoRemoveKeysValuesAndUndescribedSubkeysSurvive)
{
    const wchar_t script[] =
        L"HKCU {\n"
        L" NoRemove Kept { val KeptValue = s 1 }\n"
        L" Plain { val Gone = s 2 }\n"
        L" Holder { val HolderValue = s 3 NoRemove val Sticky = s 4 }\n"
        L"}";
    ASSERT_EQ(S_OK, Apply(script, true));
    CreateKey(L"HKCU\\Holder\\NotInScript");
    ASSERT_EQ(S_OK, Apply(script, false));
    EXPECT_TRUE(scratch.Exists(L"HKCU\\Kept")) << "a NoRemove key stays";
    EXPECT_FALSE(scratch.HasValue(L"HKCU\\Kept", L"KeptValue")) << "its block is unregistered";
    EXPECT_FALSE(scratch.Exists(L"HKCU\\Plain")) << "plain key without subkeys goes with its values";
    EXPECT_TRUE(scratch.Exists(L"HKCU\\Holder\\NotInScript")) << "key with undescribed subkeys stays";
    EXPECT_FALSE(scratch.HasValue(L"HKCU\\Holder", L"HolderValue"));
    EXPECT_TRUE(scratch.HasValue(L"HKCU\\Holder", L"Sticky"));
}

TEST_F(RegistryWalkTest, ForceRemoveReplacesTheTreeButNeverAProtectedName)
{
    CreateKey(L"HKCU\\Tree\\Old\\Deeper");
    CreateKey(L"HKCU\\CLSID\\Foreign");
    ASSERT_EQ(S_OK, Apply(L"HKCU { ForceRemove Tree { val New = s n } ForceRemove clsid { val Mine = s m } }", true));
    EXPECT_FALSE(scratch.Exists(L"HKCU\\Tree\\Old"));
    EXPECT_TRUE(scratch.HasValue(L"HKCU\\Tree", L"New"));
    EXPECT_TRUE(scratch.Exists(L"HKCU\\CLSID\\Foreign")) << "protected name is not deleted";
    EXPECT_TRUE(scratch.HasValue(L"HKCU\\CLSID", L"Mine")) << "yet the entry is applied";
}

TEST_F(RegistryWalkTest, DeleteRemovesWithoutCreatingAndSparesProtectedNames)
{
    CreateKey(L"HKCU\\Obsolete\\Below");
    CreateKey(L"HKCU\\AppID\\Foreign");
    CreateKey(L"HKCU\\Interface");
    const wchar_t script[] =
        L"HKCU { Delete Obsolete = s 'ignored' Delete Absent 'Delete' APPID Delete interface "
        L"Delete Blocked { Inner } }";
    ASSERT_EQ(S_OK, Apply(script, true));
    EXPECT_FALSE(scratch.Exists(L"HKCU\\Obsolete"));
    EXPECT_FALSE(scratch.Exists(L"HKCU\\Absent"));
    EXPECT_FALSE(scratch.Exists(L"HKCU\\Blocked"));
    EXPECT_FALSE(scratch.Exists(L"HKCU\\Inner")) << "a block after Delete is not applied anywhere";
    EXPECT_TRUE(scratch.Exists(L"HKCU\\AppID\\Foreign"));
    EXPECT_TRUE(scratch.Exists(L"HKCU\\Interface"));
    EXPECT_EQ(2u, scratch.CountSubkeys(L"HKCU"));
}

TEST_F(RegistryWalkTest, EmptyKeyNameNeverAddressesTheParent)
{
    CreateKey(L"HKCU\\Parent");
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(L"HKCU { Parent { ForceRemove '' } }", true));
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(L"HKCU { NoRemove Parent { '' } }", false));
    EXPECT_TRUE(scratch.Exists(L"HKCU\\Parent"));
    EXPECT_FALSE(IsRemovableKey(L""));
}

// The failure comes in the second root block, after keys were created,
// values written over and added, a tree replaced and another deleted: all
// of it is taken back, byte for byte, and nothing that was there is lost.
TEST_F(RegistryWalkTest, FailedRegistrationLeavesTheRegistryAsItWas)
{
    HKEY existing = scratch.CreatePath(L"HKLM\\Existing");
    ASSERT_NE(nullptr, existing);
    scratch.WriteText(L"HKLM\\Existing", L"Foreign", L"keep");
    SetRawValue(existing, L"Raw", REG_SZ, L"abc", 6);  // no NUL
    RegCloseKey(existing);
    scratch.WriteText(L"HKLM\\Existing\\Sub", L"s", L"old");
    scratch.WriteText(L"HKCU\\Tree\\Old\\Deeper", L"d", L"deep");
    scratch.WriteText(L"HKCU\\Gone", nullptr, L"default");
    const std::vector<std::wstring> before = scratch.Snapshot();
    const wchar_t script[] =
        L"HKCU { First { val v = s 1 } ForceRemove Tree { val New = s n } Delete gone }\n"
        L"HKLM { Existing = s 'over' { val Foreign = s 'changed' val Raw = s 'x' val Added = d 5\n"
        L"       Sub { val s = s t } Nested { } }\n"
        L"       Third { val b = q bad } Never { } }";
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(script, true));
    EXPECT_EQ(before, scratch.Snapshot());
}

TEST_F(RegistryWalkTest, ScriptErrorsStopTheWalkAndUndoTheRegistration)
{
    // Text faults after keys were made: the undo does not read the text again.
    const struct { const wchar_t* script; HRESULT hr; } cases[] = {
        {L"", S_OK},
        {L" \r\n\t", DISP_E_EXCEPTION},
        {L"HKXX { }", DISP_E_EXCEPTION},
        {L"HKCU{ }", DISP_E_EXCEPTION},
        {L"HKCU a", DISP_E_EXCEPTION},
        {L"HKCU { a\\b }", DISP_E_EXCEPTION},
        {L"HKCU { a { b { c\\d } } }", DISP_E_EXCEPTION},
        {L"HKCU { a { b { 'open } } }", DISP_E_EXCEPTION},
        {L"HKCU { val x s y }", DISP_E_EXCEPTION},
        {L"HKCU { k = z 'v' }", DISP_E_EXCEPTION},
        {L"HKCU { k = b 123 }", E_FAIL},
        {L"HKCU { k { val n = d 'not a number' } }", DISP_E_TYPEMISMATCH},
        {L"HKCU { %Missing% }", DISP_E_EXCEPTION},
        {L"HKCU { k ", DISP_E_EXCEPTION},
        {L"HKCU { k { } ", DISP_E_EXCEPTION},
    };
    for (const auto& c : cases)
    {
        const std::string text(c.script, c.script + wcslen(c.script));
        EXPECT_EQ(c.hr, Apply(c.script, true)) << text;
        EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCU")) << text;
    }
}

// A subkey that nobody may write stops the removal of its parent's tree
// after the subkeys before it are gone. The script fails, and what the
// removal took comes back.
TEST_F(RegistryWalkTest, RemovalThatFailsBelowTheKeyFailsTheScript)
{
    scratch.WriteText(L"HKCU\\Tree\\A", L"a", L"1");
    scratch.WriteText(L"HKCU\\Tree\\Locked", L"l", L"2");
    CWriteDenial denial(scratch.CreatePath(L"HKCU\\Tree\\Locked"));
    const std::vector<std::wstring> before = scratch.Snapshot();
    const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    EXPECT_EQ(denied, Apply(L"HKCU { Delete Tree }", true));
    EXPECT_EQ(before, scratch.Snapshot());
    EXPECT_EQ(denied, Apply(L"HKCU { Made { } ForceRemove Tree { val New = s n } }", true));
    EXPECT_EQ(before, scratch.Snapshot());
}

TEST_F(RegistryWalkTest, PerUserRootIsRewrittenOnlyAsAWholeToken)
{
    g_bPerUserRegistration = true;
    const wchar_t script[] = L"HKCR { it's { } } HKLM { a's { } }";
    ASSERT_EQ(S_OK, Apply(script, true));
    EXPECT_TRUE(scratch.Exists(L"HKCU\\Software\\Classes\\it's"));
    EXPECT_TRUE(scratch.Exists(L"HKLM\\a's"));
    EXPECT_EQ(1u, scratch.CountSubkeys(L"HKCU\\Software")) << "nothing but Classes";
    ASSERT_EQ(S_OK, Apply(script, false));
    ExpectUserRootEmpty();
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKLM"));
    // Refused per user as machine-wide: not a root name.
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(L"HKCRX { k }", true));
    g_bPerUserRegistration = false;
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(L"HKCRX { k }", true));
    ExpectUserRootEmpty();
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCR"));
}

TEST_F(RegistryWalkTest, MalformedBlockUnderAbsentKeyStopsTheUnregisterWalk)
{
    CreateKey(L"HKCU\\Victim");
    // Read from the middle of the skipped block, "Victim" would look like an
    // entry of the root block and be deleted.
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(L"HKCU { Absent { 'a\\b' Victim } }", false));
    EXPECT_TRUE(scratch.Exists(L"HKCU\\Victim"));
}

TEST_F(RegistryWalkTest, NestingDeeperThanTheRegistryAllowsIsRefused)
{
    // Under an absent key the walk only reads text: without a limit this
    // nesting would recurse until the stack runs out.
    std::wstring deep = L"HKCU {";
    for (int i = 0; i < 100000; ++i)
        deep += L" k {";
    for (int i = 0; i <= 100000; ++i)
        deep += L" }";
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(deep, false));
    // Registering it creates keys down to the limit; all of them go again.
    EXPECT_EQ(DISP_E_EXCEPTION, Apply(deep, true));
    ExpectUserRootEmpty();
    std::wstring ok = L"HKCU {";
    for (int i = 0; i < 20; ++i)
        ok += L" k {";
    for (int i = 0; i <= 20; ++i)
        ok += L" }";
    EXPECT_EQ(S_OK, Apply(ok, true));
    EXPECT_EQ(S_OK, Apply(ok, false));
    ExpectUserRootEmpty();
}

TEST_F(RegistryWalkTest, BlockAfterValueBelongsToNoKey)
{
    ASSERT_EQ(S_OK, Apply(L"HKCU { Owner { val v = s x { Inner } } }", true));
    EXPECT_TRUE(scratch.HasValue(L"HKCU\\Owner", L"v"));
    EXPECT_EQ(0u, scratch.CountSubkeys(L"HKCU\\Owner"));
    EXPECT_EQ(1u, scratch.CountSubkeys(L"HKCU"));
    ASSERT_EQ(S_OK, Apply(L"HKCU { Owner { val v = s x { Inner } } }", false));
    ExpectUserRootEmpty();
}

class RegistryKeyTest : public ::testing::Test
{
protected:
    CScratchRegistry scratch;
};

TEST_F(RegistryKeyTest, RemoveKeyTreeDeletesThreeLevels)
{
    RegCloseKey(scratch.CreatePath(L"Top\\Middle\\Leaf"));
    RegCloseKey(scratch.CreatePath(L"Top\\Middle\\Leaf2"));
    RegCloseKey(scratch.CreatePath(L"Top\\Side"));
    RegCloseKey(scratch.CreatePath(L"Sibling"));
    scratch.WriteText(L"Top\\Middle\\Leaf", L"v", L"x");
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.OpenKey(scratch.Key(), nullptr));
    EXPECT_EQ(ERROR_SUCCESS, key.RemoveKeyTree(L"Top"));
    EXPECT_FALSE(scratch.Exists(L"Top"));
    EXPECT_TRUE(scratch.Exists(L"Sibling"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.RemoveKeyTree(L"Top"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.RemoveKeyTree(L"")) << "an empty name is not a child";
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.RemoveChildKey(nullptr));
    EXPECT_TRUE(scratch.Exists(L"Sibling"));
}

TEST_F(RegistryKeyTest, QueryTextAcceptsOnlyWellFormedText)
{
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.OpenKey(scratch.Key(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, key.SetText(L"Text", L"hello"));
    ASSERT_EQ(ERROR_SUCCESS, key.SetNumber(L"Number", 5));
    SetRawValue(key.Handle(), L"NoNul", REG_SZ, L"abc", 6);
    SetRawValue(key.Handle(), L"Odd", REG_SZ, L"ab\0", 5);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Handle(), L"Empty", 0, REG_SZ, nullptr, 0));
    wchar_t buffer[16];
    ULONG length = 99;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryText(L"Text", buffer, 16, length));
    EXPECT_STREQ(L"hello", buffer);
    EXPECT_EQ(6u, length);
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryText(L"Number", buffer, 16, length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryText(L"NoNul", buffer, 16, length));
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryText(L"Odd", buffer, 16, length));
    EXPECT_EQ(ERROR_SUCCESS, key.QueryText(L"Empty", buffer, 16, length));
    EXPECT_STREQ(L"", buffer);
    EXPECT_EQ(ERROR_MORE_DATA, key.QueryText(L"Text", buffer, 3, length));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryText(L"Absent", buffer, 16, length));
    EXPECT_EQ(ERROR_INVALID_DATA, key.SetText(L"Null", nullptr));
    EXPECT_EQ(ERROR_INVALID_DATA, key.SetTextList(L"Null", nullptr));
}

TEST_F(RegistryKeyTest, FailedOpenLeavesTheHeldKeyAndCreateReportsDisposition)
{
    RegistryKey key;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, key.CreateKey(scratch.Key(), L"Made", nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_READ | KEY_WRITE, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    HKEY held = key.Handle();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.OpenKey(scratch.Key(), L"Absent"));
    EXPECT_EQ(held, key.Handle());
    disposition = 77;
    EXPECT_NE(ERROR_SUCCESS, key.CreateKey(nullptr, L"Orphan", nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_READ | KEY_WRITE, nullptr, &disposition));
    EXPECT_EQ(held, key.Handle());
    EXPECT_EQ(77u, disposition);
    RegistryKey viewed;
    ASSERT_EQ(ERROR_SUCCESS, viewed.OpenKey(scratch.Key(), L"Made", KEY_READ | KEY_WOW64_64KEY));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), viewed.ViewFlags());
    viewed.CloseKey();
    EXPECT_EQ(0u, viewed.ViewFlags());
    EXPECT_FALSE(HasChildKeys(key.Handle()));
    EXPECT_TRUE(HasChildKeys(scratch.Key()));
    RegistryKey moved(std::move(key));
    EXPECT_EQ(nullptr, key.Handle());
    EXPECT_EQ(held, moved.Handle());
    ASSERT_EQ(ERROR_SUCCESS, moved.CreateKey(scratch.Key(), L"Made", nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WRITE, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    ASSERT_EQ(ERROR_SUCCESS, moved.CloseKey());
    EXPECT_EQ(nullptr, moved.Handle());
}

}  // namespace
