#include "base/DataFolder.h"

#include <windows.h>

namespace {

std::wstring ExpandText(const wchar_t* text)
{
    wchar_t expanded[MAX_PATH];
    const DWORD units = ExpandEnvironmentStringsW(text, expanded, MAX_PATH);
    return units > 1 && units <= MAX_PATH ? std::wstring(expanded) : std::wstring();
}

}  // namespace

std::wstring ReadProgramDataFolder()
{
    wchar_t value[MAX_PATH];
    DWORD bytes = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProgramData",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &bytes) == ERROR_SUCCESS)
    {
        const std::wstring folder = ExpandText(value);
        if (!folder.empty())
            return folder;
    }
    wchar_t data[MAX_PATH];
    const DWORD units = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    return units > 0 && units < MAX_PATH ? std::wstring(data, units) : std::wstring();
}
