#include "runtime/EventSourceRegistration.h"

#include <cwchar>

#include "registrar/RegistryKey.h"
#include "runtime/Result.h"

namespace {

// The Application log's sources under HKEY_LOCAL_MACHINE.
constexpr const wchar_t* kApplicationLogSourcesKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

// The host writes information records only.
constexpr DWORD kTypesSupported = EVENTLOG_INFORMATION_TYPE;

// An empty name would address the log's own key, and a backslash a key
// below another source.
bool IsSourceName(const wchar_t* sourceName)
{
    return sourceName != nullptr && *sourceName != L'\0' && wcschr(sourceName, L'\\') == nullptr;
}

}  // namespace

HRESULT RegisterEventLogSource(const wchar_t* sourceName, const wchar_t* messageFile)
{
    if (!IsSourceName(sourceName) || messageFile == nullptr)
        return E_INVALIDARG;
    RegistryKey sources;
    LONG error = sources.CreateKey(HKEY_LOCAL_MACHINE, kApplicationLogSourcesKey, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegistryKey source;
    error = source.CreateKey(sources.Handle(), sourceName, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE);
    if (error == ERROR_SUCCESS)
        error = source.SetText(L"EventMessageFile", messageFile, REG_EXPAND_SZ);
    if (error == ERROR_SUCCESS)
        error = source.SetNumber(L"TypesSupported", kTypesSupported);
    return HResultFromError(error);
}

HRESULT UnregisterEventLogSource(const wchar_t* sourceName)
{
    if (!IsSourceName(sourceName))
        return E_INVALIDARG;
    RegistryKey sources;
    LONG error = sources.OpenKey(HKEY_LOCAL_MACHINE, kApplicationLogSourcesKey, KEY_READ | KEY_WRITE);
    if (error == ERROR_SUCCESS)
        error = sources.RemoveKeyTree(sourceName);
    return error == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromError(error);
}
