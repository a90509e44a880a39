// Standard output lines: a write that fails is reported as failed, so that
// the caller can take the parent's console instead.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/Console.h"
#include "base/Handles.h"

namespace {

// Standard output replaced by the write end of a pipe for the test's time.
class CScopedPipeOutput
{
public:
    CScopedPipeOutput() : m_hSaved(GetStdHandle(STD_OUTPUT_HANDLE))
    {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (CreatePipe(&read, &write, nullptr, 0))
        {
            m_read.Reset(read);
            m_write.Reset(write);
            SetStdHandle(STD_OUTPUT_HANDLE, write);
        }
    }
    ~CScopedPipeOutput() { SetStdHandle(STD_OUTPUT_HANDLE, m_hSaved); }

    bool IsReady() const { return static_cast<bool>(m_write); }
    // What the pipe holds (at most one read).
    std::string Read()
    {
        char bytes[256];
        DWORD read = 0;
        return ReadFile(m_read.Get(), bytes, sizeof(bytes), &read, nullptr) ? std::string(bytes, read) : std::string();
    }
    void CloseReader() { m_read.Reset(); }

private:
    HANDLE m_hSaved;
    CKernelHandle m_read;
    CKernelHandle m_write;
};

TEST(StandardOutputLine, WrittenLineIsUtf8AndAPipeWithoutReaderFails)
{
    CScopedPipeOutput output;
    ASSERT_TRUE(output.IsReady());
    EXPECT_TRUE(WriteStandardOutputLine(L"Gr\u00fc\u00dfe"));
    EXPECT_EQ("Gr\xc3\xbc\xc3\x9f" "e\n", output.Read());
    output.CloseReader();
    EXPECT_FALSE(WriteStandardOutputLine(L"lost"));  // ERROR_NO_DATA: nobody reads the pipe
}

}  // namespace
