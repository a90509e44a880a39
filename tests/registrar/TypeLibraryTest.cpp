// The module's type library and its classes' categories, registered and
// removed in Wine's real registry.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "registrar/TypeLibrary.h"
#include "resources/Guids.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

const std::wstring kLibraryKey = std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT;

TEST(TypeLibraryPaths, ExtensionStartLooksOnlyAtTheFileName)
{
    const wchar_t* withExtension = L"C:\\x\\host.exe";
    EXPECT_STREQ(L".exe", ExtensionStart(withExtension));
    const wchar_t* dottedDirectory = L"C:\\a.b\\prog";
    EXPECT_EQ(dottedDirectory + wcslen(dottedDirectory), ExtensionStart(dottedDirectory));
    EXPECT_STREQ(L"h.exe", FileNameStart(L"C:\\x/y\\h.exe"));
    EXPECT_STREQ(L"h.chm", FileNameStart(L"D:h.chm"));
    EXPECT_STREQ(L"", FileNameStart(L"C:\\help\\"));
}

class TypeLibraryTest : public ::testing::Test
{
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }

    const CSavedModuleRegistration m_registration;
};

TEST_F(TypeLibraryTest, ModuleLibraryCarriesItsIdentity)
{
    BSTR path = nullptr;
    ITypeLib* library = nullptr;
    ASSERT_EQ(S_OK, LoadModuleTypeLibrary(nullptr, nullptr, &path, &library));
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXPECT_STREQ(program, path);

    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    wchar_t guid[64];
    StringFromGUID2(attributes->guid, guid, 64);
    EXPECT_STREQ(ZELT_LIBID_TEXT, guid);
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    EXPECT_EQ(0x409u, attributes->lcid);
    EXPECT_EQ(SYS_WIN32, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    EXPECT_EQ(0u, library->GetTypeInfoCount());

    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, &name, &help, nullptr, nullptr));
    EXPECT_STREQ(L"ZeltAgentSvcLib", name);
    EXPECT_STREQ(L"ZeltAgentSvc 1.0 Type Library", help);
    SysFreeString(name);
    SysFreeString(help);
    library->Release();
    SysFreeString(path);

    EXPECT_EQ(E_POINTER, LoadModuleTypeLibrary(nullptr, nullptr, nullptr, &library));
}

// A library the program does not hold is looked for in a .tlb file named
// after the program, the index dropped.
TEST_F(TypeLibraryTest, MissingResourceFallsBackToTheTlbFile)
{
    BSTR path = nullptr;
    ITypeLib* library = nullptr;
    EXPECT_TRUE(FAILED(LoadModuleTypeLibrary(nullptr, L"\\7", &path, &library)));
    EXPECT_EQ(nullptr, library);

    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring tlb(program);
    tlb.replace(tlb.rfind(L'.'), std::wstring::npos, L".tlb");
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(1), L"TYPELIB");
    ASSERT_NE(nullptr, resource);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, resource)));
    std::ofstream(Narrow(tlb).c_str(), std::ios::binary).write(bytes, SizeofResource(nullptr, resource));

    const HRESULT hr = LoadModuleTypeLibrary(nullptr, L"\\7", &path, &library);
    DeleteFileW(tlb.c_str());
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(tlb, path);
    library->Release();
    SysFreeString(path);
}

TEST_F(TypeLibraryTest, RegistersAndRemovesTheLibrary)
{
    ASSERT_EQ(S_OK, RegisterTypeLibrary(nullptr, nullptr));
    std::wstring text;
    ASSERT_TRUE(ReadText(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0", nullptr, text));
    EXPECT_EQ(L"ZeltAgentSvc 1.0 Type Library", text);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0\\409\\win32"));

    ASSERT_EQ(S_OK, UnregisterTypeLibrary(nullptr, nullptr));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0"));
}

// {6F1C7E0A-3B52-4C8D-9E21-5A7B0C4D2E91}
const CLSID kTestClass = {0x6f1c7e0a, 0x3b52, 0x4c8d, {0x9e, 0x21, 0x5a, 0x7b, 0x0c, 0x4d, 0x2e, 0x91}};
// {0E6A5D42-7C19-4B3F-8A60-D2F1E3B4C5A7}
const GUID kTestCategory = {0x0e6a5d42, 0x7c19, 0x4b3f, {0x8a, 0x60, 0xd2, 0xf1, 0xe3, 0xb4, 0xc5, 0xa7}};

TEST_F(TypeLibraryTest, ClassCategoriesRegisterAndLeaveNoEmptyKeys)
{
    const std::wstring classKey = L"CLSID\\{6F1C7E0A-3B52-4C8D-9E21-5A7B0C4D2E91}";
    const CategoryMapEntry map[] = {{1, &kTestCategory}, {2, &kTestCategory}, {0, nullptr}};
    EXPECT_EQ(S_OK, RegisterClassCategories(kTestClass, nullptr, true));
    EXPECT_EQ(S_OK, RegisterClassCategories(GUID_NULL, map, true));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey));

    ASSERT_EQ(S_OK, RegisterClassCategories(kTestClass, map, true));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, classKey + L"\\Implemented Categories\\{0E6A5D42-7C19-4B3F-8A60-D2F1E3B4C5A7}"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, classKey + L"\\Required Categories\\{0E6A5D42-7C19-4B3F-8A60-D2F1E3B4C5A7}"));

    EXPECT_EQ(S_OK, RegisterClassCategories(kTestClass, map, false));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey + L"\\Implemented Categories"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey + L"\\Required Categories"));
    DeleteTree(HKEY_CLASSES_ROOT, classKey);
}

}  // namespace
