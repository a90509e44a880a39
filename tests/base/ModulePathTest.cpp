// The module path as one wrapper reads it, and the directory part of a path.
#include <gtest/gtest.h>

#include <string>

#include "base/ModulePath.h"
#include "support/TestSupport.h"

namespace {

TEST(ModulePath, ReadsTheProgramsOwnPath)
{
    wchar_t path[MAX_PATH];
    DWORD length = 0;
    ASSERT_EQ(S_OK, ReadModulePath(nullptr, path, length));
    EXPECT_EQ(TestProgramDirectory(), DirectoryOfPath(std::wstring(path, length)));
    EXPECT_EQ(L'\0', path[length]);
}

// "C:" alone names the current directory of drive C; its root is "C:\\".
TEST(DirectoryOfPath, KeepsTheBackslashOfADriveRootOnly)
{
    EXPECT_EQ(L"C:\\", DirectoryOfPath(L"C:\\host.exe"));
    EXPECT_EQ(L"D:\\A\\B", DirectoryOfPath(L"D:\\A\\B\\host.exe"));
    EXPECT_EQ(L"C:\\A", DirectoryOfPath(L"C:\\A\\host.exe"));
    EXPECT_EQ(L"host.exe", DirectoryOfPath(L"host.exe"));
}

}  // namespace
