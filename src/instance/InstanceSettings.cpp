#include "instance/InstanceSettings.h"

#include <shellapi.h>

#include <cwchar>
#include <memory>

#include "base/Text.h"
#include "instance/CommandLine.h"

namespace {

struct LocalFreeDeleter
{
    void operator()(LPWSTR* argv) const { LocalFree(argv); }
};

struct ParameterRule
{
    const wchar_t* word;       // the switch
    const wchar_t* valueName;  // the REG_DWORD in the Parameters key
    DWORD low;
    DWORD high;
    const wchar_t* bounds;  // what a refusal says the value must be
};

const ParameterRule kParameterRules[kParameterCount] = {
    {L"output", L"Output", 0, 1, L"on or off"},
    {L"outputsize", L"OutputSizeMB", 1, 4096, L"a size from 1 to 4096 MB"},
    {L"outputkeep", L"OutputKeep", 0, 99, L"a count from 0 to 99"},
    {L"probe", L"ProbeSeconds", 1, 86400, L"off or 1 to 86400 seconds"},
};

// All decimal digits, at most `high`.
bool ReadBoundedNumber(const wchar_t* text, DWORD high, DWORD& value)
{
    DWORD read = 0;
    for (const wchar_t* c = text; *c != L'\0'; ++c)
    {
        if (*c < L'0' || *c > L'9')
            return false;
        read = read * 10 + static_cast<DWORD>(*c - L'0');
        if (read > high)
            return false;
    }
    value = read;
    return *text != L'\0';
}

// "/output=", "/outputsize=", ...: true when the argument is one of them.
bool ReadParameterSwitch(const wchar_t* rest, InstanceSettings& settings)
{
    for (size_t i = 0; i < kParameterCount; ++i)
    {
        const size_t length = wcslen(kParameterRules[i].word);
        if (!StartsWithAsciiNoCase(rest, kParameterRules[i].word) || rest[length] != L'=')
            continue;
        const auto parameter = static_cast<InstanceParameter>(i);
        settings.bGiven[i] = true;
        if (!ReadParameterValue(parameter, rest + length + 1, settings.parameters.values[i]) &&
            settings.badParameter.empty())
        {
            settings.badParameter = std::wstring(L"/") + rest;
            settings.badKind = parameter;
        }
        return true;
    }
    return false;
}

void ReadInstanceSwitch(const wchar_t* argument, InstanceSettings& settings)
{
    if (argument[0] != L'/' && argument[0] != L'-')
        return;
    const wchar_t* rest = argument + 1;
    if (ReadParameterSwitch(rest, settings))
        return;
    if (StartsWithAsciiNoCase(rest, L"port="))
    {
        settings.portText = rest + 5;
        settings.port = static_cast<USHORT>(wcstol(rest + 5, nullptr, 10));
    }
    else if (StartsWithAsciiNoCase(rest, L"agent="))
        settings.agent = rest + 6;
    else if (StartsWithAsciiNoCase(rest, L"cmd="))
        settings.cmd = rest + 4;
    else if (StartsWithAsciiNoCase(rest, L"num="))
        settings.num = rest + 4;
    else if (StartsWithAsciiNoCase(rest, L"unregserver"))
        settings.bRemoval = true;
    else if (EqualsAsciiNoCase(rest, L"status"))
        settings.bStatus = true;
    else if (EqualsAsciiNoCase(rest, L"json"))
        settings.bJson = true;
}

// The registration pass: true and the decision at the first registration
// switch word.
bool FindRegistrationSwitch(const wchar_t* commandLine, InstanceDecision& decision)
{
    static const struct
    {
        const wchar_t* word;
        InstanceAction action;
        bool bPerUser;
    } kSwitches[] = {
        {L"UnregServer", InstanceAction::UnregisterServer, false},
        {L"RegServer", InstanceAction::RegisterServer, false},
        {L"UnregServerPerUser", InstanceAction::UnregisterServer, true},
        {L"RegServerPerUser", InstanceAction::RegisterServer, true},
    };
    bool bInQuotes = false;
    for (const wchar_t* p = FindNextSwitch(commandLine, bInQuotes); p != nullptr; p = FindNextSwitch(p, bInQuotes))
    {
        for (const auto& entry : kSwitches)
        {
            if (CompareSwitchWord(p, entry.word) == 0)
            {
                decision = InstanceDecision{entry.action, entry.bPerUser};
                return true;
            }
        }
    }
    return false;
}

// The service pass.
bool HasServiceSwitch(const wchar_t* commandLine)
{
    bool bInQuotes = false;
    for (const wchar_t* p = FindNextSwitch(commandLine, bInQuotes); p != nullptr; p = FindNextSwitch(p, bInQuotes))
    {
        if (CompareSwitchWord(p, L"Service") == 0)
            return true;
    }
    return false;
}

}  // namespace

const wchar_t* ParameterSwitch(InstanceParameter parameter)
{
    return kParameterRules[parameter].word;
}

const wchar_t* ParameterValueName(InstanceParameter parameter)
{
    return kParameterRules[parameter].valueName;
}

bool ReadParameterValue(InstanceParameter parameter, const wchar_t* text, DWORD& value)
{
    const bool bOnOff = parameter == kOutputParameter;
    if (EqualsAsciiNoCase(text, L"off") && (bOnOff || parameter == kProbeParameter))
    {
        value = 0;
        return true;
    }
    if (bOnOff)
    {
        if (!EqualsAsciiNoCase(text, L"on"))
            return false;
        value = 1;
        return true;
    }
    DWORD read = 0;
    if (!ReadBoundedNumber(text, kParameterRules[parameter].high, read) || !IsParameterInBounds(parameter, read))
        return false;
    value = read;
    return true;
}

bool IsParameterInBounds(InstanceParameter parameter, DWORD value)
{
    const ParameterRule& rule = kParameterRules[parameter];
    return value <= rule.high && (value >= rule.low || (value == 0 && parameter == kProbeParameter));
}

InstanceParameters MergeParameters(const InstanceParameters& stored, const InstanceSettings& settings)
{
    InstanceParameters merged = stored;
    for (size_t i = 0; i < kParameterCount; ++i)
    {
        if (settings.bGiven[i])
            merged.values[i] = settings.parameters.values[i];
    }
    return merged;
}

InstanceSettings ReadInstanceSettings(const wchar_t* commandLine)
{
    InstanceSettings settings;
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(CommandLineToArgvW(commandLine, &count));
    if (!argv)
        return settings;
    for (int i = 0; i < count; ++i)
        ReadInstanceSwitch(argv.get()[i], settings);
    return settings;
}

InstanceDecision DecideInstanceAction(const wchar_t* commandLine, const InstanceSettings& settings)
{
    if (settings.bRemoval && !settings.num.empty())
        return InstanceDecision{InstanceAction::RemoveInstance, false};
    if (!settings.bRemoval && (settings.port == 0 || settings.agent.empty()))
        return InstanceDecision{InstanceAction::Refuse, false, Refusal::NoPortOrAgent};
    InstanceDecision decision;
    if (FindRegistrationSwitch(commandLine, decision))
    {
        // Together with "/Service" the registration is refreshed for that
        // instance: a combination that never removes a service.
        if (decision.action == InstanceAction::RegisterServer && !decision.bPerUser && HasServiceSwitch(commandLine))
            decision.action = InstanceAction::RefreshRegistration;
        return decision;
    }
    if (HasServiceSwitch(commandLine))
    {
        if (!IsInstallablePort(settings.portText))
            return InstanceDecision{InstanceAction::Refuse, false, Refusal::BadPort};
        if (!settings.badParameter.empty())
            return InstanceDecision{InstanceAction::Refuse, false, Refusal::BadParameter};
        return InstanceDecision{InstanceAction::InstallService, false};
    }
    return decision;
}

bool IsInstallablePort(const std::wstring& text)
{
    unsigned long value = 0;
    for (const wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<unsigned long>(c - L'0');
        if (value > 65535)
            return false;
    }
    return !text.empty() && value >= 1;
}

std::wstring DescribeRefusal(const InstanceDecision& decision, const InstanceSettings& settings)
{
    if (decision.refusal == Refusal::BadPort)
        return L"Refused: /port=" + settings.portText +
               L" is not a port number from 1 to 65535; nothing was installed.";
    if (decision.refusal == Refusal::BadParameter)
        return L"Refused: " + settings.badParameter + L" is not " + kParameterRules[settings.badKind].bounds +
               L"; nothing was installed.";
    if (decision.refusal == Refusal::LongName)
        return L"Refused: the service name for /num=" + settings.num + L" would be longer than 255 characters.";
    return L"Refused: a port (/port=, 1 to 65535) and an agent (/agent=) are required.";
}

HostCommand ReadHostCommand(const wchar_t* commandLine, const std::wstring& baseName)
{
    HostCommand command;
    command.settings = ReadInstanceSettings(commandLine);
    command.serviceName = baseName;
    if (!ComposeServiceName(baseName, command.settings.num, command.serviceName))
        command.decision = InstanceDecision{InstanceAction::Refuse, false, Refusal::LongName};
    else if (command.settings.bStatus)
        command.decision.action = InstanceAction::ShowStatus;
    else
        command.decision = DecideInstanceAction(commandLine, command.settings);
    if (command.decision.action == InstanceAction::Refuse)
        command.refusal = DescribeRefusal(command.decision, command.settings);
    return command;
}

bool ComposeServiceName(const std::wstring& baseName, const std::wstring& num, std::wstring& serviceName)
{
    std::wstring name = num.empty() ? baseName : baseName + L"-" + num;
    if (name.size() > kMaxServiceNameUnits)
        return false;
    serviceName = std::move(name);
    return true;
}

bool IsInstanceName(const std::wstring& name, const std::wstring& baseName)
{
    return _wcsicmp(name.c_str(), baseName.c_str()) == 0 ||
           (name.size() > baseName.size() && _wcsnicmp(name.c_str(), baseName.c_str(), baseName.size()) == 0 &&
            name[baseName.size()] == L'-');
}

std::wstring DescribeInstance(const std::wstring& dir, const InstanceSettings& settings,
                              const std::wstring& serviceName)
{
    return L"\ndir=[" + dir + L"]\nport=[" + FormatText(L"%hu", settings.port) + L"]\nagent=[" + settings.agent +
           L"]\nnum=[" + settings.num + L"]\nservice=[" + serviceName + L"]\ncmd=[" + settings.cmd + L"]";
}
