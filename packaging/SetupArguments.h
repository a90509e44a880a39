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

    bool IsEmpty() const { return port.empty() && agent.empty() && cmd.empty() && num.empty(); }
};

enum class SetupMode
{
    Installation,       // a first installation, an upgrade or a rebuild: the files may be replaced
    Maintenance,        // the same product again (the same command, a repair): the files stay
    Removal,            // the product goes, and every instance with it
    RemovalByUpgrade,   // the product goes, another version keeps the instances
};

enum class StepKind : wchar_t
{
    Stop = L'S',           // stop the service, wait until it stopped
    Start = L'G',          // start the service, wait until it runs
    RunHost = L'H',        // run the installed host with these arguments
    RunHostAnyway = L'A',  // the same, a failure does not fail the step
    Undo = L'U',           // the steps after it run only when an earlier one failed
    KeepFiles = L'B',      // copy the package's files to the folder the arguments name
    RestoreFiles = L'R',   // copy them back if the host is gone, then delete the copies
    DiscardFiles = L'D',   // delete the copies
    KeepListed = L'K',     // the product `service` listed under the upgrade code `arguments`
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
// installation also undoes itself at once when it fails,
// while the installed host is still there: Wine's installer runs the
// rollback actions only after it has removed the files.
struct SetupPlan
{
    SetupSteps stop, rollbackStop;        // before the files are replaced or removed
    SetupSteps remove, rollbackRemove;    // the removal, before the files go
    SetupSteps install, rollbackInstall;  // after the files, "/Service" and the start of each instance
    SetupSteps commit;                    // once the installation has succeeded
    std::wstring error;                   // a request the package refuses; nothing else is set
};

// An installation replaces every instance from the folder (stopped, the
// files replaced, installed again with its own settings and at once started
// again if it ran, so that each is away as briefly as it can be); the instance the request names gets the given values over its own
// and is always started. Maintenance touches only that instance, and only
// when its settings change or its service is missing. A removal stops and
// removes every instance, then the module's registration; a removal by an
// upgrade touches nothing.
SetupPlan PlanInstances(SetupMode mode, const SetupRequest& request, const std::vector<SetupInstance>& instances);

// A deferred action's data: the host's path, then the steps; and back.
std::wstring FormatSteps(const std::wstring& host, const SetupSteps& steps);
bool ParseSteps(const std::wstring& data, std::wstring& host, SetupSteps& steps);
