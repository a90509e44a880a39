// Whether an upgrade's new host registers as the old one did: the same
// build does, another program does not, and neither does a host whose
// registration script was edited, nor one that cannot be read.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "HostRegistration.h"
#include "resources/ResourceIds.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

BOOL CALLBACK NoteLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context)
{
    *reinterpret_cast<WORD*>(context) = language;
    return FALSE;
}

// The language the host's registration script is stored under.
WORD ScriptLanguage(const std::wstring& program)
{
    WORD language = 0;
    const HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module != nullptr)
    {
        EnumResourceLanguagesW(module, L"REGISTRY", MAKEINTRESOURCEW(IDR_ZELTAGENTSVC), NoteLanguage,
                               reinterpret_cast<LONG_PTR>(&language));
        FreeLibrary(module);
    }
    return language;
}

TEST(HostRegistrationTest, OnlyTheSameScriptAndTypeLibraryCountAsTheSame)
{
    const std::wstring host = BuiltProgramPath(L"ZeltAgentSvc.exe");
    const std::wstring copy = TestProgramDirectory() + L"\\registration-copy.exe";
    struct CopyRemoval
    {
        const std::wstring& path;
        ~CopyRemoval() { DeleteFileW(path.c_str()); }
    } removal{copy};
    ASSERT_TRUE(CopyFileW(host.c_str(), copy.c_str(), FALSE));
    EXPECT_TRUE(HasSameRegistration(host, copy));
    EXPECT_FALSE(HasSameRegistration(host, BuiltProgramPath(kDemoAgentName)));
    EXPECT_FALSE(HasSameRegistration(host, TestProgramDirectory() + L"\\no-such-host.exe"));

    // The copy with another registration script.
    const WORD language = ScriptLanguage(host);
    const HANDLE update = BeginUpdateResourceW(copy.c_str(), FALSE);
    ASSERT_NE(nullptr, update);
    char script[] = "HKCR\r\n{\r\n  NoRemove AppID\r\n  {\r\n  }\r\n}\r\n";
    const bool bUpdated = UpdateResourceW(update, L"REGISTRY", MAKEINTRESOURCEW(IDR_ZELTAGENTSVC), language, script,
                                          sizeof(script) - 1) != FALSE;
    ASSERT_TRUE(EndUpdateResourceW(update, !bUpdated));
    ASSERT_TRUE(bUpdated);
    EXPECT_FALSE(HasSameRegistration(host, copy));
}

}  // namespace
