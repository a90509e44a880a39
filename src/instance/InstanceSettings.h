// What the command line asks of the host: the instance settings it carries
// and the one action it calls for. Pure functions over the text: no module,
// no registry, no system call.
#pragma once

#include <windows.h>

#include <string>

// The settings an instance keeps outside its command line, in its service's
// Parameters key, one REG_DWORD each, in this order.
enum InstanceParameter : size_t
{
    kOutputParameter,      // "/output=on|off": 1 keeps the agent's output in files
    kOutputSizeParameter,  // "/outputsize=MB": the size (1 to 4096 MB) at which the output file rotates
    kOutputKeepParameter,  // "/outputkeep=N": the rotated files kept (0 to 99)
    kProbeParameter,       // "/probe=SECONDS|off": the seconds between checks of the control port (1 to 86400; 0: off)
    kParameterCount
};

struct InstanceParameters
{
    DWORD values[kParameterCount] = {0, 10, 2, 0};
};

// The switch word and the value name of each parameter.
const wchar_t* ParameterSwitch(InstanceParameter parameter);
const wchar_t* ParameterValueName(InstanceParameter parameter);

// The value of "/<switch>=text", or false when the text is out of its
// bounds. "on" and "off" are the output's words; "off" (or 0) turns probing
// off.
bool ReadParameterValue(InstanceParameter parameter, const wchar_t* text, DWORD& value);
// True for a value the parameter may hold (probing's 0 among them).
bool IsParameterInBounds(InstanceParameter parameter, DWORD value);

struct InstanceSettings
{
    USHORT port = 0;        // the agent's control port; 0 means none
    std::wstring portText;  // the port as the command line wrote it
    std::wstring agent;     // the agent's image file name
    std::wstring cmd;       // the agent's command line
    std::wstring num;       // the instance number, any text
    bool bRemoval = false;  // an instance switch began with "unregserver"
    bool bStatus = false;   // the argument /status: report, change nothing
    bool bJson = false;     // the argument /json: the report as JSON
    // The parameters given on the line (a later switch overwrites an
    // earlier one), and the first one given out of its bounds, as written.
    InstanceParameters parameters;
    bool bGiven[kParameterCount] = {};
    std::wstring badParameter;
    InstanceParameter badKind = kParameterCount;
};

// The stored parameters with the ones the line gives put over them.
InstanceParameters MergeParameters(const InstanceParameters& stored, const InstanceSettings& settings);

// The instance pass: the arguments as the platform splits them, each switch
// behind '/' or '-' with its word compared without regard to ASCII case;
// a later switch overwrites an earlier one. "port=" keeps the low 16 bits of
// the decimal value. A line that cannot be split carries no switch.
InstanceSettings ReadInstanceSettings(const wchar_t* commandLine);

enum class InstanceAction
{
    Run,               // go on to the run step
    Refuse,            // no port or no agent, or no port to install: E_INVALIDARG
    RemoveInstance,    // the instance's service goes
    RegisterServer,    // the AppID entries and the type library
    UnregisterServer,  // the type library and the AppID entries go
    InstallService,    // the registration with the instance's service
    // "/RegServer" with "/Service": the AppID entries and the type library
    // written again for the installed instance, whose service stays as it is
    RefreshRegistration,
    ShowStatus,        // what the installed instances are doing
};

// Why a command line is refused.
enum class Refusal
{
    None,
    NoPortOrAgent,  // no port (0 once read) or no agent
    BadPort,        // an installation's port is not all digits or not 1 to 65535
    LongName,       // the base name, '-' and the number exceed the service name's limit
    BadParameter,   // an installation's parameter is out of its bounds
};

struct InstanceDecision
{
    InstanceAction action = InstanceAction::Run;
    bool bPerUser = false;  // the registration goes to the current user's branch
    Refusal refusal = Refusal::None;
};

// True when the text is all decimal digits and names 1 to 65535: the port an
// installation writes into the service's command line.
bool IsInstallablePort(const std::wstring& text);

// A removal with a number removes that instance and nothing else. Otherwise
// a port and an agent are required, except for a removal without number.
// Then the registration pass (the first of "RegServer", "UnregServer" and
// their "PerUser" forms among the switch words of the raw text) and the
// service pass ("Service") decide; marks inside double quotes are no
// switches. An installation whose port is not written as a port number
// (70000 would be read as 4464, 5x as 5) is refused, and so is one with a
// parameter out of its bounds.
InstanceDecision DecideInstanceAction(const wchar_t* commandLine, const InstanceSettings& settings);

// The longest service name the service manager takes.
constexpr size_t kMaxServiceNameUnits = 255;

// The base name, or "<base>-<num>" when there is a number; false when that
// is longer than the service manager takes.
bool ComposeServiceName(const std::wstring& baseName, const std::wstring& num, std::wstring& serviceName);

// True for the name of an instance of this host: the base name alone, or the
// base name, '-' and a number (without regard to case, as the service
// manager compares names).
bool IsInstanceName(const std::wstring& name, const std::wstring& baseName);

// The line that tells why the command line was refused.
std::wstring DescribeRefusal(const InstanceDecision& decision, const InstanceSettings& settings);

// Everything one command line asks of the host: what to do, and with what.
struct HostCommand
{
    InstanceSettings settings;
    InstanceDecision decision;
    std::wstring serviceName;  // the base name, or "<base>-<num>"; the base name when refused for its length
    std::wstring refusal;      // the line that says why, when the decision is to refuse
};

// The one reading of a command line: the instance pass over its split
// arguments, the service name, and the decision, whose registration and
// service passes search the raw text. "/status" (with "/num=" and "/json")
// asks for the report alone: nothing else on the line is carried out.
HostCommand ReadHostCommand(const wchar_t* commandLine, const std::wstring& baseName);

// The summary that failure traces carry, every value written as it is.
std::wstring DescribeInstance(const std::wstring& dir, const InstanceSettings& settings,
                              const std::wstring& serviceName);
