// The host's command lines that the installer package runs: the platform's
// splitting gives every value back exactly, and the host finds no switch
// inside a value. What the package plans for the instances it finds, and
// how their search fails.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "InstanceDiscovery.h"
#include "SetupArguments.h"
#include "SetupPlatform.h"
#include "base/Result.h"
#include "instance/CommandLine.h"
#include "instance/InstanceSettings.h"
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
        std::vector<std::wstring> expected{L"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe",
                                                 L"/Service", L"/port=5000", L"/agent=a \"b\".exe",
                                                 L"/cmd=" + cmd, L"/num=7 \\"};
        EXPECT_EQ(expected, SplitCommandLine(line)) << line;
        EXPECT_EQ(std::vector<std::wstring>{L"Service"}, SwitchWords(line)) << line;
        // The refresh adds "/RegServer", which the host sees beside "/Service".
        const std::wstring refresh = kProgram + BuildRefreshArguments(L"5000", L"a \"b\".exe", cmd, L"7 \\");
        expected.insert(expected.begin() + 1, L"/RegServer");
        EXPECT_EQ(expected, SplitCommandLine(refresh)) << refresh;
        EXPECT_EQ((std::vector<std::wstring>{L"RegServer", L"Service"}), SwitchWords(refresh)) << refresh;
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
    // started again, the module registered again for the first between
    // should the registration differ; the stopped one is left alone.
    const SetupPlan plan = PlanInstances(SetupMode::Installation, SetupRequest(), instances);
    EXPECT_TRUE(plan.stop.empty());
    const SetupSteps install{Step(StepKind::Stop, L"ZeltAgentSvc-7"),
                             Step(StepKind::RunHostIfRegistrationChanged, L"ZeltAgentSvc-7",
                                  BuildRefreshArguments(L"5000", L"agent.exe", L"agent.exe --a", L"7")),
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

// OUTPUT, OUTPUTSIZE, OUTPUTKEEP and PROBE reach "/Service" as the host's
// switches; given alone they install the instance again; not given, none
// is handed on and the host keeps the stored values.
TEST(SetupPlanTest, ParameterPropertiesReachTheHostsServiceArguments)
{
    const SetupRequest request{L"5000", L"agent.exe", L"agent.exe --a", L"7", L"on", L"64", L"3", L"5"};
    const SetupPlan first = PlanInstances(SetupMode::Installation, request, {});
    ASSERT_FALSE(first.install.empty());
    EXPECT_EQ(StepKind::RunHost, first.install[0].kind);
    const std::wstring line = kProgram + first.install[0].arguments;
    const InstanceParameters read = ReadInstanceSettings(line.c_str()).parameters;
    EXPECT_EQ((std::vector<DWORD>{1, 64, 3, 5}),
              (std::vector<DWORD>{read.values[kOutputParameter], read.values[kOutputSizeParameter],
                                  read.values[kOutputKeepParameter], read.values[kProbeParameter]}))
        << Narrow(line);
    EXPECT_EQ(std::vector<std::wstring>{L"Service"}, SwitchWords(line)) << Narrow(line);

    const std::vector<SetupInstance> instances{Instance(L"7", L"5000", L"agent.exe --a", true)};
    SetupRequest probeOnly;
    probeOnly.num = L"7";
    probeOnly.probe = L"off";
    const SetupSteps install{
        Step(StepKind::Stop, L"ZeltAgentSvc-7"),
        Step(StepKind::RunHost, L"ZeltAgentSvc-7",
             BuildInstallArguments(L"5000", L"agent.exe", L"agent.exe --a", L"7") + L" \"/probe=off\""),
        Step(StepKind::Start, L"ZeltAgentSvc-7")};
    EXPECT_EQ(install, PlanInstances(SetupMode::Maintenance, probeOnly, instances).install);
    for (const SetupStep& step : PlanInstances(SetupMode::Installation, SetupRequest(), instances).install)
        EXPECT_EQ(std::wstring::npos, step.arguments.find(L"/probe=")) << Narrow(step.arguments);
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

TEST(SetupPlanTest, ARepairRestartsEveryRunningInstanceOnTheReinstalledFiles)
{
    const std::vector<SetupInstance> instances{Instance(L"7", L"5000", L"agent.exe --a", true),
                                               Instance(L"8", L"5001", L"agent.exe --b", false)};
    const SetupPlan plan = PlanInstances(SetupMode::Reinstall, SetupRequest(), instances);
    EXPECT_EQ((SetupSteps{Step(StepKind::Stop, L"ZeltAgentSvc-7"), Step(StepKind::Start, L"ZeltAgentSvc-7")}),
              plan.install);
    EXPECT_EQ(SetupSteps{Step(StepKind::Start, L"ZeltAgentSvc-7")}, plan.rollbackStop);
}

// A removal is an upgrade's when UPGRADINGPRODUCTCODE says so; under Wine,
// which sets no such property, also while another version is listed.
TEST(SetupPlanTest, AnotherVersionMarksARemovalByUpgradeOnlyUnderWine)
{
    // Fields: REMOVE=ALL, Installed, REINSTALL, UPGRADINGPRODUCTCODE, another version listed.
    const SetupFacts otherListed{true, true, false, false, true};
    EXPECT_EQ(SetupMode::Removal, ChooseMode(otherListed, false));
    EXPECT_EQ(SetupMode::RemovalByUpgrade, ChooseMode(otherListed, true));
    EXPECT_EQ(SetupMode::RemovalByUpgrade, ChooseMode(SetupFacts{true, true, false, true, false}, false));
    EXPECT_EQ(SetupMode::Maintenance, ChooseMode(SetupFacts{false, true, false, false, false}, false));
    EXPECT_EQ(SetupMode::Reinstall, ChooseMode(SetupFacts{false, true, true, false, false}, false));
    EXPECT_EQ(SetupMode::Installation, ChooseMode(SetupFacts(), false));
    EXPECT_TRUE(IsRunningOnWine());  // the tests run under Wine
}

// The upgrade code entry is written back only under Wine, and the failed
// installation of the instances is undone once: by the rollback action on
// Windows, by the action itself under Wine.
TEST(SetupPlanTest, WineAloneGetsItsWorkarounds)
{
    const std::vector<SetupInstance> instances{Instance(L"7", L"5000", L"agent.exe --a", true)};
    const std::wstring kept = L"C:\\Zelt\\previous";
    const std::wstring older = L"{11111111-2222-3333-4444-555555555555}";
    for (const bool bWine : {false, true})
    {
        SetupPlan plan = PlanInstances(SetupMode::Installation, SetupRequest(), instances);
        const SetupSteps install = plan.install;
        const SetupSteps undo = plan.rollbackInstall;
        GuardReplacedFiles(plan, kept, L"{UPGRADE}", {older}, bWine);
        PlaceInstallUndo(plan, bWine);

        EXPECT_EQ(Step(StepKind::KeepFiles, L"", kept), plan.stop.front());
        EXPECT_EQ(Step(StepKind::RestoreFiles, L"", kept), plan.rollbackStop.front());
        EXPECT_EQ(SetupSteps{Step(StepKind::DiscardFiles, L"", kept)}, plan.commit);
        EXPECT_EQ(bWine, plan.rollbackStop.back() == Step(StepKind::KeepListed, older, L"{UPGRADE}"));
        SetupSteps expected{Step(StepKind::ReturnFiles, L"", kept)};
        expected.insert(expected.end(), install.begin(), install.end());
        if (bWine)
        {
            expected.push_back(Step(StepKind::Undo, L""));
            expected.insert(expected.end(), undo.begin(), undo.end());
        }
        EXPECT_EQ(expected, plan.install) << bWine;
        EXPECT_EQ(bWine ? SetupSteps() : undo, plan.rollbackInstall) << bWine;
    }
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

// The service manager with a given list; the calls the test names fail.
class CDiscoveryServiceManager : public CSystemServiceManager
{
public:
    HRESULT OpenManager(DWORD access, CServiceHandle& manager) override
    {
        return FAILED(hrManager) ? hrManager : CSystemServiceManager::OpenManager(access, manager);
    }
    HRESULT ListServices(SC_HANDLE, std::vector<std::wstring>& names) override
    {
        names = listed;
        return hrList;
    }
    HRESULT OpenServiceEntry(SC_HANDLE manager, LPCWSTR name, DWORD access, CServiceHandle& service) override
    {
        opened.emplace_back(name);
        return name == locked ? HResultFromError(ERROR_ACCESS_DENIED)
                              : CSystemServiceManager::OpenServiceEntry(manager, name, access, service);
    }

    HRESULT hrManager = S_OK;
    HRESULT hrList = S_OK;
    std::vector<std::wstring> listed;
    std::wstring locked;
    std::vector<std::wstring> opened;
};

// Any call that fails ends the search with the system's error, named in the
// failure text; another program's service is never opened, and an instance
// deleted since the list was read is none.
TEST(InstanceDiscoveryTest, AnyServiceThatCannotBeReadFailsTheSearchWithTheSystemsError)
{
    const HRESULT denied = HResultFromError(ERROR_ACCESS_DENIED);
    std::vector<SetupInstance> instances;
    std::wstring failure;
    const auto find = [&](CDiscoveryServiceManager& services) {
        return FindInstances(services, L"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe", instances, failure);
    };
    CDiscoveryServiceManager noManager;
    noManager.hrManager = denied;
    EXPECT_EQ(denied, find(noManager));
    EXPECT_NE(std::wstring::npos, failure.find(L"service manager")) << Narrow(failure);
    EXPECT_NE(std::wstring::npos, failure.find(L"(0x80070005)")) << Narrow(failure);
    CDiscoveryServiceManager noList;
    noList.hrList = HResultFromError(ERROR_INVALID_HANDLE);
    EXPECT_EQ(noList.hrList, find(noList));
    EXPECT_NE(std::wstring::npos, failure.find(L"(0x80070006)")) << Narrow(failure);

    CDiscoveryServiceManager one;
    one.listed = {L"Spooler", L"ZeltAgentSvc-no-such-instance", L"ZeltAgentSvc-locked"};
    one.locked = L"ZeltAgentSvc-locked";
    EXPECT_EQ(denied, find(one));
    EXPECT_EQ((std::vector<std::wstring>{L"ZeltAgentSvc-no-such-instance", L"ZeltAgentSvc-locked"}), one.opened);
    EXPECT_NE(std::wstring::npos, failure.find(L"ZeltAgentSvc-locked")) << Narrow(failure);
    EXPECT_NE(std::wstring::npos, failure.find(L"(0x80070005)")) << Narrow(failure);
    one.locked.clear();
    EXPECT_EQ(S_OK, find(one));
    EXPECT_TRUE(instances.empty());
}

}  // namespace

