// The shipped program: a 32-bit GUI-subsystem PE that carries exactly its
// resource types, its service base name, its registration script byte for
// byte and the version the build was made with. (The type library's identity
// is checked by the registrar tests, whose program links the same resources.)
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "support/TestSupport.h"

namespace {

class ProgramImageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_program.Reset(LoadLibraryExW(Path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(m_program.IsValid());
    }

    static std::wstring Path() { return BuiltProgramPath(L"ZeltAgentSvc.exe"); }

    CLibraryHandle m_program;
};

// The shipped build is the 32-bit one; a 64-bit build (the tests' on a
// machine that runs no 32-bit code) must be what its toolchain promises too.
#ifdef _WIN64
using ImageHeaders = IMAGE_NT_HEADERS64;
constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr WORD kOptionalHeaderMagic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#else
using ImageHeaders = IMAGE_NT_HEADERS32;
constexpr WORD kMachine = IMAGE_FILE_MACHINE_I386;
constexpr WORD kOptionalHeaderMagic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#endif

TEST_F(ProgramImageTest, IsAGuiSubsystemExecutableOfTheBuildsMachine)
{
    std::ifstream file(Narrow(Path()).c_str(), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), sizeof(IMAGE_DOS_HEADER));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    ASSERT_EQ(IMAGE_DOS_SIGNATURE, dos->e_magic);
    const auto* nt = reinterpret_cast<const ImageHeaders*>(bytes.data() + dos->e_lfanew);
    EXPECT_EQ(IMAGE_NT_SIGNATURE, nt->Signature);
    EXPECT_EQ(kMachine, nt->FileHeader.Machine);
    EXPECT_EQ(kOptionalHeaderMagic, nt->OptionalHeader.Magic);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt->OptionalHeader.Subsystem);
}

BOOL CALLBACK AddTypeName(HMODULE, LPWSTR type, LONG_PTR names)
{
    reinterpret_cast<std::set<std::wstring>*>(names)->insert(
        IS_INTRESOURCE(type) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(type)) : std::wstring(type));
    return TRUE;
}

TEST_F(ProgramImageTest, CarriesExactlyItsResourceTypes)
{
    std::set<std::wstring> types;
    EnumResourceTypesW(m_program.Get(), &AddTypeName, reinterpret_cast<LONG_PTR>(&types));
    const std::set<std::wstring> expected{L"#6" /* RT_STRING */,   L"#11" /* RT_MESSAGETABLE */,
                                          L"#16" /* RT_VERSION */, L"#24" /* RT_MANIFEST */,
                                          L"REGISTRY",             L"TYPELIB"};
    EXPECT_EQ(expected, types);
}

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

TEST_F(ProgramImageTest, StringTableHoldsOnlyTheServiceBaseName)
{
    int blocks = 0;
    EnumResourceNamesW(m_program.Get(), RT_STRING, &CountName, reinterpret_cast<LONG_PTR>(&blocks));
    EXPECT_EQ(1, blocks);
    wchar_t text[256];
    EXPECT_EQ(12, LoadStringW(m_program.Get(), 100, text, 256));
    EXPECT_STREQ(L"ZeltAgentSvc", text);
    for (UINT id = 96; id < 112; ++id)
    {
        if (id != 100)
        {
            EXPECT_EQ(0, LoadStringW(m_program.Get(), id, text, 256)) << id;
        }
    }
}

TEST_F(ProgramImageTest, RegistrationScriptIsKeptByteForByte)
{
    const char expected[] =
        "HKCR\r\n{\r\n\tNoRemove AppID\r\n\t{\r\n\t\t'%APPID%' = s 'ZeltAgentSvc'\r\n"
        "\t\t'ZeltAgentSvc.EXE'\r\n\t\t{\r\n\t\t\tval AppID = s '%APPID%'\r\n\t\t}\r\n\t}\r\n}\r\n";
    const HRSRC resource = FindResourceW(m_program.Get(), MAKEINTRESOURCEW(101), L"REGISTRY");
    ASSERT_NE(nullptr, resource);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(m_program.Get(), resource)));
    EXPECT_EQ(std::string(expected), std::string(bytes, SizeofResource(m_program.Get(), resource)));
}

// The manifest that process creation reads (id 1): the program runs as its
// caller, without the virtualization of a legacy program, on Windows 7 to 11.
TEST_F(ProgramImageTest, ManifestRunsAsInvokerOnWindows7To11)
{
    const HRSRC resource = FindResourceW(m_program.Get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, resource);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(m_program.Get(), resource)));
    const std::string manifest(bytes, SizeofResource(m_program.Get(), resource));
    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"));
    // Windows 7, 8, 8.1, and 10 and 11, as the compatibility documentation names them.
    for (const char* id : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(std::string::npos, manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>")) << id;
}

// The version CMake gave the build, as the four numbers of a file version.
void ParseBuildVersion(DWORD& dwHigh, DWORD& dwLow)
{
    unsigned parts[4] = {0, 0, 0, 0};
    sscanf(ZELT_VERSION, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    dwHigh = parts[0] << 16 | parts[1];
    dwLow = parts[2] << 16 | parts[3];
}

std::wstring QueryVersionText(const std::vector<BYTE>& block, const wchar_t* name)
{
    wchar_t* text = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &length) || length == 0)
        return L"<missing>";
    return text;
}

TEST_F(ProgramImageTest, VersionResourceCarriesTheBuildVersion)
{
    DWORD handle = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(Path().c_str(), &handle));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(Path().c_str(), 0, static_cast<DWORD>(block.size()), block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    DWORD dwHigh = 0;
    DWORD dwLow = 0;
    ParseBuildVersion(dwHigh, dwLow);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(dwHigh, fixed->dwFileVersionMS);
    EXPECT_EQ(dwLow, fixed->dwFileVersionLS);
    EXPECT_EQ(dwHigh, fixed->dwProductVersionMS);
    EXPECT_EQ(dwLow, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);

    const std::wstring version = Widen(ZELT_VERSION);
    EXPECT_EQ(version, QueryVersionText(block, L"FileVersion"));
    EXPECT_EQ(version, QueryVersionText(block, L"ProductVersion"));
    EXPECT_EQ(L"ZeltAgentSvc", QueryVersionText(block, L"ProductName"));
    EXPECT_EQ(L"ZeltAgentSvc.exe", QueryVersionText(block, L"OriginalFilename"));
    EXPECT_NE(L"<missing>", QueryVersionText(block, L"FileDescription"));
}

}  // namespace
