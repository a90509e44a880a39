// The process entry: a failed start-up ends the process before its command
// line is read.
#include <gtest/gtest.h>

#include <thread>

#include "host/ProcessEntry.h"
#include "support/TestSupport.h"

namespace {

// A module whose COM start fails ends the process with -1 before reading its
// command line. The start thread here already holds a multi-threaded apartment.
TEST(ProcessEntry, FailedStartUpEndsWithMinusOne)
{
    int exitCode = 0;
    USHORT port = 1;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            CScopedRecords records;
            CZeltAgentSvcModule module;
            exitCode = RunProcessEntry(module, L"h.exe /Service /port=1 /agent=a.exe", 0);
            port = module.Settings().port;
        }
        CoUninitialize();
    }).join();
    EXPECT_EQ(-1, exitCode);
    EXPECT_EQ(0, port) << "the command line was read";
    g_bInitFailed = false;
}

}  // namespace
