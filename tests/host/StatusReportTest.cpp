// The status report's pieces in process: the record a service run publishes
// under its service key, the lines and the JSON text, and the exit code.
// The report of a real service is checked end to end (tests/runtime).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/StatusReport.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr const wchar_t* kServiceName = L"ZeltStatusTest";
const std::wstring kServiceKey = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + kServiceName;
const std::wstring kStatusKey = kServiceKey + L"\\Status";

DWORD ReadDword(const wchar_t* name) { return ReadNumber(HKEY_LOCAL_MACHINE, kStatusKey, name); }

// A service's key of the test's own (no service behind it), removed at the end.
class StatusPublisherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), 0, nullptr, 0, KEY_READ,
                                                 nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    void TearDown() override { DeleteTree(HKEY_LOCAL_MACHINE, kServiceKey); }
};

// The record follows the agent's start, end and probe; its key is volatile
// (the registry refuses a lasting key below it) and goes at the stop.
TEST_F(StatusPublisherTest, PublishesInAVolatileKeyThatGoesAtTheStopAndMakesNoServiceKey)
{
    CStatusPublisher publisher;
    publisher.Start(kServiceName, L"agent.exe");
    HKEY child = nullptr;
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kStatusKey + L"\\Lasting").c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &child, nullptr));
    EXPECT_EQ(0u, ReadDword(L"Starts"));

    publisher.AgentStarted(GetCurrentProcessId(), GetCurrentProcess());
    EXPECT_EQ(GetCurrentProcessId(), ReadDword(L"AgentProcessId"));
    EXPECT_EQ(1u, ReadDword(L"Starts"));
    std::wstring image;
    EXPECT_TRUE(ReadText(HKEY_LOCAL_MACHINE, kStatusKey, L"AgentImage", image));
    wchar_t own[MAX_PATH];
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    EXPECT_EQ(0, _wcsicmp(own, image.c_str())) << Narrow(image);

    publisher.AgentEnded(AgentEnd{0xC0000005, 2500, 0, true});
    EXPECT_EQ(0xFFFFFFFFu, ReadDword(L"AgentProcessId"));
    EXPECT_EQ(0xC0000005u, ReadDword(L"LastExitCode"));
    publisher.AgentProbed(true);
    EXPECT_EQ(1u, ReadDword(L"ProbeAnswered"));
    PublishedStatus read;
    ASSERT_TRUE(ReadPublishedStatus(kServiceName, read));
    EXPECT_TRUE(read.bProbed && read.bProbeAnswered);
    // The same answer again writes nothing (the value removed here stays
    // away); another answer is written, and a new agent starts unchecked.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kStatusKey.c_str(), L"ProbeAnswered"));
    publisher.AgentProbed(true);
    EXPECT_EQ(0xFFFFFFFFu, ReadDword(L"ProbeAnswered"));
    publisher.AgentProbed(false);
    EXPECT_EQ(0u, ReadDword(L"ProbeAnswered"));
    publisher.AgentStarted(GetCurrentProcessId(), GetCurrentProcess());
    ASSERT_TRUE(ReadPublishedStatus(kServiceName, read));
    EXPECT_FALSE(read.bProbed);

    publisher.Stop();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kStatusKey));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));

    // Without a service key (a run in place) no key is made.
    const std::wstring absent = kServiceKey + L"Absent";
    CStatusPublisher inPlace;
    inPlace.Start(std::wstring(kServiceName) + L"Absent", L"agent.exe");
    inPlace.AgentStarted(GetCurrentProcessId(), GetCurrentProcess());
    inPlace.Stop();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, absent));
}

InstanceStatus RunningInstance(const std::wstring& name, ULONGLONG since)
{
    InstanceStatus instance;
    instance.serviceName = name;
    instance.state = SERVICE_RUNNING;
    instance.port = 5000;
    instance.bPublished = true;
    instance.published.agentProcessId = 1234;
    instance.published.agentImage = L"C:\\A\\agent.exe";
    instance.published.agentSince = since;
    instance.published.starts = 3;
    return instance;
}

constexpr ULONGLONG kSecond = 10000000;  // FILETIME units

// Strings escaped by RFC 8259's rules (non-ASCII as \u and its UTF-16
// units); what is not known is null.
TEST(StatusReport, JsonEscapesByTheFormatsRulesAndWritesNullForTheUnknown)
{
    // 2026-12-09 19:00:00 UTC, 13441316400 s after FILETIME's 1601-01-01.
    const ULONGLONG since = 13441316400ull * kSecond;
    InstanceStatus running = RunningInstance(L"Zelt\"\\\u00e9\U0001D11E\n", since);
    running.published.bEnded = true;
    running.published.bExitCodeKnown = false;
    running.published.lastRanMs = 800;
    running.published.lastEndTime = since - kSecond;
    running.parameters.values[kProbeParameter] = 5;
    running.published.bProbed = true;
    running.published.probeAnswerSince = since + 60 * kSecond;
    InstanceStatus stopped;
    stopped.serviceName = L"ZeltAgentSvc-2";
    EXPECT_EQ(L"[{\"service\":\"Zelt\\\"\\\\\\u00e9\\ud834\\udd1e\\u000a\",\"state\":\"running\",\"port\":5000,"
              L"\"agentPid\":1234,\"agentImage\":\"C:\\\\A\\\\agent.exe\",\"agentSince\":\"2026-12-09T19:00:00Z\","
              L"\"agentRunMs\":61000,\"starts\":3,\"lastExitCode\":null,\"lastRunMs\":800,"
              L"\"lastEndTime\":\"2026-12-09T18:59:59Z\",\"probeSeconds\":5,\"probeAnswered\":false,"
              L"\"probeAnswerSince\":\"2026-12-09T19:01:00Z\",\"outputFile\":null},"
              L"{\"service\":\"ZeltAgentSvc-2\",\"state\":\"stopped\",\"port\":0,\"agentPid\":null,"
              L"\"agentImage\":null,\"agentSince\":null,\"agentRunMs\":null,\"starts\":null,\"lastExitCode\":null,"
              L"\"lastRunMs\":null,\"lastEndTime\":null,\"probeSeconds\":0,\"probeAnswered\":null,"
              L"\"probeAnswerSince\":null,\"outputFile\":null}]",
              FormatStatusJson({running, stopped}, since + 61 * kSecond));
    EXPECT_EQ(L"[]", FormatStatusJson({}, since));
}

// The line: the agent and for how long, the last end, probing with its
// last counted check, and the output file in the instance's folder under
// %ProgramData%.
TEST(StatusReport, LineShowsTheAgentTheLastEndProbingAndTheOutputFile)
{
    const ULONGLONG since = 13441316400ull * kSecond;
    InstanceStatus instance = RunningInstance(L"ZeltAgentSvc-7", since);
    instance.published.bEnded = true;
    instance.published.bExitCodeKnown = true;
    instance.published.lastExitCode = 7;
    instance.published.lastRanMs = 1500;
    std::wstring line = FormatStatusLine(instance, since + (3600 + 120 + 5) * kSecond);
    EXPECT_EQ(0u, line.find(L"ZeltAgentSvc-7: running, port 5000, agent 1234 (C:\\A\\agent.exe) since "))
        << Narrow(line);
    EXPECT_NE(std::wstring::npos, line.find(L" (1 h 2 min), 3 starts, last end: exit code 0x00000007 after 1.5 s at "))
        << Narrow(line);

    instance.published.agentProcessId = 0;
    instance.published.bEnded = false;
    EXPECT_EQ(L"ZeltAgentSvc-7: running, port 5000, no agent, 3 starts, no end yet, probing off, output off",
              FormatStatusLine(instance, since));

    instance.parameters.values[kProbeParameter] = 30;
    instance.parameters.values[kOutputParameter] = 1;
    wchar_t data[MAX_PATH];
    ASSERT_NE(0u, GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH));
    line = FormatStatusLine(instance, since);
    EXPECT_NE(std::wstring::npos, line.find(L", probing every 30 s (last answer: not checked yet), output " +
                                            std::wstring(data) + L"\\ZeltAgentSvc\\ZeltAgentSvc-7\\agent.log"))
        << Narrow(line);
    instance.published.bProbed = true;
    instance.published.bProbeAnswered = true;
    line = FormatStatusLine(instance, since);
    EXPECT_NE(std::wstring::npos, line.find(L", probing every 30 s (last answer: yes since ")) << Narrow(line);
}

TEST(StatusReport, ExitCodeSaysWhetherEveryInstanceRunsItsAgent)
{
    const InstanceStatus running = RunningInstance(L"ZeltAgentSvc-1", 0);
    InstanceStatus between = running;
    between.published.agentProcessId = 0;
    InstanceStatus stopped;
    EXPECT_EQ(0, StatusExitCode({running, running}));
    EXPECT_EQ(1, StatusExitCode({running, between}));
    EXPECT_EQ(1, StatusExitCode({stopped}));
    EXPECT_EQ(2, StatusExitCode({}));
}

}  // namespace
