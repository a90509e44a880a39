#include "registrar/RegistryKey.h"

#include <cstring>
#include <utility>

namespace {

constexpr REGSAM kViewFlagMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr DWORD kEnumNameUnits = 256;

DeleteKeyFunction g_pfnDeleteKey = nullptr;
bool g_bDeleteKeyLookedUp = false;

// A child name must name a child: an empty one would address the key itself.
bool IsChildName(LPCWSTR name)
{
    return name != nullptr && name[0] != L'\0';
}

}  // namespace

DeleteKeyFunction GetDeleteKeyFunction()
{
    if (!g_bDeleteKeyLookedUp)
    {
        HMODULE advapi = GetModuleHandleW(L"Advapi32.dll");
        if (advapi != nullptr)
            g_pfnDeleteKey = reinterpret_cast<DeleteKeyFunction>(
                reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")));
        g_bDeleteKeyLookedUp = true;
    }
    return g_pfnDeleteKey;
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : m_hKey(std::move(other.m_hKey)), m_viewFlags(std::exchange(other.m_viewFlags, 0))
{
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept
{
    if (this != &other)
    {
        CloseKey();
        m_hKey = std::move(other.m_hKey);
        m_viewFlags = std::exchange(other.m_viewFlags, 0);
    }
    return *this;
}

// Holds a newly opened key in place of the former one.
LONG RegistryKey::Adopt(HKEY key, REGSAM access)
{
    const LONG closed = CloseKey();
    m_hKey.Reset(key);
    m_viewFlags = access & kViewFlagMask;
    return closed;
}

LONG RegistryKey::CreateKey(HKEY parent, LPCWSTR name, LPWSTR keyClass, DWORD options, REGSAM access,
                            LPSECURITY_ATTRIBUTES security, DWORD* disposition)
{
    HKEY key = nullptr;
    DWORD created = 0;
    const LONG error = RegCreateKeyExW(parent, name, 0, keyClass, options, access, security, &key, &created);
    if (error != ERROR_SUCCESS)
        return error;  // the held key and the disposition slot stay as they were
    if (disposition != nullptr)
        *disposition = created;
    return Adopt(key, access);
}

LONG RegistryKey::OpenKey(HKEY parent, LPCWSTR name, REGSAM access)
{
    HKEY key = nullptr;
    const LONG error = RegOpenKeyExW(parent, name, 0, access, &key);
    if (error != ERROR_SUCCESS)
        return error;
    return Adopt(key, access);
}

// Closes here rather than through the owner: the walk wants the close's result.
LONG RegistryKey::CloseKey()
{
    const HKEY key = m_hKey.Release();
    m_viewFlags = 0;
    return key != nullptr ? RegCloseKey(key) : ERROR_SUCCESS;
}

LONG RegistryKey::QueryText(LPCWSTR valueName, LPWSTR buffer, ULONG capacityUnits, ULONG& lengthUnits)
{
    return ReadTextValue(Handle(), valueName, buffer, capacityUnits, lengthUnits);
}

LONG RegistryKey::SetNumber(LPCWSTR valueName, DWORD value)
{
    return WriteNumberValue(Handle(), valueName, value);
}

LONG RegistryKey::SetText(LPCWSTR valueName, LPCWSTR text, DWORD type)
{
    return WriteTextValue(Handle(), valueName, text, type);
}

LONG RegistryKey::SetTextList(LPCWSTR valueName, LPCWSTR list)
{
    return WriteTextListValue(Handle(), valueName, list);
}

LONG RegistryKey::RemoveChildKey(LPCWSTR name)
{
    return RemoveChildKeyUnder(Handle(), name, m_viewFlags);
}

LONG RegistryKey::RemoveKeyTree(LPCWSTR name)
{
    return RemoveKeyTreeUnder(Handle(), name, m_viewFlags);
}

LONG ReadTextValue(HKEY key, LPCWSTR valueName, LPWSTR buffer, ULONG capacityUnits, ULONG& lengthUnits)
{
    lengthUnits = 0;
    if (capacityUnits > MAXDWORD / sizeof(wchar_t))
        return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    DWORD bytes = capacityUnits * sizeof(wchar_t);
    const LONG error = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    if (error != ERROR_SUCCESS)
        return error;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (buffer != nullptr)
    {
        if (bytes == 0)
        {
            if (capacityUnits > 0)
                buffer[0] = L'\0';
        }
        else if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0')
        {
            return ERROR_INVALID_DATA;
        }
    }
    lengthUnits = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG WriteNumberValue(HKEY key, LPCWSTR valueName, DWORD value)
{
    return RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

LONG WriteTextValue(HKEY key, LPCWSTR valueName, LPCWSTR text, DWORD type)
{
    if (text == nullptr)
        return ERROR_INVALID_DATA;
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, valueName, 0, type, reinterpret_cast<const BYTE*>(text), bytes);
}

// The stored length runs up to and including the first empty item.
LONG WriteTextListValue(HKEY key, LPCWSTR valueName, LPCWSTR list)
{
    if (list == nullptr)
        return ERROR_INVALID_DATA;
    LPCWSTR item = list;
    while (*item != L'\0')
        item += wcslen(item) + 1;
    const DWORD bytes = static_cast<DWORD>((item - list + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, valueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list), bytes);
}

LONG RemoveChildKeyUnder(HKEY parent, LPCWSTR name, REGSAM viewFlags)
{
    if (!IsChildName(name))
        return ERROR_INVALID_PARAMETER;
    DeleteKeyFunction deleteKey = GetDeleteKeyFunction();
    if (deleteKey != nullptr)
        return deleteKey(parent, name, viewFlags, 0);
    return RegDeleteKeyW(parent, name);
}

// Deletes the leaves first and the named key last; the first failure stops
// the removal and is returned.
LONG RemoveKeyTreeUnder(HKEY parent, LPCWSTR name, REGSAM viewFlags)
{
    if (!IsChildName(name))
        return ERROR_INVALID_PARAMETER;
    RegistryKey key;
    LONG error = key.OpenKey(parent, name, KEY_READ | KEY_WRITE | viewFlags);
    if (error != ERROR_SUCCESS)
        return error;
    wchar_t child[kEnumNameUnits];
    DWORD childUnits = kEnumNameUnits;
    while (RegEnumKeyExW(key.Handle(), 0, child, &childUnits, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
    {
        error = key.RemoveKeyTree(child);
        if (error != ERROR_SUCCESS)
            return error;
        childUnits = kEnumNameUnits;
    }
    key.CloseKey();
    return RemoveChildKeyUnder(parent, name, viewFlags);
}

bool HasChildKeys(HKEY key)
{
    DWORD subkeys = 0;
    const LONG error = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
    return error == ERROR_SUCCESS && subkeys > 0;
}
