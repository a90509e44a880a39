#include "SetupPlatform.h"

#include <windows.h>

#include "base/Handles.h"

namespace {

const wchar_t* const kInstallerPolicies = L"Software\\Policies\\Microsoft\\Windows\\Installer";

// A policy value that is there and not 0.
bool IsPolicySet(HKEY root, const wchar_t* name)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, kInstallerPolicies, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    const CKeyHandle key(opened);
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    return RegGetValueW(key.Get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) == ERROR_SUCCESS &&
           value != 0;
}

}  // namespace

bool IsRunningOnWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsRollbackDisabledByPolicy()
{
    return IsPolicySet(HKEY_LOCAL_MACHINE, L"DisableRollback") || IsPolicySet(HKEY_CURRENT_USER, L"DisableRollback");
}
