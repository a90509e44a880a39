// The installer package's one custom action in a DLL: it turns the instance
// properties into the host's command lines, which the deferred actions then
// run with the installed host, and into the values the package keeps. The
// package's own formatting cannot build those command lines: it does not
// escape quotes or backslashes.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cwchar>
#include <string>

#include "SetupArguments.h"
#include "base/Handles.h"

namespace {

// Where the package keeps the instance it installed (its Registry table).
constexpr const wchar_t* kKeptInstanceKey = L"Software\\ZeltAgentSvc";

struct CInstance
{
    std::wstring port;
    std::wstring agent;
    std::wstring cmd;
    std::wstring num;

    bool IsEmpty() const { return port.empty() && agent.empty() && cmd.empty() && num.empty(); }
};

std::wstring ReadProperty(MSIHANDLE install, const wchar_t* name)
{
    DWORD units = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &units) != ERROR_MORE_DATA)
        return std::wstring();
    std::wstring value(units + 1, L'\0');
    units = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, &value[0], &units) != ERROR_SUCCESS)
        return std::wstring();
    value.resize(units);
    return value;
}

// A value the package kept under its key; empty when missing. The package
// is a 32-bit one and writes the key in the 32-bit view of the registry,
// where a 64-bit build of this action must look for it too.
std::wstring ReadKeptValue(const wchar_t* name)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeptInstanceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &opened) !=
        ERROR_SUCCESS)
        return std::wstring();
    const CKeyHandle key(opened);
    DWORD bytes = 0;
    if (RegGetValueW(key.Get(), nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes < sizeof(wchar_t))
        return std::wstring();
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key.Get(), nullptr, name, RRF_RT_REG_SZ, nullptr, &value[0], &bytes) != ERROR_SUCCESS)
        return std::wstring();
    value.resize(wcslen(value.c_str()));
    return value;
}

// The instance the properties give; without any of them, the one the package
// kept from its last installation (an upgrade, a repair or the removal).
CInstance ReadInstance(MSIHANDLE install)
{
    CInstance given{ReadProperty(install, L"PORT"), ReadProperty(install, L"AGENT"), ReadProperty(install, L"CMD"),
                    ReadProperty(install, L"NUM")};
    if (!given.IsEmpty())
        return given;
    return CInstance{ReadKeptValue(L"Port"), ReadKeptValue(L"Agent"), ReadKeptValue(L"Command"),
                     ReadKeptValue(L"InstanceNumber")};
}

UINT SetProperties(MSIHANDLE install, const CInstance& instance)
{
    UINT result = MsiSetPropertyW(install, L"ZeltInstanceNumber", instance.num.c_str());
    if (result == ERROR_SUCCESS)
        result = MsiSetPropertyW(install, L"ZeltRemovalArguments", BuildRemovalArguments(instance.num).c_str());
    if (result != ERROR_SUCCESS || instance.port.empty() || instance.agent.empty())
        return result;
    const std::wstring arguments = BuildInstallArguments(instance.port, instance.agent, instance.cmd, instance.num);
    for (const auto& property : {std::make_pair(L"ZeltPort", &instance.port), std::make_pair(L"ZeltAgent", &instance.agent),
                                 std::make_pair(L"ZeltCommand", &instance.cmd),
                                 std::make_pair(L"ZeltInstallArguments", &arguments)})
    {
        if (result == ERROR_SUCCESS)
            result = MsiSetPropertyW(install, property.first, property.second->c_str());
    }
    return result;
}

}  // namespace

// Sets ZeltInstanceNumber and ZeltRemovalArguments when an instance number is
// known, and the instance's values and ZeltInstallArguments when its port and
// agent are too; leaves them unset otherwise, so that the actions that use
// them do not run.
extern "C" UINT __stdcall PrepareInstanceArguments(MSIHANDLE install)
{
    const CInstance instance = ReadInstance(install);
    return instance.num.empty() ? ERROR_SUCCESS : SetProperties(install, instance);
}
