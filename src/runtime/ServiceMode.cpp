#include "runtime/ServiceMode.h"

#include "runtime/Handles.h"

namespace {

struct RegistryKeyTraits
{
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle handle) noexcept { RegCloseKey(handle); }
};
using CKeyHandle = CUniqueHandle<RegistryKeyTraits>;

constexpr DWORD kTextUnits = 260;

LONG OpenKeyForReading(HKEY parent, const wchar_t* name, CKeyHandle& key)
{
    HKEY opened = nullptr;
    const LONG error = RegOpenKeyExW(parent, name, 0, KEY_READ, &opened);
    if (error == ERROR_SUCCESS)
        key.Reset(opened);
    return error;
}

}  // namespace

bool QueryTextValue(HKEY key, const wchar_t* name)
{
    wchar_t text[kTextUnits];
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(text);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (bytes == 0 || bytes % sizeof(wchar_t) != 0)
        return false;
    return text[bytes / sizeof(wchar_t) - 1] == L'\0';
}

LONG ReadServiceMode(const wchar_t* appId, bool& bRunAsService)
{
    CKeyHandle appIds;
    LONG error = OpenKeyForReading(HKEY_CLASSES_ROOT, L"AppID", appIds);
    if (error != ERROR_SUCCESS)
        return error;
    CKeyHandle module;
    error = OpenKeyForReading(appIds.Get(), appId, module);
    if (error != ERROR_SUCCESS)
        return error;
    bRunAsService = QueryTextValue(module.Get(), L"LocalService");
    return ERROR_SUCCESS;
}
