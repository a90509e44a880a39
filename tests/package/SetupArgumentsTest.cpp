// The host's command lines that the installer package runs: the platform's
// splitting gives every value back exactly, and the host finds no switch
// inside a value. What the package plans for the instances it finds.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "SetupArguments.h"
#include "instance/CommandLine.h"
#include "support/TestSupport.h"

namespace {

// The switch words the host's registration and service passes see.
std::vector<std::wstring> SwitchWords(const std::wstring& commandLine)
{
    std::vector<std::wstring> words;
    bool bInQuotes = false;
    for (const wchar_t* p = FindNextSwitch(commandLine.c_str(), bInQuotes); p != nullptr;
         p = FindNextSwitch(p, bInQuotes))
        words.emplace_back(p, wcscspn(p, L" \t"));
    return words;
}

const wchar_t* const kProgram = L"\"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe\" ";

TEST(SetupArgumentsTest, InstallationHandsTheHostEveryValueExactly)
{
    const std::vector<std::wstring> commands{
        L"agent.exe --listen 5000",
        L"\"C:\\Program Files\\Agent\\agent.exe\" --config \"C:\\Agent Data\\\" -unregserver /RegServer",
        L"a\\\\\"b \\\" c\\",
        L"",
    };
    for (const std::wstring& cmd : commands)
    {
        const std::wstring line = kProgram + BuildInstallArguments(L"5000", L"a \"b\".exe", cmd, L"7 \\");
        const std::vector<std::wstring> expected{L"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe",
                                                 L"/Service", L"/port=5000", L"/agent=a \"b\".exe",
                                                 L"/cmd=" + cmd, L"/num=7 \\"};
        EXPECT_EQ(expected, SplitCommandLine(line)) << line;
        EXPECT_EQ(std::vector<std::wstring>{L"Service"}, SwitchWords(line)) << line;
    }
}

TEST(SetupArgumentsTest, RemovalNamesTheInstanceAlone)
{
    const std::wstring line = kProgram + BuildRemovalArguments(L"7 \"-Service\"");
    const std::vector<std::wstring> expected{L"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe", L"/unregserver",
                                             L"/num=7 \"-Service\""};
    EXPECT_EQ(expected, SplitCommandLine(line));
    EXPECT_EQ(std::vector<std::wstring>{L"unregserver"}, SwitchWords(line));
}

// Instances as the host's installation writes their image paths.
SetupInstance Instance(const std::wstring& num, const std::wstring& port, const std::wstring& cmd, bool bRunning)
{
    return SetupInstance{num,
                         L"\"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe\" /port=" + port +
                             L" /agent=\"agent.exe\" /cmd=\"" + cmd + L"\"",
                         bRunning};
}

SetupStep Step(StepKind kind, const std::wstring& service, const std::wstring& arguments = L"")
{
    return SetupStep{kind, service, arguments};
}

TEST(SetupPlanTest, MaintenanceChangesOnlyTheNamedInstanceAndOnlyWhatIsGiven)
{
    const std::vector<SetupInstance> instances{Instance(L"7", L"5000", L"agent.exe --a", true),
                                               Instance(L"8", L"5001", L"agent.exe --b", true)};
    // The same values again (the port written otherwise): nothing to do.
    const SetupPlan same = PlanInstances(SetupMode::Maintenance, {L"05000", L"agent.exe", L"agent.exe --a", L"7"},
                                         instances);
    EXPECT_TRUE(same.error.empty());
    EXPECT_TRUE(same.stop.empty() && same.install.empty() && same.remove.empty());

    // A CMD alone: instance 8 is stopped, installed with its port and agent
    // and the new command, and started again; on rollback it gets its own
    // back.
    const SetupPlan changed = PlanInstances(SetupMode::Maintenance, {L"", L"", L"agent.exe --c", L"8"}, instances);
    const std::wstring service = L"ZeltAgentSvc-8";
    EXPECT_TRUE(changed.stop.empty());
    EXPECT_EQ(SetupSteps{Step(StepKind::Start, service)}, changed.rollbackStop);
    const SetupSteps install{
        Step(StepKind::Stop, service),
        Step(StepKind::RunHost, service, BuildInstallArguments(L"5001", L"agent.exe", L"agent.exe --c", L"8")),
        Step(StepKind::Start, service)};
    EXPECT_EQ(install, changed.install);
    const SetupSteps rollback{Step(StepKind::Stop, service),
                              Step(StepKind::RunHost, service,
                                   BuildInstallArguments(L"5001", L"agent.exe", L"agent.exe --b", L"8"))};
    EXPECT_EQ(rollback, changed.rollbackInstall);
}

TEST(SetupPlanTest, UpgradeKeepsTheServicesAndInstallsOnlyWhatChanges)
{
    const std::vector<SetupInstance> instances{Instance(L"7", L"5000", L"agent.exe --a", true),
                                               Instance(L"8", L"5001", L"agent.exe --b", false),
                                               Instance(L"9", L"5002", L"agent.exe --c", true)};
    // Without properties: one after the other, each running one stopped and
    // started again, the first installed again between should the
    // registration differ; the stopped one is left alone.
    const SetupPlan plan = PlanInstances(SetupMode::Installation, SetupRequest(), instances);
    EXPECT_TRUE(plan.stop.empty());
    const SetupSteps install{Step(StepKind::Stop, L"ZeltAgentSvc-7"),
                             Step(StepKind::RunHostIfRegistrationChanged, L"ZeltAgentSvc-7",
                                  BuildInstallArguments(L"5000", L"agent.exe", L"agent.exe --a", L"7")),
                             Step(StepKind::Start, L"ZeltAgentSvc-7"), Step(StepKind::Stop, L"ZeltAgentSvc-9"),
                             Step(StepKind::Start, L"ZeltAgentSvc-9")};
    EXPECT_EQ(install, plan.install);
    const SetupSteps undo{Step(StepKind::Stop, L"ZeltAgentSvc-7"), install[1], Step(StepKind::Stop, L"ZeltAgentSvc-9")};
    EXPECT_EQ(undo, plan.rollbackInstall);
    const SetupSteps starts{Step(StepKind::Start, L"ZeltAgentSvc-7"), Step(StepKind::Start, L"ZeltAgentSvc-9")};
    EXPECT_EQ(starts, plan.rollbackStop);

    // A CMD for the stopped one: it alone is installed again, which writes
    // the registration, and started.
    const SetupPlan changed = PlanInstances(SetupMode::Installation, {L"", L"", L"agent.exe --d", L"8"}, instances);
    const SetupSteps changedInstall{
        Step(StepKind::Stop, L"ZeltAgentSvc-7"), Step(StepKind::Start, L"ZeltAgentSvc-7"),
        Step(StepKind::RunHost, L"ZeltAgentSvc-8", BuildInstallArguments(L"5001", L"agent.exe", L"agent.exe --d", L"8")),
        Step(StepKind::Start, L"ZeltAgentSvc-8"), Step(StepKind::Stop, L"ZeltAgentSvc-9"),
        Step(StepKind::Start, L"ZeltAgentSvc-9")};
    EXPECT_EQ(changedInstall, changed.install);

    // A first installation: its rollback removes the instance and then the
    // module's registration.
    const SetupPlan first =
        PlanInstances(SetupMode::Installation, {L"5000", L"agent.exe", L"agent.exe --a", L"7"}, {});
    const SetupSteps rollback{Step(StepKind::Stop, L"ZeltAgentSvc-7"),
                              Step(StepKind::RunHost, L"ZeltAgentSvc-7", BuildRemovalArguments(L"7")),
                              Step(StepKind::RunHostAnyway, L"", L"/unregserver")};
    EXPECT_EQ(rollback, first.rollbackInstall);
    EXPECT_EQ(StepKind::Start, first.install.back().kind);
}

TEST(SetupPlanTest, RemovalTakesEveryInstanceUnlessAnotherVersionKeepsThem)
{
    const std::vector<SetupInstance> instances{Instance(L"7", L"5000", L"agent.exe --a", true),
                                               Instance(L"8", L"5001", L"agent.exe --b", false)};
    const SetupPlan byUpgrade = PlanInstances(SetupMode::RemovalByUpgrade, SetupRequest(), instances);
    EXPECT_TRUE(byUpgrade.stop.empty() && byUpgrade.remove.empty());

    const SetupPlan removal = PlanInstances(SetupMode::Removal, SetupRequest(), instances);
    EXPECT_EQ(SetupSteps{Step(StepKind::Stop, L"ZeltAgentSvc-7")}, removal.stop);
    const SetupSteps remove{Step(StepKind::RunHost, L"ZeltAgentSvc-7", BuildRemovalArguments(L"7")),
                            Step(StepKind::RunHost, L"ZeltAgentSvc-8", BuildRemovalArguments(L"8")),
                            Step(StepKind::RunHostAnyway, L"", L"/unregserver")};
    EXPECT_EQ(remove, removal.remove);
    EXPECT_EQ(2u, removal.rollbackRemove.size());
}

TEST(SetupPlanTest, RequestsThatNameNoInstallableInstanceAreRefused)
{
    const std::vector<SetupInstance> two{Instance(L"7", L"5000", L"a", true), Instance(L"8", L"5001", L"b", true)};
    EXPECT_FALSE(PlanInstances(SetupMode::Maintenance, {L"5002", L"", L"", L""}, two).error.empty());
    EXPECT_FALSE(PlanInstances(SetupMode::Installation, {L"5002", L"", L"", L"9"}, two).error.empty());
    // Without NUM, the only instance there is.
    const SetupPlan only = PlanInstances(SetupMode::Maintenance, {L"5002", L"", L"", L""}, {two[0]});
    EXPECT_TRUE(only.error.empty());
    EXPECT_EQ(3u, only.install.size());  // the stop, "/Service" and the start
}

TEST(SetupPlanTest, StepsSurviveTheirActionData)
{
    const SetupSteps steps{Step(StepKind::Stop, L"ZeltAgentSvc-7"),
                           Step(StepKind::RunHost, L"ZeltAgentSvc-7",
                                BuildInstallArguments(L"1", L"a \"b\".exe", L"c\\\" [d]\t", L"7")),
                           Step(StepKind::RunHostAnyway, L"", L"/unregserver")};
    std::wstring host;
    SetupSteps read;
    ASSERT_TRUE(ParseSteps(FormatSteps(L"C:\\Zelt\\ZeltAgentSvc.exe", steps), host, read));
    EXPECT_EQ(L"C:\\Zelt\\ZeltAgentSvc.exe", host);
    EXPECT_EQ(steps, read);
    EXPECT_FALSE(ParseSteps(L"no separator", host, read));
}

}  // namespace

