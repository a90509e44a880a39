// Standard output lines: a write that fails is reported as failed, so that
// the caller can take the parent's console instead.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/Console.h"
#include "base/Handles.h"

namespace {

// Standard output is a pipe for the test's time: the line arrives as UTF-8,
// and once nobody reads the pipe (ERROR_NO_DATA) the write fails.
TEST(StandardOutputLine, WrittenLineIsUtf8AndAPipeWithoutReaderFails)
{
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
    CKernelHandle reader(read);
    const CKernelHandle writer(write);
    const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, write);
    const bool bWritten = WriteStandardOutputLine(L"Gr\u00fc\u00dfe");
    char bytes[64];
    DWORD got = 0;
    const bool bRead = ReadFile(read, bytes, sizeof(bytes), &got, nullptr);
    reader.Reset();
    const bool bLost = WriteStandardOutputLine(L"lost");
    SetStdHandle(STD_OUTPUT_HANDLE, saved);

    EXPECT_TRUE(bWritten);
    ASSERT_TRUE(bRead);
    EXPECT_EQ("Gr\xc3\xbc\xc3\x9f" "e\n", std::string(bytes, got));
    EXPECT_FALSE(bLost);
}

}  // namespace
