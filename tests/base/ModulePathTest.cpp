// The directory part of a path, as the host takes its own folder from its
// program path.
#include <gtest/gtest.h>

#include <string>

#include "base/ModulePath.h"

namespace {

// "C:" alone names the current directory of drive C; its root is "C:\\".
TEST(DirectoryOfPath, KeepsTheBackslashOfADriveRootOnly)
{
    EXPECT_EQ(L"C:\\", DirectoryOfPath(L"C:\\host.exe"));
    EXPECT_EQ(L"D:\\A\\B", DirectoryOfPath(L"D:\\A\\B\\host.exe"));
    EXPECT_EQ(L"C:\\A", DirectoryOfPath(L"C:\\A\\host.exe"));
    EXPECT_EQ(L"host.exe", DirectoryOfPath(L"host.exe"));
}

}  // namespace
