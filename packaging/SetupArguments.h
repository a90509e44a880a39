// The host's command lines that the installer package runs, and the plan of
// what an installation, a maintenance run or a removal does to every
// instance that runs from the install folder. Pure functions: the custom
// actions gather the facts and carry the plan out.
#pragma once

#include <string>
#include <vector>

// "/Service" followed by the four instance switches, each one argument that
// the platform's command-line splitting gives back exactly, whatever quotes
// or backslashes the values hold.
std::wstring BuildInstallArguments(const std::wstring& port, const std::wstring& agent, const std::wstring& cmd,
                                   const std::wstring& num);

// "/RegServer" with those arguments: the module's registration (AppID
// entries, "LocalService" naming the instance, type library) written again,
// the instance's service left as it is.
std::wstring BuildRefreshArguments(const std::wstring& port, const std::wstring& agent, const std::wstring& cmd,
                                   const std::wstring& num);

// "/unregserver" with the instance number, as one such argument.
std::wstring BuildRemovalArguments(const std::wstring& num);

// The service name of the instance with that number ("ZeltAgentSvc-<num>",
// or "ZeltAgentSvc" without number).
std::wstring InstanceServiceName(const std::wstring& num);

// The number of the instance a service of that name is, false for a name
// that is not an instance's.
bool ReadInstanceNumber(const std::wstring& serviceName, std::wstring& num);

// One instance as it is installed now, read from its service.
struct SetupInstance
{
    std::wstring num;
    std::wstring imagePath;  // the service's command line, which holds the settings
    bool bRunning = false;
};

// The instance properties an installation was given; empty means not given.
struct SetupRequest
{
    std::wstring port;
    std::wstring agent;
    std::wstring cmd;
    std::wstring num;
    // OUTPUT, OUTPUTSIZE, OUTPUTKEEP and PROBE: handed to the host's
    // "/Service" as /output=, /outputsize=, /outputkeep= and /probe=, which
    // checks them; the host keeps the stored value of one not given.
    std::wstring output{};
    std::wstring outputSize{};
    std::wstring outputKeep{};
    std::wstring probe{};

    bool HasParameters() const
    {
        return !output.empty() || !outputSize.empty() || !outputKeep.empty() || !probe.empty();
    }
    bool IsEmpty() const
    {
        return port.empty() && agent.empty() && cmd.empty() && num.empty() && !HasParameters();
    }
};

enum class SetupMode
{
    Installation,       // a first installation, an upgrade or a rebuild: the files may be replaced
    Maintenance,        // the same product again (the same command, a change of an instance): the files stay
    Reinstall,          // the same product with its files reinstalled (a repair, whatever its mode)
    Removal,            // the product goes, and every instance with it
    RemovalByUpgrade,   // the product goes, another version keeps the instances
};

// What the installer tells about the run.
struct SetupFacts
{
    bool bRemoveAll = false;           // REMOVE=ALL
    bool bInstalled = false;           // Installed: the product is there already
    bool bReinstall = false;           // REINSTALL names features: their files are installed again
    bool bUpgrading = false;           // UPGRADINGPRODUCTCODE: another product removes this one
    bool bOtherVersionListed = false;  // another product of the upgrade code is registered
};

// The mode of the run. Windows sets UPGRADINGPRODUCTCODE when an upgrade
// removes this product; Wine's installer does not, and there another
// product listed under the upgrade code (the new one is, by then) marks the
// removal as an upgrade's. On Windows that would also be true of a plain
// removal while two products are registered, which must remove the
// instances: only `bWine` lets it count.
SetupMode ChooseMode(const SetupFacts& facts, bool bWine);

enum class StepKind : wchar_t
{
    Stop = L'S',           // stop the service, wait until it stopped
    Start = L'G',          // start the service, wait until it runs
    RunHost = L'H',        // run the installed host with these arguments
    RunHostAnyway = L'A',  // the same, a failure does not fail the step
    Undo = L'U',           // the steps after it run only when an earlier one failed
    KeepFiles = L'B',      // set the package's files aside into the folder the arguments name
    ReturnFiles = L'M',    // copy back each of them that is not in place
    RestoreFiles = L'R',   // the same, then delete the ones set aside
    DiscardFiles = L'D',   // delete the ones set aside
    KeepListed = L'K',     // the product `service` listed under the upgrade code `arguments`
    // RunHost (with the refresh of the registration), but only when the
    // host's registration script or type library is not that of the files
    // an upgrade kept aside (or none were kept)
    RunHostIfRegistrationChanged = L'E',
};

struct SetupStep
{
    StepKind kind = StepKind::Stop;
    std::wstring service;    // the instance's service
    std::wstring arguments;  // the host's arguments (RunHost, RunHostAnyway)

    bool operator==(const SetupStep& other) const
    {
        return kind == other.kind && service == other.service && arguments == other.arguments;
    }
};

using SetupSteps = std::vector<SetupStep>;

// What each deferred action of the package does, in its order, and what its
// rollback action undoes (each rollback action is scheduled before its
// action, and so runs after it when the installation fails). The
// installation's undoing goes where PlaceInstallUndo puts it.
struct SetupPlan
{
    SetupSteps stop, rollbackStop;        // before the files are set aside or removed
    SetupSteps remove, rollbackRemove;    // the removal, before the files go
    SetupSteps install, rollbackInstall;  // after the files: each instance's stop, "/Service" and start
    SetupSteps commit;                    // once the installation has succeeded
    std::wstring error;                   // a request the package refuses; nothing else is set
};

// An installation over instances from the folder (an upgrade, a rebuild)
// takes them one after the other once the new files are in place (the old
// ones set aside while they still run): each running one is stopped and
// started again, its service kept as it is, with whatever an administrator
// set on it. Only an instance whose settings change (the one the request
// names, which gets the given values over its own and is always started)
// is installed again with "/Service" (given parameters count as a change,
// and only they are handed on); when none is, the module's
// registration is refreshed for the first instance, its service untouched,
// should the new host's registration differ from the old one's. A reinstall
// restarts each running instance on the reinstalled files the same way (its
// old ones are set aside). Maintenance touches only the named instance, and
// only when its settings change. A removal stops every instance before the
// files go and removes each, then the module's registration; a removal by
// an upgrade touches nothing.
SetupPlan PlanInstances(SetupMode mode, const SetupRequest& request, const std::vector<SetupInstance>& instances);

// Before an installation (or a reinstall) replaces the package's files, the
// ones in the install folder are moved into `keptFolder` until it succeeds
// (running programs may be renamed, not replaced), and copied back after the
// installer's file step where it left one out; the last rollback steps copy
// them back where the rollback removed them, and the commit deletes them.
// Under Wine (`bWine`), whose rollback takes each of `olderProducts` off the
// upgrade code `upgradeCode` with this one, the rollback lists them there
// again.
void GuardReplacedFiles(SetupPlan& plan, const std::wstring& keptFolder, const std::wstring& upgradeCode,
                        const std::vector<std::wstring>& olderProducts, bool bWine);

// Where a failed installation of the instances is undone, once. Windows runs
// the rollback action before its rollback removes the new files, while the
// installed host is there; Wine's installer removes the files first, so
// there (`bWine`) the installing action undoes its own steps when one fails
// (behind an Undo mark) and its rollback action has none.
void PlaceInstallUndo(SetupPlan& plan, bool bWine);

// A deferred action's data: the host's path, then the steps; and back.
std::wstring FormatSteps(const std::wstring& host, const SetupSteps& steps);
bool ParseSteps(const std::wstring& data, std::wstring& host, SetupSteps& steps);
