#include "runtime/ServiceMode.h"

#include "registrar/RegistryKey.h"

namespace {

constexpr ULONG kTextUnits = 260;

}  // namespace

bool QueryTextValue(HKEY key, const wchar_t* name)
{
    wchar_t text[kTextUnits];
    ULONG length = 0;
    // An empty value holds no terminating NUL: it does not count as a text here.
    return ReadTextValue(key, name, text, kTextUnits, length) == ERROR_SUCCESS && length > 0;
}

LONG ReadServiceMode(const wchar_t* appId, bool& bRunAsService)
{
    RegistryKey appIds;
    LONG error = appIds.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_READ);
    if (error != ERROR_SUCCESS)
        return error;
    RegistryKey module;
    error = module.OpenKey(appIds.Handle(), appId, KEY_READ);
    if (error != ERROR_SUCCESS)
        return error;
    bRunAsService = QueryTextValue(module.Handle(), L"LocalService");
    return ERROR_SUCCESS;
}
