// The holder of one open registry key, the operations on a key that someone
// else holds, and the recursive delete.
#pragma once

#include <windows.h>

#include "base/Handles.h"

// Operations on a key the caller keeps open: the walk applies them to keys
// it does not own, and RegistryKey delegates to them. Results are Windows
// error codes.

// Reads a REG_SZ or REG_EXPAND_SZ value; `lengthUnits` counts the NUL.
LONG ReadTextValue(HKEY key, LPCWSTR valueName, LPWSTR buffer, ULONG capacityUnits, ULONG& lengthUnits);
LONG WriteNumberValue(HKEY key, LPCWSTR valueName, DWORD value);
LONG WriteTextValue(HKEY key, LPCWSTR valueName, LPCWSTR text, DWORD type = REG_SZ);
// `list` holds NUL-ended items and ends with an empty item.
LONG WriteTextListValue(HKEY key, LPCWSTR valueName, LPCWSTR list);
// Removes the child key `name` of `parent`, which must have no subkeys,
// in the registry view the flags name.
LONG RemoveChildKeyUnder(HKEY parent, LPCWSTR name, REGSAM viewFlags);
// Removes the child key `name` of `parent` with everything below it.
LONG RemoveKeyTreeUnder(HKEY parent, LPCWSTR name, REGSAM viewFlags);
bool HasChildKeys(HKEY key);

// Move-only owner of one HKEY and the view flags (KEY_WOW64_64KEY,
// KEY_WOW64_32KEY) it was opened with.
class RegistryKey
{
public:
    RegistryKey() noexcept = default;
    ~RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&& other) noexcept;

    LONG CreateKey(HKEY parent, LPCWSTR name, LPWSTR keyClass = nullptr, DWORD options = REG_OPTION_NON_VOLATILE,
                   REGSAM access = KEY_READ | KEY_WRITE, LPSECURITY_ATTRIBUTES security = nullptr,
                   DWORD* disposition = nullptr);
    // A null name opens a second handle to the parent itself.
    LONG OpenKey(HKEY parent, LPCWSTR name, REGSAM access = KEY_READ | KEY_WRITE);
    LONG CloseKey();

    LONG QueryText(LPCWSTR valueName, LPWSTR buffer, ULONG capacityUnits, ULONG& lengthUnits);
    LONG SetNumber(LPCWSTR valueName, DWORD value);
    LONG SetText(LPCWSTR valueName, LPCWSTR text, DWORD type = REG_SZ);
    LONG SetTextList(LPCWSTR valueName, LPCWSTR list);
    LONG RemoveChildKey(LPCWSTR name);
    LONG RemoveKeyTree(LPCWSTR name);

    HKEY Handle() const { return m_hKey.Get(); }
    REGSAM ViewFlags() const { return m_viewFlags; }

private:
    LONG Adopt(HKEY key, REGSAM access);

    CKeyHandle m_hKey;
    REGSAM m_viewFlags = 0;
};

// The process-wide delete-key function: RegDeleteKeyExW of the already loaded
// advapi32, looked up once at the first removal; null where the system lacks it.
typedef LONG(WINAPI* DeleteKeyFunction)(HKEY key, LPCWSTR name, REGSAM viewFlags, DWORD reserved);
DeleteKeyFunction GetDeleteKeyFunction();
