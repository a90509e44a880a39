// The command-line decision: the three passes, the instance settings, the
// service name, the summary text and the exit code of every outcome. The
// operations the decision leads to are recorded by a module that stands in
// for them.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "instance/CommandLine.h"
#include "instance/ProcessEntry.h"
#include "registrar/PerUserFlag.h"
#include "support/TestSupport.h"

namespace {

class CRecordingModule : public CZeltAgentSvcModule
{
public:
    bool UninstallService() override { calls.push_back("UninstallService"); return uninstallResult; }
    HRESULT RegisterAppId(bool bService) override
    {
        calls.push_back(bService ? "RegisterAppId(service)" : "RegisterAppId");
        return registerResult;
    }
    HRESULT RemoveAppId() override { calls.push_back("RemoveAppId"); return S_OK; }
    HRESULT RegisterComClasses(bool bTypeLibrary, const CLSID* pOnly) override
    {
        calls.push_back(bTypeLibrary && pOnly == nullptr ? "RegisterComClasses" : "RegisterComClasses(?)");
        return S_OK;
    }
    HRESULT UnregisterComClasses(bool bTypeLibrary, const CLSID* pOnly) override
    {
        calls.push_back(bTypeLibrary && pOnly == nullptr ? "UnregisterComClasses" : "UnregisterComClasses(?)");
        return unregisterResult;
    }
    int StartModule(int showCommand) override
    {
        calls.push_back("StartModule");
        return 0x1234 + showCommand;
    }

    std::vector<std::string> calls;
    bool uninstallResult = true;
    HRESULT registerResult = S_OK;
    HRESULT unregisterResult = S_OK;
};

class CommandLineTest : public ::testing::Test
{
protected:
    void TearDown() override { g_bPerUserRegistration = false; }

    // Runs the process entry over "host.exe " + arguments.
    int Run(const std::wstring& arguments)
    {
        return RunProcessEntry(module, (L"\"C:\\Zelt\\host.exe\" " + arguments).c_str(), 5);
    }

    using Calls = std::vector<std::string>;
    CScopedRecords records;
    CRecordingModule module;
};

TEST_F(CommandLineTest, ProgramPathAloneIsRefused)
{
    EXPECT_EQ(static_cast<int>(0x80070057), RunProcessEntry(module, L"\"C:\\Zelt\\host.exe\"", 5));
    EXPECT_TRUE(module.calls.empty());
}

TEST_F(CommandLineTest, PortKeepsTheLowSixteenBitsOfTheDecimalValue)
{
    struct Case { const wchar_t* value; USHORT port; } cases[] = {
        {L"70000", 4464}, {L"-1", 65535}, {L"080", 80}, {L"42x", 42}, {L"99999999999", 65535}, {L"5000", 5000}};
    for (const Case& c : cases)
    {
        CRecordingModule m;
        HRESULT hr = E_FAIL;
        EXPECT_TRUE(m.ParseArguments((std::wstring(L"h.exe /port=") + c.value + L" /agent=a.exe").c_str(), hr));
        EXPECT_EQ(c.port, m.port) << Narrow(c.value);
        EXPECT_NE(std::wstring::npos, m.summary.find(L"\nport=[" + std::to_wstring(c.port) + L"]"));
    }
}

TEST_F(CommandLineTest, PortWithoutDigitsOrWrappingToZeroCountsAsNone)
{
    for (const wchar_t* value : {L"abc", L"65536", L"0", L""})
    {
        CRecordingModule m;
        EXPECT_EQ(static_cast<int>(E_INVALIDARG),
                  RunProcessEntry(m, (std::wstring(L"h.exe /port=") + value + L" /agent=a.exe").c_str(), 0));
        EXPECT_EQ(0, m.port);
        EXPECT_TRUE(m.calls.empty());
    }
}

TEST_F(CommandLineTest, SwitchWordsIgnoreCaseAndTakeExactlyOneLeadingMark)
{
    for (const wchar_t* form : {L"/PORT=80", L"-port=80", L"/Port=80", L"-pOrT=80"})
    {
        CRecordingModule m;
        HRESULT hr = E_FAIL;
        EXPECT_TRUE(m.ParseArguments((std::wstring(L"h.exe ") + form + L" /AGENT=a.exe").c_str(), hr));
        EXPECT_EQ(80, m.port) << Narrow(form);
        EXPECT_EQ(L"a.exe", m.agent);
    }
    for (const wchar_t* form : {L"--port=80", L"//port=80", L"port=80", L"/port:80"})
    {
        CRecordingModule m;
        HRESULT hr = S_OK;
        EXPECT_FALSE(m.ParseArguments((std::wstring(L"h.exe ") + form + L" /agent=a.exe").c_str(), hr));
        EXPECT_EQ(E_INVALIDARG, hr) << Narrow(form);
        EXPECT_EQ(0, m.port);
    }
}

TEST_F(CommandLineTest, LaterSwitchesOverwriteAndEmptyValuesClear)
{
    HRESULT hr = E_FAIL;
    EXPECT_TRUE(module.ParseArguments(
        L"h.exe /port=1 /agent=a.exe /cmd=x /num=1 /port=2 /agent=b.exe \"/cmd=b.exe -v\" /num=", hr));
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(2, module.port);
    EXPECT_EQ(L"b.exe", module.agent);
    EXPECT_EQ(L"b.exe -v", module.cmd);
    EXPECT_EQ(L"", module.num);
    EXPECT_STREQ(L"ZeltAgentSvc", module.m_serviceName);

    CRecordingModule emptied;
    EXPECT_FALSE(emptied.ParseArguments(L"h.exe /port=1 /agent=a.exe /agent=", hr));
    EXPECT_EQ(E_INVALIDARG, hr);
    EXPECT_EQ(L"", emptied.agent);
}

TEST_F(CommandLineTest, CmdIsNotRequired)
{
    EXPECT_EQ(0x1234 + 5, Run(L"/port=1 /agent=a.exe"));
    EXPECT_EQ(Calls{"StartModule"}, module.calls);
}

TEST_F(CommandLineTest, SummaryListsTheSettingsInOrderAndLiterally)
{
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(module.ParseArguments(L"h.exe /port=5000 /agent=a%d.exe \"/cmd=a.exe %s\" /num=7", hr));
    EXPECT_EQ(L"\ndir=[" + module.dir + L"]\nport=[5000]\nagent=[a%d.exe]\nnum=[7]\nservice=[ZeltAgentSvc-7]\ncmd=[a.exe %s]",
              module.summary);
}

TEST_F(CommandLineTest, NumberNamesTheServiceWithinTheNameLimit)
{
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(module.ParseArguments(L"h.exe /port=1 /agent=a /num=7", hr));
    EXPECT_STREQ(L"ZeltAgentSvc-7", module.m_serviceName);

    // "ZeltAgentSvc-" is 13 units: 242 more fill the 255 exactly.
    CRecordingModule fits;
    ASSERT_TRUE(fits.ParseArguments((L"h.exe /port=1 /agent=a /num=" + std::wstring(242, L'9')).c_str(), hr));
    EXPECT_EQ(255u, wcslen(fits.m_serviceName));

    CRecordingModule tooLong;
    EXPECT_EQ(static_cast<int>(E_INVALIDARG),
              RunProcessEntry(tooLong, (L"h.exe /port=1 /agent=a /Service /num=" + std::wstring(243, L'9')).c_str(), 0));
    EXPECT_TRUE(tooLong.calls.empty());
    EXPECT_STREQ(L"ZeltAgentSvc", tooLong.m_serviceName);
}

TEST_F(CommandLineTest, RemovalWithNumberUninstallsThatServiceOnly)
{
    EXPECT_EQ(S_OK, Run(L"/unregserver /num=7"));
    EXPECT_EQ(Calls{"UninstallService"}, module.calls);
    EXPECT_STREQ(L"ZeltAgentSvc-7", module.m_serviceName);
    EXPECT_TRUE(module.summary.empty());

    CRecordingModule failing;
    failing.uninstallResult = false;
    EXPECT_EQ(static_cast<int>(E_FAIL), RunProcessEntry(failing, L"h.exe /UnregServer /num=7 /Service", 0));
    EXPECT_EQ(Calls{"UninstallService"}, failing.calls);
}

TEST_F(CommandLineTest, RemovalWithoutNumberUnregistersThenRemovesAppId)
{
    EXPECT_EQ(S_OK, Run(L"/unregserver"));
    EXPECT_EQ((Calls{"UnregisterComClasses", "RemoveAppId"}), module.calls);

    CRecordingModule failing;
    failing.unregisterResult = static_cast<HRESULT>(0x8002801C);
    EXPECT_EQ(static_cast<int>(0x8002801C), RunProcessEntry(failing, L"h.exe -UnregServerPerUser", 0));
    EXPECT_EQ(Calls{"UnregisterComClasses"}, failing.calls);
    EXPECT_TRUE(g_bPerUserRegistration);
}

TEST_F(CommandLineTest, RegistrationSwitchesRegisterAppIdThenClasses)
{
    EXPECT_EQ(S_OK, Run(L"/port=1 /agent=a.exe /RegServer"));
    EXPECT_EQ((Calls{"RegisterAppId", "RegisterComClasses"}), module.calls);
    EXPECT_FALSE(g_bPerUserRegistration);

    CRecordingModule perUser;
    perUser.registerResult = static_cast<HRESULT>(0x80070424);
    EXPECT_EQ(static_cast<int>(0x80070424), RunProcessEntry(perUser, L"h.exe /port=1 /agent=a.exe -regserverperuser", 0));
    EXPECT_EQ(Calls{"RegisterAppId"}, perUser.calls);
    EXPECT_TRUE(g_bPerUserRegistration);
}

TEST_F(CommandLineTest, ServiceSwitchInstallsAndRegistrationWinsOverIt)
{
    EXPECT_EQ(S_OK, Run(L"/Service /port=5000 /agent=a.exe \"/cmd=a.exe -x\" /num=7"));
    EXPECT_EQ((Calls{"RegisterAppId(service)", "RegisterComClasses"}), module.calls);

    CRecordingModule both;
    EXPECT_EQ(S_OK, RunProcessEntry(both, L"h.exe -service /port=1 /agent=a.exe /regserver", 0));
    EXPECT_EQ((Calls{"RegisterAppId", "RegisterComClasses"}), both.calls);
}

TEST_F(CommandLineTest, SwitchWordEndsAtBlankTabOrEndOnly)
{
    for (const wchar_t* tail : {L"/Service", L"/SERVICE\t/num=1", L"-service more"})
    {
        CRecordingModule m;
        RunProcessEntry(m, (std::wstring(L"h.exe /port=1 /agent=a.exe ") + tail).c_str(), 0);
        EXPECT_EQ((Calls{"RegisterAppId(service)", "RegisterComClasses"}), m.calls) << Narrow(tail);
    }
    for (const wchar_t* tail : {L"/ServiceX", L"/Serv", L"/Service\"x\"", L"/RegServerX"})
    {
        CRecordingModule m;
        RunProcessEntry(m, (std::wstring(L"h.exe /port=1 /agent=a.exe ") + tail).c_str(), 0);
        EXPECT_EQ(Calls{"StartModule"}, m.calls) << Narrow(tail);
    }
}

TEST_F(CommandLineTest, MarksInsideBareWordsStillStartSwitches)
{
    EXPECT_EQ(S_OK, Run(L"/port=1 /agent=a.exe x-Service"));
    EXPECT_EQ((Calls{"RegisterAppId(service)", "RegisterComClasses"}), module.calls);
}

// An installed service's command line quotes the agent's own switches: they
// must not reinstall or unregister the service when it starts.
TEST_F(CommandLineTest, SwitchWordsInsideDoubleQuotesAreValues)
{
    const wchar_t* lines[] = {
        L"\"C:\\Zelt\\host.exe\" /port=5000 /agent=\"agent.exe\" /cmd=\"agent.exe -service -v\"",
        L"\"C:\\Zelt\\host.exe\" /port=5000 /agent=\"agent.exe\" /cmd=\"agent.exe /RegServer /UnregServer\"",
        L"\"C:\\Zelt\\host.exe\" /port=5000 /agent=\"agent.exe\" /cmd=\"a.exe \\\" -Service \\\" /x\"",
    };
    for (const wchar_t* line : lines)
    {
        CRecordingModule m;
        EXPECT_EQ(0x1234, RunProcessEntry(m, line, 0)) << Narrow(line);
        EXPECT_EQ(Calls{"StartModule"}, m.calls);
        EXPECT_EQ(5000, m.port);
    }
    CRecordingModule escaped;
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(escaped.ParseArguments(lines[2], hr));
    EXPECT_EQ(L"a.exe \" -Service \" /x", escaped.cmd);
}

TEST_F(CommandLineTest, UnregserverPrefixWithoutNumberMayRunTheHost)
{
    EXPECT_EQ(0x1234 + 5, Run(L"/unregserverX"));
    EXPECT_EQ(Calls{"StartModule"}, module.calls);
}

TEST(CompareSwitchWord, OrdersByUpperCasedCharacters)
{
    EXPECT_EQ(0, CompareSwitchWord(L"service", L"Service"));
    EXPECT_EQ(0, CompareSwitchWord(L"SERVICE more", L"Service"));
    EXPECT_EQ(0, CompareSwitchWord(L"Service\tmore", L"Service"));
    EXPECT_EQ(-1, CompareSwitchWord(L"Serv", L"Service"));
    EXPECT_EQ(1, CompareSwitchWord(L"ServiceX", L"Service"));
    EXPECT_EQ(1, CompareSwitchWord(L"Service\"", L"Service"));
    EXPECT_EQ(-1, CompareSwitchWord(L"RegServer", L"Service"));
    EXPECT_EQ(1, CompareSwitchWord(L"UnregServer", L"Service"));
}

TEST(FindNextSwitch, StepsPastEveryMarkOutsideQuotes)
{
    const wchar_t* text = L"C:\\a-b\\x.exe /one \"-two\" -three";
    bool bInQuotes = false;
    const wchar_t* p = FindNextSwitch(text, bInQuotes);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, wcsncmp(p, L"b\\x.exe", 7));
    p = FindNextSwitch(p, bInQuotes);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, wcsncmp(p, L"one", 3));
    p = FindNextSwitch(p, bInQuotes);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, wcsncmp(p, L"three", 5));
    EXPECT_EQ(nullptr, FindNextSwitch(p, bInQuotes));
}

// A module whose COM start fails ends the process with -1 before reading its
// command line. The start thread here already holds a multi-threaded apartment.
TEST(ProcessEntry, FailedStartUpEndsWithMinusOne)
{
    int exitCode = 0;
    std::vector<std::string> calls;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            CScopedRecords records;
            CRecordingModule m;
            exitCode = RunProcessEntry(m, L"h.exe /Service /port=1 /agent=a.exe", 0);
            calls = m.calls;
        }
        CoUninitialize();
    }).join();
    EXPECT_EQ(-1, exitCode);
    EXPECT_TRUE(calls.empty());
    g_bInitFailed = false;
}

}  // namespace
