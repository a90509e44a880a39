// The command-line decision: the instance pass, the registration and service
// passes, the service name and the summary text, as pure functions of the
// text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "instance/CommandLine.h"
#include "instance/InstanceSettings.h"
#include "support/TestSupport.h"

namespace {

// The decision for "host.exe " + arguments.
InstanceDecision Decide(const std::wstring& arguments)
{
    const std::wstring line = L"\"C:\\Zelt\\host.exe\" " + arguments;
    return DecideInstanceAction(line.c_str(), ReadInstanceSettings(line.c_str()));
}

InstanceAction ActionOf(const std::wstring& arguments)
{
    return Decide(arguments).action;
}

InstanceSettings Read(const std::wstring& arguments)
{
    return ReadInstanceSettings((L"h.exe " + arguments).c_str());
}

std::wstring ServiceNameOf(const InstanceSettings& settings)
{
    std::wstring name;
    EXPECT_TRUE(ComposeServiceName(L"ZeltAgentSvc", settings.num, name));
    return name;
}

TEST(CommandLine, ProgramPathAloneIsRefused)
{
    const wchar_t* line = L"\"C:\\Zelt\\host.exe\"";
    EXPECT_EQ(InstanceAction::Refuse, DecideInstanceAction(line, ReadInstanceSettings(line)).action);
}

TEST(CommandLine, PortKeepsTheLowSixteenBitsOfTheDecimalValue)
{
    struct Case { const wchar_t* value; USHORT port; } cases[] = {
        {L"70000", 4464}, {L"-1", 65535}, {L"080", 80}, {L"42x", 42}, {L"99999999999", 65535}, {L"5000", 5000}};
    for (const Case& c : cases)
    {
        const InstanceSettings settings = Read(std::wstring(L"/port=") + c.value + L" /agent=a.exe");
        EXPECT_EQ(c.port, settings.port) << Narrow(c.value);
        EXPECT_EQ(InstanceAction::Run, ActionOf(std::wstring(L"/port=") + c.value + L" /agent=a.exe"));
        EXPECT_NE(std::wstring::npos,
                  DescribeInstance(L"", settings, L"x").find(L"\nport=[" + std::to_wstring(c.port) + L"]"));
    }
}

TEST(CommandLine, PortWithoutDigitsOrWrappingToZeroCountsAsNone)
{
    for (const wchar_t* value : {L"abc", L"65536", L"0", L""})
    {
        const std::wstring arguments = std::wstring(L"/port=") + value + L" /agent=a.exe";
        EXPECT_EQ(0, Read(arguments).port);
        EXPECT_EQ(InstanceAction::Refuse, ActionOf(arguments));
    }
}

TEST(CommandLine, SwitchWordsIgnoreCaseAndTakeExactlyOneLeadingMark)
{
    for (const wchar_t* form : {L"/PORT=80", L"-port=80", L"/Port=80", L"-pOrT=80"})
    {
        const InstanceSettings settings = Read(std::wstring(form) + L" /AGENT=a.exe");
        EXPECT_EQ(80, settings.port) << Narrow(form);
        EXPECT_EQ(L"a.exe", settings.agent);
        EXPECT_EQ(InstanceAction::Run, ActionOf(std::wstring(form) + L" /AGENT=a.exe"));
    }
    for (const wchar_t* form : {L"--port=80", L"//port=80", L"port=80", L"/port:80"})
    {
        EXPECT_EQ(0, Read(std::wstring(form) + L" /agent=a.exe").port) << Narrow(form);
        EXPECT_EQ(InstanceAction::Refuse, ActionOf(std::wstring(form) + L" /agent=a.exe")) << Narrow(form);
    }
}

TEST(CommandLine, LaterSwitchesOverwriteAndEmptyValuesClear)
{
    const std::wstring arguments = L"/port=1 /agent=a.exe /cmd=x /num=1 /port=2 /agent=b.exe \"/cmd=b.exe -v\" /num=";
    const InstanceSettings settings = Read(arguments);
    EXPECT_EQ(InstanceAction::Run, ActionOf(arguments));
    EXPECT_EQ(2, settings.port);
    EXPECT_EQ(L"b.exe", settings.agent);
    EXPECT_EQ(L"b.exe -v", settings.cmd);
    EXPECT_EQ(L"", settings.num);
    EXPECT_EQ(L"ZeltAgentSvc", ServiceNameOf(settings));

    EXPECT_EQ(L"", Read(L"/port=1 /agent=a.exe /agent=").agent);
    EXPECT_EQ(InstanceAction::Refuse, ActionOf(L"/port=1 /agent=a.exe /agent="));
}

TEST(CommandLine, CmdIsNotRequired)
{
    EXPECT_EQ(InstanceAction::Run, ActionOf(L"/port=1 /agent=a.exe"));
}

TEST(CommandLine, SummaryListsTheSettingsInOrderAndLiterally)
{
    const InstanceSettings settings = Read(L"/port=5000 /agent=a%d.exe \"/cmd=a.exe %s\" /num=7");
    EXPECT_EQ(L"\ndir=[C:\\Zelt]\nport=[5000]\nagent=[a%d.exe]\nnum=[7]\nservice=[ZeltAgentSvc-7]\ncmd=[a.exe %s]",
              DescribeInstance(L"C:\\Zelt", settings, ServiceNameOf(settings)));
}

TEST(CommandLine, NumberNamesTheServiceWithinTheNameLimit)
{
    EXPECT_EQ(L"ZeltAgentSvc-7", ServiceNameOf(Read(L"/port=1 /agent=a /num=7")));

    // "ZeltAgentSvc-" is 13 units: 242 more fill the 255 exactly.
    EXPECT_EQ(255u, ServiceNameOf(Read(L"/port=1 /agent=a /num=" + std::wstring(242, L'9'))).size());

    std::wstring name = L"unchanged";
    EXPECT_FALSE(ComposeServiceName(L"ZeltAgentSvc", std::wstring(243, L'9'), name));
    EXPECT_EQ(L"unchanged", name);
}

TEST(CommandLine, RemovalWithNumberUninstallsThatServiceOnly)
{
    EXPECT_EQ(InstanceAction::RemoveInstance, ActionOf(L"/unregserver /num=7"));
    EXPECT_EQ(L"ZeltAgentSvc-7", ServiceNameOf(Read(L"/unregserver /num=7")));
    EXPECT_EQ(InstanceAction::RemoveInstance, ActionOf(L"/UnregServer /num=7 /Service"));
}

// A removal without number needs no port or agent; per user or not is the
// switch's own word.
TEST(CommandLine, RegistrationSwitchesDecideTheDirectionAndTheBranch)
{
    struct Case { const wchar_t* arguments; InstanceAction action; bool bPerUser; } cases[] = {
        {L"/unregserver", InstanceAction::UnregisterServer, false},
        {L"-UnregServerPerUser", InstanceAction::UnregisterServer, true},
        {L"/port=1 /agent=a.exe /RegServer", InstanceAction::RegisterServer, false},
        {L"/port=1 /agent=a.exe -regserverperuser", InstanceAction::RegisterServer, true},
    };
    for (const Case& c : cases)
    {
        const InstanceDecision decision = Decide(c.arguments);
        EXPECT_EQ(c.action, decision.action) << Narrow(c.arguments);
        EXPECT_EQ(c.bPerUser, decision.bPerUser) << Narrow(c.arguments);
    }
}

// With "/Service", "/RegServer" refreshes the registration for that
// instance; the registration per user still wins over "/Service".
TEST(CommandLine, ServiceSwitchInstallsAndWithRegistrationRefreshesIt)
{
    EXPECT_EQ(InstanceAction::InstallService, ActionOf(L"/Service /port=5000 /agent=a.exe \"/cmd=a.exe -x\" /num=7"));
    EXPECT_EQ(InstanceAction::RefreshRegistration, ActionOf(L"-service /port=1 /agent=a.exe /regserver"));
    EXPECT_EQ(InstanceAction::RegisterServer, ActionOf(L"-service /port=1 /agent=a.exe /regserverperuser"));
}

// The service's command line must carry the port as written: at /Service
// only all digits naming 1 to 65535 pass; the run reads any value as before.
TEST(CommandLine, InstallationTakesOnlyAPortNumber)
{
    for (const wchar_t* value : {L"1", L"65535", L"05000", L"5000"})
        EXPECT_EQ(InstanceAction::InstallService, ActionOf(std::wstring(L"/Service /agent=a.exe /port=") + value))
            << Narrow(value);
    for (const wchar_t* value : {L"70000", L"5x", L"-1", L"+80", L"99999999999"})
    {
        const InstanceDecision decision = Decide(std::wstring(L"/Service /agent=a.exe /port=") + value);
        EXPECT_EQ(InstanceAction::Refuse, decision.action) << Narrow(value);
        EXPECT_EQ(Refusal::BadPort, decision.refusal) << Narrow(value);
        EXPECT_EQ(InstanceAction::Run, ActionOf(std::wstring(L"/agent=a.exe /port=") + value)) << Narrow(value);
    }
    EXPECT_EQ(Refusal::NoPortOrAgent, Decide(L"/Service /agent=a.exe /port=65536").refusal);
    EXPECT_EQ(InstanceAction::InstallService, ActionOf(L"/Service /agent=a.exe /port=5x /port=5000"));
}

// The README's bounds: output on or off, size 1 to 4096 MB, keep 0 to 99,
// probe off or 1 to 86400 s; outside them an installation is refused,
// naming the switch as written. Not given, a stored value is kept.
TEST(CommandLine, InstanceParametersTakeTheirBoundsAndRefuseAnInstallationOutsideThem)
{
    const InstanceSettings read = Read(L"/OUTPUT=On /outputsize=4096 -outputkeep=0 /probe=86400 /port=1 /agent=a");
    const DWORD* values = read.parameters.values;
    EXPECT_EQ((std::vector<DWORD>{1, 4096, 0, 86400}),
              (std::vector<DWORD>{values[kOutputParameter], values[kOutputSizeParameter],
                                  values[kOutputKeepParameter], values[kProbeParameter]}));
    EXPECT_TRUE(read.bGiven[kOutputParameter] && read.bGiven[kProbeParameter]);
    for (const wchar_t* good : {L"/output=off", L"/outputsize=1", L"/outputkeep=99", L"/probe=off", L"/probe=0",
                                L"/probe=1"})
        EXPECT_EQ(InstanceAction::InstallService, ActionOf(std::wstring(L"/Service /port=1 /agent=a ") + good))
            << Narrow(good);
    for (const wchar_t* bad : {L"/output=1", L"/output=", L"/outputsize=0", L"/outputsize=4097", L"/outputkeep=100",
                               L"/outputkeep=-1", L"/probe=86401", L"/probe=5s", L"/probe=on"})
    {
        const HostCommand command = ReadHostCommand((std::wstring(L"h.exe /Service /port=1 /agent=a ") + bad).c_str(),
                                                    L"ZeltAgentSvc");
        EXPECT_EQ(InstanceAction::Refuse, command.decision.action) << Narrow(bad);
        EXPECT_EQ(0u, command.refusal.find(L"Refused: " + std::wstring(bad) + L" is not ")) << Narrow(command.refusal);
    }
    InstanceParameters stored;
    stored.values[kOutputKeepParameter] = 7;
    stored.values[kProbeParameter] = 30;
    const InstanceParameters merged = MergeParameters(stored, Read(L"/probe=off"));
    EXPECT_EQ(7u, merged.values[kOutputKeepParameter]);
    EXPECT_EQ(0u, merged.values[kProbeParameter]);
}

TEST(CommandLine, SwitchWordEndsAtBlankTabOrEndOnly)
{
    for (const wchar_t* tail : {L"/Service", L"/SERVICE\t/num=1", L"-service more"})
        EXPECT_EQ(InstanceAction::InstallService, ActionOf(std::wstring(L"/port=1 /agent=a.exe ") + tail)) << Narrow(tail);
    for (const wchar_t* tail : {L"/ServiceX", L"/Serv", L"/Service\"x\"", L"/RegServerX"})
        EXPECT_EQ(InstanceAction::Run, ActionOf(std::wstring(L"/port=1 /agent=a.exe ") + tail)) << Narrow(tail);
}

TEST(CommandLine, MarksInsideBareWordsStillStartSwitches)
{
    EXPECT_EQ(InstanceAction::InstallService, ActionOf(L"/port=1 /agent=a.exe x-Service"));
}

// An installed service's command line quotes the agent's own switches: they
// must not reinstall or unregister the service when it starts.
TEST(CommandLine, SwitchWordsInsideDoubleQuotesAreValues)
{
    const wchar_t* lines[] = {
        L"\"C:\\Zelt\\host.exe\" /port=5000 /agent=\"agent.exe\" /cmd=\"agent.exe -service -v\"",
        L"\"C:\\Zelt\\host.exe\" /port=5000 /agent=\"agent.exe\" /cmd=\"agent.exe /RegServer /UnregServer\"",
        L"\"C:\\Zelt\\host.exe\" /port=5000 /agent=\"agent.exe\" /cmd=\"a.exe \\\" -Service \\\" /x\"",
    };
    for (const wchar_t* line : lines)
    {
        const InstanceSettings settings = ReadInstanceSettings(line);
        EXPECT_EQ(InstanceAction::Run, DecideInstanceAction(line, settings).action) << Narrow(line);
        EXPECT_EQ(5000, settings.port);
    }
    EXPECT_EQ(L"a.exe \" -Service \" /x", ReadInstanceSettings(lines[2]).cmd);
}

TEST(CommandLine, UnregserverPrefixWithoutNumberMayRunTheHost)
{
    EXPECT_EQ(InstanceAction::Run, ActionOf(L"/unregserverX"));
}

// One reading gives the service name, the action and, for a refusal, the
// line that says why; the name limit comes first, also before a removal.
TEST(CommandLine, OneReadingNamesTheServiceAndSaysWhy)
{
    const HostCommand install = ReadHostCommand(L"h.exe /Service /port=5000 /agent=a.exe /num=7", L"ZeltAgentSvc");
    EXPECT_EQ(InstanceAction::InstallService, install.decision.action);
    EXPECT_EQ(L"ZeltAgentSvc-7", install.serviceName);
    EXPECT_EQ(5000, install.settings.port);
    EXPECT_EQ(L"", install.refusal);

    const HostCommand bare = ReadHostCommand(L"h.exe", L"ZeltAgentSvc");
    EXPECT_EQ(InstanceAction::Refuse, bare.decision.action);
    EXPECT_EQ(L"ZeltAgentSvc", bare.serviceName);
    EXPECT_NE(std::wstring::npos, bare.refusal.find(L"/port=")) << Narrow(bare.refusal);

    const HostCommand longName = ReadHostCommand((L"h.exe /unregserver /num=" + std::wstring(243, L'9')).c_str(),
                                                 L"ZeltAgentSvc");
    EXPECT_EQ(InstanceAction::Refuse, longName.decision.action);
    EXPECT_EQ(L"ZeltAgentSvc", longName.serviceName);
    EXPECT_NE(std::wstring::npos, longName.refusal.find(L"255")) << Narrow(longName.refusal);
}

// "/status", a whole argument, asks for the report alone whatever else the
// line carries; inside a value or with more letters it is no switch.
TEST(CommandLine, StatusAsksForTheReportAlone)
{
    const HostCommand status = ReadHostCommand(L"h.exe /STATUS -json /num=7 /Service /unregserver", L"ZeltAgentSvc");
    EXPECT_EQ(InstanceAction::ShowStatus, status.decision.action);
    EXPECT_TRUE(status.settings.bJson);
    EXPECT_EQ(L"ZeltAgentSvc-7", status.serviceName);
    EXPECT_FALSE(ReadHostCommand(L"h.exe -status", L"ZeltAgentSvc").settings.bJson);

    EXPECT_EQ(InstanceAction::Run,
              ReadHostCommand(L"h.exe /port=1 /agent=a.exe \"/cmd=a.exe /status\"", L"Z").decision.action);
    EXPECT_EQ(InstanceAction::Refuse, ReadHostCommand(L"h.exe /statusX", L"Z").decision.action);
    EXPECT_EQ(InstanceAction::Run, ReadHostCommand(L"h.exe /port=1 /agent=a.exe /json", L"Z").decision.action);
}

}  // namespace
