// The holder of one open registry key, and the recursive delete.
#pragma once

#include <windows.h>

// Move-only owner of one HKEY and the view flags (KEY_WOW64_64KEY,
// KEY_WOW64_32KEY) it was opened with. Results are Windows error codes.
class RegistryKey
{
public:
    RegistryKey() noexcept = default;
    ~RegistryKey();
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

    // Reads a REG_SZ or REG_EXPAND_SZ value; `lengthUnits` counts the NUL.
    LONG QueryText(LPCWSTR valueName, LPWSTR buffer, ULONG capacityUnits, ULONG& lengthUnits);
    LONG SetNumber(LPCWSTR valueName, DWORD value);
    LONG SetText(LPCWSTR valueName, LPCWSTR text, DWORD type = REG_SZ);
    // `list` holds NUL-ended items and ends with an empty item.
    LONG SetTextList(LPCWSTR valueName, LPCWSTR list);

    LONG RemoveChildKey(LPCWSTR name);
    LONG RemoveKeyTree(LPCWSTR name);
    static bool HasChildKeys(HKEY key);

    HKEY Handle() const { return m_hKey; }

    // For wrappers over a handle someone else owns: Attach takes it without
    // opening, Detach gives it back without closing.
    void Attach(HKEY key) { CloseKey(); m_hKey = key; }
    HKEY Detach() { HKEY key = m_hKey; m_hKey = nullptr; m_viewFlags = 0; return key; }
    REGSAM ViewFlags() const { return m_viewFlags; }

    // The same operations on a handle the caller keeps (view flags given).
    static LONG RemoveChildKeyUnder(HKEY parent, LPCWSTR name, REGSAM viewFlags);
    static LONG RemoveKeyTreeUnder(HKEY parent, LPCWSTR name, REGSAM viewFlags);

private:
    LONG Adopt(HKEY key, REGSAM access);

    HKEY m_hKey = nullptr;
    REGSAM m_viewFlags = 0;
};

// The process-wide delete-key function: RegDeleteKeyExW of the already loaded
// advapi32, looked up once at the first removal; null where the system lacks it.
typedef LONG(WINAPI* DeleteKeyFunction)(HKEY key, LPCWSTR name, REGSAM viewFlags, DWORD reserved);
DeleteKeyFunction GetDeleteKeyFunction();
