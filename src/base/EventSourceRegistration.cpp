#include "base/EventSourceRegistration.h"

#include <cwchar>

#include "base/Handles.h"
#include "base/Result.h"

namespace {

// The Application log's sources under HKEY_LOCAL_MACHINE.
constexpr const wchar_t* kApplicationLogSourcesKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

// The levels the host writes at.
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// An empty name would address the log's own key, and a backslash a key
// below another source.
bool IsSourceName(const wchar_t* sourceName)
{
    return sourceName != nullptr && *sourceName != L'\0' && wcschr(sourceName, L'\\') == nullptr;
}

LONG CreateWritableKey(HKEY parent, const wchar_t* name, CKeyHandle& key)
{
    HKEY created = nullptr;
    const LONG error =
        RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &created, nullptr);
    if (error == ERROR_SUCCESS)
        key.Reset(created);
    return error;
}

LONG WriteSourceValues(HKEY source, const wchar_t* messageFile)
{
    const DWORD fileBytes = static_cast<DWORD>((wcslen(messageFile) + 1) * sizeof(wchar_t));
    LONG error = RegSetValueExW(source, L"EventMessageFile", 0, REG_EXPAND_SZ,
                                reinterpret_cast<const BYTE*>(messageFile), fileBytes);
    if (error == ERROR_SUCCESS)
        error = RegSetValueExW(source, L"TypesSupported", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&kTypesSupported), sizeof(kTypesSupported));
    return error;
}

}  // namespace

std::wstring EventLogSourceKeyPath(const wchar_t* sourceName)
{
    return std::wstring(kApplicationLogSourcesKey) + L"\\" + sourceName;
}

HRESULT RegisterEventLogSource(const wchar_t* sourceName, const wchar_t* messageFile)
{
    if (!IsSourceName(sourceName) || messageFile == nullptr)
        return E_INVALIDARG;
    CKeyHandle sources;
    LONG error = CreateWritableKey(HKEY_LOCAL_MACHINE, kApplicationLogSourcesKey, sources);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    CKeyHandle source;
    error = CreateWritableKey(sources.Get(), sourceName, source);
    if (error == ERROR_SUCCESS)
        error = WriteSourceValues(source.Get(), messageFile);
    return HResultFromError(error);
}

HRESULT UnregisterEventLogSource(const wchar_t* sourceName)
{
    // No source can carry such a name (an instance number with a backslash,
    // say): there is nothing to remove, and nothing else may go.
    if (!IsSourceName(sourceName))
        return S_OK;
    HKEY opened = nullptr;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kApplicationLogSourcesKey, 0, KEY_READ | KEY_WRITE, &opened);
    const CKeyHandle sources(opened);
    if (error == ERROR_SUCCESS)
        error = RegDeleteTreeW(sources.Get(), sourceName);
    return error == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromError(error);
}
