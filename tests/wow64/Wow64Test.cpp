// The 32-bit host on 64-bit Windows, where it runs under WoW64: its
// registration as 32-bit and 64-bit readers see it, its event source as the
// 64-bit Event Viewer reads it, and the program an agent path under System32
// names. The rules come from Windows' WoW64 documentation: HKLM\SYSTEM is one
// key for both views; a 32-bit process that names %windir%\System32 reaches
// %windir%\SysWOW64 (the host looks in the native System32 when nothing is
// there), and %windir%\Sysnative reaches the native System32.
// Runs in a 64-bit prefix only; skipped in a 32-bit process on 32-bit Windows.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "resources/Guids.h"
#include "base/EventSourceRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";

bool IsWow64()
{
    BOOL bWow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64;
}

// A string value read through one registry view (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY); false when the key or value is not there.
bool ReadInView(REGSAM view, HKEY root, const std::wstring& path, const wchar_t* name, std::wstring& text)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS)
        return false;
    const CKeyHandle key(opened);
    wchar_t buffer[1024] = L"";
    DWORD bytes = sizeof(buffer);
    if (RegGetValueW(key.Get(), nullptr, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer,
                     &bytes) != ERROR_SUCCESS)
        return false;
    text = buffer;
    return true;
}

bool ExistsInView(REGSAM view, HKEY root, const std::wstring& path)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

std::wstring WindowsFolder()
{
    wchar_t folder[MAX_PATH] = L"";
    GetWindowsDirectoryW(folder, MAX_PATH);
    return folder;
}

class Wow64Test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!IsWow64())
            GTEST_SKIP() << "not a 32-bit process on 64-bit Windows";
    }

    CSavedModuleRegistration m_registration;
};

struct RegisteredValue
{
    HKEY root;
    std::wstring path;
    const wchar_t* name;
    std::wstring expected;
    bool bShared;  // one key for both views on every 64-bit Windows
};

// The host reads its registration through the 32-bit view, where installing
// wrote it; the service's entry is in the one view of HKLM\SYSTEM; the full
// removal leaves nothing in either view.
TEST_F(Wow64Test, RegistrationIsInTheHostsViewAndRemovedFromBoth)
{
    CTestInstance instance(L"wow64");
    ASSERT_EQ(0u, instance.Install(FindFreePort(), L"a.exe", L"a.exe"));
    const std::wstring host = BuiltProgramPath(L"ZeltAgentSvc.exe");
    ServiceConfiguration config;
    ASSERT_TRUE(QueryServiceConfiguration(instance.ServiceName(), config));
    const std::vector<RegisteredValue> values = {
        {HKEY_CLASSES_ROOT, AppIdKeyPath(), L"LocalService", instance.ServiceName(), false},
        {HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE", L"AppID", ZELT_APPID_TEXT, false},
        {HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT + L"\\1.0\\409\\win32", nullptr, host, false},
        {HKEY_LOCAL_MACHINE, kServicesKey + instance.ServiceName(), L"ImagePath", config.imagePath, true},
    };
    for (const RegisteredValue& value : values)
    {
        SCOPED_TRACE(Narrow(value.path));
        std::wstring text32;
        EXPECT_TRUE(ReadInView(KEY_WOW64_32KEY, value.root, value.path, value.name, text32));
        EXPECT_EQ(value.expected, text32);
        std::wstring text64;
        const bool bSeen64 = ReadInView(KEY_WOW64_64KEY, value.root, value.path, value.name, text64);
        if (value.bShared)
        {
            EXPECT_EQ(value.expected, text64);
        }
        std::printf("[ figure ] 64-bit view of %s: %s\n", Narrow(value.path).c_str(),
                    !bSeen64 ? "absent" : text64 == value.expected ? "the same" : "different");
    }

    instance.Remove();
    ASSERT_EQ(0u, RunHost(L"/unregserver"));
    for (const RegisteredValue& value : values)
    {
        for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            EXPECT_FALSE(ExistsInView(view, value.root, value.path)) << Narrow(value.path) << " view " << view;
    }
}

// Event Viewer is a 64-bit program: it finds a source that the 32-bit host
// registers, and the message file it names.
TEST_F(Wow64Test, EventSourceIsSeenBySixtyFourBitReaders)
{
    const std::wstring name = L"ZeltAgentSvcWow64Test";
    const std::wstring path = EventSourceKeyPath(name);
    const std::wstring host = BuiltProgramPath(L"ZeltAgentSvc.exe");
    ASSERT_EQ(S_OK, RegisterEventLogSource(name.c_str(), host.c_str()));
    std::wstring file;
    EXPECT_TRUE(ReadInView(KEY_WOW64_64KEY, HKEY_LOCAL_MACHINE, path, L"EventMessageFile", file));
    EXPECT_EQ(host, file);
    EXPECT_EQ(S_OK, UnregisterEventLogSource(name.c_str()));
    EXPECT_FALSE(ExistsInView(KEY_WOW64_64KEY, HKEY_LOCAL_MACHINE, path));
    DeleteTree(HKEY_LOCAL_MACHINE, path);
}

// One agent lies in SysWOW64 (copied through System32), two in the native
// System32 only (copied through Sysnative). The host, a 32-bit process, runs
// the first by its System32 path and the second by its Sysnative path, and
// the third by its System32 path too, which names no file in the host's own
// view. Each has an image name of its own: an instance adopts a running
// agent of its image name.
class Wow64AgentPathTest : public Wow64Test
{
protected:
    void TearDown() override
    {
        for (CTestInstance* instance : {&m_wowAgent, &m_nativeAgent, &m_nativeBySystem32})
            instance->Remove();
        for (const wchar_t* image : {L"ZeltW64Wow.exe", L"ZeltW64Native.exe", L"ZeltW64NativeOnly.exe"})
            TerminateProcesses(image);
        DeleteFileW((WindowsFolder() + L"\\System32\\ZeltW64Wow.exe").c_str());
        DeleteFileW((WindowsFolder() + L"\\Sysnative\\ZeltW64Native.exe").c_str());
        DeleteFileW((WindowsFolder() + L"\\Sysnative\\ZeltW64NativeOnly.exe").c_str());
        for (const std::wstring& log : m_logs)
            DeleteFileW(log.c_str());
    }

    // Installs and starts the instance with the agent at `program`.
    void StartAgent(CTestInstance& instance, const std::wstring& program)
    {
        const USHORT port = FindFreePort();
        m_logs.push_back(TestFilePath(L"wow64-" + instance.Num() + L".log"));
        DeleteFileW(m_logs.back().c_str());
        const std::wstring image = program.substr(program.rfind(L'\\') + 1);
        const std::wstring cmd = program + L" --port=" + std::to_wstring(port) + L" " + QuoteArgument(L"--log=" + m_logs.back());
        ASSERT_EQ(0u, instance.Install(port, image, cmd));
        ASSERT_TRUE(instance.Start()) << GetLastError();
    }

    CTestInstance m_wowAgent{L"wow64-wow"};
    CTestInstance m_nativeAgent{L"wow64-native"};
    CTestInstance m_nativeBySystem32{L"wow64-system32"};
    std::vector<std::wstring> m_logs;
};

TEST_F(Wow64AgentPathTest, System32PathsFindAgentsOfEitherViewAndSysnativeTheNativeOnes)
{
    const std::wstring windows = WindowsFolder();
    const std::wstring demo = BuiltProgramPath(L"ZeltDemoAgent.exe");
    ASSERT_TRUE(CopyFileW(demo.c_str(), (windows + L"\\System32\\ZeltW64Wow.exe").c_str(), FALSE));
    for (const wchar_t* image : {L"ZeltW64Native.exe", L"ZeltW64NativeOnly.exe"})
    {
        ASSERT_TRUE(CopyFileW(demo.c_str(), (windows + L"\\Sysnative\\" + image).c_str(), FALSE));
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((windows + L"\\System32\\" + image).c_str()));
    }
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((windows + L"\\SysWOW64\\ZeltW64Wow.exe").c_str()));

    ASSERT_NO_FATAL_FAILURE(StartAgent(m_wowAgent, windows + L"\\System32\\ZeltW64Wow.exe"));
    ASSERT_NO_FATAL_FAILURE(StartAgent(m_nativeAgent, windows + L"\\Sysnative\\ZeltW64Native.exe"));
    ASSERT_NO_FATAL_FAILURE(StartAgent(m_nativeBySystem32, windows + L"\\System32\\ZeltW64NativeOnly.exe"));

    EXPECT_TRUE(m_wowAgent.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_TRUE(WaitForFileText(m_logs[0], "listening", 10000)) << ReadFileText(m_logs[0]);
    EXPECT_TRUE(m_nativeAgent.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_TRUE(WaitForFileText(m_logs[1], "listening", 10000)) << ReadFileText(m_logs[1]);
    EXPECT_TRUE(m_nativeBySystem32.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_TRUE(WaitForFileText(m_logs[2], "listening", 10000)) << ReadFileText(m_logs[2]);
}

}  // namespace
