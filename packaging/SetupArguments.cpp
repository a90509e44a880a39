#include "SetupArguments.h"

#include <windows.h>

#include "instance/ImagePath.h"
#include "instance/InstanceSettings.h"

namespace {

// The service name of every instance starts with the module's name.
const std::wstring kBaseName = L"ZeltAgentSvc";

// Between the steps of a deferred action's data, and between a step's fields:
// characters no property value that an administrator types holds.
constexpr wchar_t kStepEnd = L'\x1e';
constexpr wchar_t kFieldEnd = L'\x1f';

// One argument between double quotes, escaped as the host escapes the
// values of its own image path.
std::wstring QuotedSwitch(const wchar_t* name, const std::wstring& value)
{
    return L" \"/" + std::wstring(name) + L"=" + EscapeQuotedValue(value) + L"\"";
}

struct Settings
{
    std::wstring port;
    std::wstring agent;
    std::wstring cmd;
    // The parameter switches given, as arguments; an instance's own are in
    // its Parameters key, which a reinstall keeps.
    std::wstring parameters{};
};

std::wstring ParameterArguments(const SetupRequest& request)
{
    const std::wstring* given[kParameterCount] = {&request.output, &request.outputSize, &request.outputKeep,
                                                  &request.probe};
    std::wstring arguments;
    for (size_t i = 0; i < kParameterCount; ++i)
    {
        if (!given[i]->empty())
            arguments += QuotedSwitch(ParameterSwitch(static_cast<InstanceParameter>(i)), *given[i]);
    }
    return arguments;
}

// The settings as the host reads them from a command line, so that two sets
// compare as the host would see them (a port "05000" is 5000).
Settings ReadSettings(const std::wstring& commandLine)
{
    const InstanceSettings read = ReadInstanceSettings(commandLine.c_str());
    return Settings{read.port != 0 ? std::to_wstring(read.port) : std::wstring(), read.agent, read.cmd};
}

Settings ReadGivenSettings(const Settings& given)
{
    return ReadSettings(L"host " + BuildInstallArguments(given.port, given.agent, given.cmd, std::wstring()));
}

bool operator==(const Settings& a, const Settings& b)
{
    return a.port == b.port && a.agent == b.agent && a.cmd == b.cmd && a.parameters == b.parameters;
}

// The values given over the instance's own.
Settings MergeSettings(const SetupRequest& request, const Settings& own)
{
    Settings merged = ReadGivenSettings(Settings{request.port.empty() ? own.port : request.port,
                                                 request.agent.empty() ? own.agent : request.agent,
                                                 request.cmd.empty() ? own.cmd : request.cmd});
    merged.parameters = ParameterArguments(request);
    return merged;
}

std::wstring ServiceArguments(const Settings& settings, const std::wstring& num)
{
    return BuildInstallArguments(settings.port, settings.agent, settings.cmd, num) + settings.parameters;
}

// An instance after the files are in place (an upgrade sets the old ones
// aside, so that they may be replaced while they run): stopped, installed
// again if its settings change (or, as `bRegister`, the module registered
// again for it if the new host's registration differs), and started again, one instance after the other,
// so that each is away only for its own stop and start. The rollback stops
// it and installs it again as it was where it was installed again; it is
// started once the old files are back.
void PlanReplacement(SetupPlan& plan, const SetupInstance& instance, const Settings& own, const Settings& wanted,
                     bool bStart, bool bRegister)
{
    const bool bChanged = !(wanted == own);
    if (!bChanged && !bRegister && !bStart)
        return;
    const std::wstring service = InstanceServiceName(instance.num);
    if (instance.bRunning)
    {
        plan.install.push_back({StepKind::Stop, service, {}});
        plan.rollbackStop.push_back({StepKind::Start, service, {}});
    }
    const StepKind reinstall = bChanged ? StepKind::RunHost : StepKind::RunHostIfRegistrationChanged;
    const auto arguments = [&](const Settings& settings) {
        return bChanged ? ServiceArguments(settings, instance.num)
                        : BuildRefreshArguments(settings.port, settings.agent, settings.cmd, instance.num);
    };
    if (bChanged || bRegister)
        plan.install.push_back({reinstall, service, arguments(wanted)});
    if (bStart)
        plan.install.push_back({StepKind::Start, service, {}});
    plan.rollbackInstall.push_back({StepKind::Stop, service, {}});
    if (bChanged || bRegister)
        plan.rollbackInstall.push_back({reinstall, service, arguments(own)});
}

// A new instance: installed and started; on rollback stopped and removed.
void PlanNewInstance(SetupPlan& plan, const std::wstring& num, const Settings& wanted)
{
    const std::wstring service = InstanceServiceName(num);
    plan.install.push_back({StepKind::RunHost, service, ServiceArguments(wanted, num)});
    plan.rollbackInstall.push_back({StepKind::Stop, service, {}});
    plan.rollbackInstall.push_back({StepKind::RunHost, service, BuildRemovalArguments(num)});
    plan.install.push_back({StepKind::Start, service, {}});
}

SetupPlan PlanRemoval(const std::vector<SetupInstance>& instances)
{
    SetupPlan plan;
    for (const SetupInstance& instance : instances)
    {
        const std::wstring service = InstanceServiceName(instance.num);
        if (instance.bRunning)
        {
            plan.stop.push_back({StepKind::Stop, service, {}});
            plan.rollbackStop.push_back({StepKind::Start, service, {}});
        }
        plan.remove.push_back({StepKind::RunHost, service, BuildRemovalArguments(instance.num)});
        plan.rollbackRemove.push_back(
            {StepKind::RunHost, service, ServiceArguments(ReadSettings(instance.imagePath), instance.num)});
    }
    // A module that was never registered (files only) fails this, which must
    // not stop the removal.
    plan.remove.push_back({StepKind::RunHostAnyway, {}, L"/unregserver"});
    return plan;
}

}  // namespace

std::wstring BuildInstallArguments(const std::wstring& port, const std::wstring& agent, const std::wstring& cmd,
                                   const std::wstring& num)
{
    return L"/Service" + QuotedSwitch(L"port", port) + QuotedSwitch(L"agent", agent) + QuotedSwitch(L"cmd", cmd) +
           QuotedSwitch(L"num", num);
}

std::wstring BuildRefreshArguments(const std::wstring& port, const std::wstring& agent, const std::wstring& cmd,
                                   const std::wstring& num)
{
    return L"/RegServer " + BuildInstallArguments(port, agent, cmd, num);
}

std::wstring BuildRemovalArguments(const std::wstring& num)
{
    return L"/unregserver" + QuotedSwitch(L"num", num);
}

std::wstring InstanceServiceName(const std::wstring& num)
{
    return num.empty() ? kBaseName : kBaseName + L"-" + num;
}

bool ReadInstanceNumber(const std::wstring& serviceName, std::wstring& num)
{
    if (CompareStringOrdinal(serviceName.c_str(), -1, kBaseName.c_str(), -1, TRUE) == CSTR_EQUAL)
    {
        num.clear();
        return true;
    }
    const std::wstring prefix = kBaseName + L"-";
    if (serviceName.size() <= prefix.size() ||
        CompareStringOrdinal(serviceName.c_str(), static_cast<int>(prefix.size()), prefix.c_str(), -1, TRUE) !=
            CSTR_EQUAL)
        return false;
    num = serviceName.substr(prefix.size());
    return true;
}

SetupMode ChooseMode(const SetupFacts& facts, bool bWine)
{
    if (facts.bRemoveAll)
        return facts.bUpgrading || (bWine && facts.bOtherVersionListed) ? SetupMode::RemovalByUpgrade
                                                                         : SetupMode::Removal;
    if (!facts.bInstalled)
        return SetupMode::Installation;
    return facts.bReinstall ? SetupMode::Reinstall : SetupMode::Maintenance;
}

SetupPlan PlanInstances(SetupMode mode, const SetupRequest& request, const std::vector<SetupInstance>& instances)
{
    if (mode == SetupMode::RemovalByUpgrade)
        return SetupPlan();
    if (mode == SetupMode::Removal)
        return PlanRemoval(instances);

    // The instance the request names: NUM, or without it the only one.
    SetupPlan plan;
    std::wstring num = request.num;
    const SetupInstance* named = nullptr;
    if (!request.IsEmpty())
    {
        if (num.empty() && instances.size() != 1)
        {
            plan.error = L"NUM must name the instance that PORT, AGENT or CMD are for.";
            return plan;
        }
        if (num.empty())
            num = instances[0].num;
        for (const SetupInstance& instance : instances)
        {
            if (instance.num == num)
                named = &instance;
        }
        if (named == nullptr && (request.port.empty() || request.agent.empty()))
        {
            plan.error = L"PORT and AGENT must be given with NUM for a new instance (NUM=" + num + L").";
            return plan;
        }
    }

    // An upgrade in which no "/Service" runs has the first instance
    // installed again should the new host's registration differ.
    const bool bNewInstance = !request.IsEmpty() && named == nullptr;
    const bool bNamedChanges = named != nullptr && !(MergeSettings(request, ReadSettings(named->imagePath)) ==
                                                     ReadSettings(named->imagePath));
    const bool bRegisterFirst = mode == SetupMode::Installation && !bNewInstance && !bNamedChanges;
    for (const SetupInstance& instance : instances)
    {
        const Settings own = ReadSettings(instance.imagePath);
        const bool bNamed = &instance == named;
        const Settings wanted = bNamed ? MergeSettings(request, own) : own;
        const bool bStart = instance.bRunning || bNamed;
        if (mode == SetupMode::Maintenance && wanted == own)
            continue;
        PlanReplacement(plan, instance, own, wanted, bStart, bRegisterFirst && &instance == &instances[0]);
    }
    if (bNewInstance)
        PlanNewInstance(plan, num, MergeSettings(request, Settings()));
    // The module's registration came with the first instance: the rollback
    // takes it away again.
    if (instances.empty() && !plan.install.empty())
        plan.rollbackInstall.push_back({StepKind::RunHostAnyway, {}, L"/unregserver"});
    return plan;
}

void GuardReplacedFiles(SetupPlan& plan, const std::wstring& keptFolder, const std::wstring& upgradeCode,
                        const std::vector<std::wstring>& olderProducts, bool bWine)
{
    plan.stop.insert(plan.stop.begin(), {StepKind::KeepFiles, {}, keptFolder});
    plan.install.insert(plan.install.begin(), {StepKind::ReturnFiles, {}, keptFolder});
    plan.rollbackStop.insert(plan.rollbackStop.begin(), {StepKind::RestoreFiles, {}, keptFolder});
    for (const std::wstring& older : olderProducts)
    {
        if (bWine)
            plan.rollbackStop.push_back({StepKind::KeepListed, older, upgradeCode});
    }
    plan.commit.push_back({StepKind::DiscardFiles, {}, keptFolder});
}

void PlaceInstallUndo(SetupPlan& plan, bool bWine)
{
    if (!bWine || plan.install.empty())
        return;
    plan.install.push_back({StepKind::Undo, {}, {}});
    plan.install.insert(plan.install.end(), plan.rollbackInstall.begin(), plan.rollbackInstall.end());
    plan.rollbackInstall.clear();
}

std::wstring FormatSteps(const std::wstring& host, const SetupSteps& steps)
{
    std::wstring data = host + kStepEnd;
    for (const SetupStep& step : steps)
        data += static_cast<wchar_t>(step.kind) + step.service + kFieldEnd + step.arguments + kStepEnd;
    return data;
}

bool ParseSteps(const std::wstring& data, std::wstring& host, SetupSteps& steps)
{
    size_t end = data.find(kStepEnd);
    if (end == std::wstring::npos)
        return false;
    host = data.substr(0, end);
    steps.clear();
    for (size_t begin = end + 1; begin < data.size(); begin = end + 1)
    {
        end = data.find(kStepEnd, begin);
        const size_t field = data.find(kFieldEnd, begin);
        if (end == std::wstring::npos || field == std::wstring::npos || field > end || field == begin)
            return false;
        const wchar_t kind = data[begin];
        if (std::wstring(L"SGHAUBMRDKE").find(kind) == std::wstring::npos)
            return false;
        steps.push_back(SetupStep{static_cast<StepKind>(kind), data.substr(begin + 1, field - begin - 1),
                                  data.substr(field + 1, end - field - 1)});
    }
    return true;
}
