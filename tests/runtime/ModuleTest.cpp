// The module chain: the lock count with the last-unlock rule and idle
// monitor, the interface table, the empty class table, and the order in
// which start-up builds and exit tears down the process-wide records.
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

TEST_F(ModuleTest, InPlaceLastUnlockPostsOneQuitToTheStartThread)
{
    module.m_bRunAsService = FALSE;
    module.m_bIdleShutdown = false;
    EXPECT_EQ(1, module.LockModule());
    EXPECT_EQ(2, module.LockModule());
    EXPECT_EQ(1, module.UnlockModule());
    EXPECT_EQ(0, TakeQuitMessages());
    EXPECT_EQ(0, module.UnlockModule());
    EXPECT_EQ(1, TakeQuitMessages());
}

TEST_F(ModuleTest, ServiceModeUnlockOnlyCounts)
{
    module.m_bIdleShutdown = false;
    module.LockModule();
    EXPECT_EQ(0, module.UnlockModule());
    EXPECT_EQ(0, TakeQuitMessages());
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
    EXPECT_EQ(first, module.m_pInterfaceTable);
    first->Release();
    second->Release();
}

// Exit destroys the module first, then the COM record, then the base record;
// the module's termination already empties the COM record, whose own clean-up
// then does nothing.
TEST(ModuleLifecycle, TearDownRunsInReverseOrderOfStartUp)
{
    auto base = std::make_unique<CBaseRecord>();
    EXPECT_EQ(base.get(), g_pBaseRecord);
    EXPECT_EQ(GetModuleHandleW(nullptr), base->m_hInstance);
    EXPECT_EQ(GetModuleHandleW(nullptr), base->m_hInstResource);
    auto com = std::make_unique<CComRecord>();
    EXPECT_EQ(com.get(), g_pComRecord);
    EXPECT_EQ(com->m_ppClassBegin, com->m_ppClassEnd);
    auto module = std::make_unique<CTestModule>();
    EXPECT_EQ(module.get(), g_pModule);
    EXPECT_NE(0u, module->m_record.m_cbSize);
    EXPECT_NE(0u, com->m_cbSize);

    module.reset();
    EXPECT_EQ(nullptr, g_pModule);
    EXPECT_EQ(0u, com->m_cbSize);
    EXPECT_NE(0u, base->m_cbSize);
    com.reset();
    EXPECT_EQ(nullptr, g_pComRecord);
    base.reset();
    EXPECT_EQ(nullptr, g_pBaseRecord);
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
