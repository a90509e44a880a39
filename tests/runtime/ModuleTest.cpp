// The module chain: the lock count with the last-unlock rule and idle
// monitor, the interface table, the empty class table, and the balance of
// each module's COM start.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "RuntimeTestModule.h"
#include "support/TestSupport.h"

namespace {

// Counts the quit messages waiting in this thread's queue and removes them.
int TakeQuitMessages()
{
    int count = 0;
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        ++count;
    return count;
}

class ModuleTest : public ::testing::Test
{
protected:
    void SetUp() override { TakeQuitMessages(); }

    CScopedRecords records;
    CTestModule module;
};

TEST_F(ModuleTest, EmptyClassTableRegistersAndRevokesNothing)
{
    EXPECT_EQ(S_FALSE, module.RegisterClassTable(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE));
    EXPECT_EQ(S_OK, module.RevokeClassTable());
}

// In place the last unlock quits the start thread's loop; a service's loop
// ends on a stop only.
TEST_F(ModuleTest, LastUnlockPostsOneQuitInPlaceOnly)
{
    module.m_bIdleShutdown = false;
    module.LockModule();
    EXPECT_EQ(0, module.UnlockModule());
    EXPECT_EQ(0, TakeQuitMessages());

    module.m_bRunAsService = FALSE;
    EXPECT_EQ(1, module.LockModule());
    EXPECT_EQ(2, module.LockModule());
    EXPECT_EQ(1, module.UnlockModule());
    EXPECT_EQ(0, TakeQuitMessages());
    EXPECT_EQ(0, module.UnlockModule());
    EXPECT_EQ(1, TakeQuitMessages());
}

// The monitor ends the in-place loop once the count has stayed 0 for the
// idle time after the last unlock, and not while a lock is held.
TEST_F(ModuleTest, IdleMonitorQuitsAfterTheLastUnlockOnly)
{
    module.m_bRunAsService = FALSE;
    module.m_dwIdleTimeout = 50;
    HANDLE thread = module.StartIdleMonitor();
    ASSERT_NE(nullptr, thread);
    module.LockModule();
    module.LockModule();
    module.UnlockModule();  // count 1: no signal
    Sleep(200);
    EXPECT_EQ(0, TakeQuitMessages());
    module.UnlockModule();  // count 0: arms the monitor
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    EXPECT_EQ(1, TakeQuitMessages());
    EXPECT_EQ(nullptr, module.m_hIdleEvent);
    CloseHandle(thread);
}

TEST_F(ModuleTest, InterfaceTableIsCreatedOnceAndNeedsAnOutArgument)
{
    EXPECT_EQ(E_POINTER, module.GetInterfaceTable(nullptr));
    IGlobalInterfaceTable* first = nullptr;
    IGlobalInterfaceTable* second = nullptr;
    ASSERT_EQ(S_OK, module.GetInterfaceTable(&first));
    ASSERT_EQ(S_OK, module.GetInterfaceTable(&second));
    EXPECT_EQ(first, second);
    first->Release();
    second->Release();
}

// Each module balances its own COM start: a thread that built and destroyed
// one is back to no apartment, so it may choose another model.
TEST(ModuleLifecycle, DestructionUninitialisesComOnce)
{
    HRESULT afterwards = E_FAIL;
    std::thread([&] {
        {
            CScopedRecords records;
            CTestModule module;
            EXPECT_TRUE(module.m_bComStarted);
        }
        afterwards = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(afterwards))
            CoUninitialize();
    }).join();
    EXPECT_EQ(S_OK, afterwards);
}

}  // namespace
