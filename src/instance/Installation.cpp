#include "instance/Installation.h"

#include <string>

#include "base/EventSourceRegistration.h"
#include "base/ModulePath.h"
#include "base/Result.h"
#include "base/Text.h"
#include "instance/ImagePath.h"
#include "instance/Messages.h"
#include "instance/Removal.h"
#include "registrar/RegObject.h"
#include "registrar/RegistryKey.h"
#include "resources/Guids.h"
#include "resources/ResourceIds.h"

namespace {

constexpr DWORD kServiceRights = 0x000F003F;  // required rights, configure, query, start, stop
constexpr DWORD kFailureActionCount = 3;

// The program's own path; empty when it cannot be read or does not fit.
std::wstring GetProgramPath()
{
    wchar_t path[MAX_PATH];
    DWORD length = 0;
    if (FAILED(ReadModulePath(nullptr, path, length)))
        return std::wstring();
    return std::wstring(path, length);
}

HRESULT FailRegistration(const TraceWriter& writeTrace, int point, HRESULT hr)
{
    if (writeTrace)
        writeTrace(EventKind::RegistrationFailed, FormatText(L"==> RegisterAppId: end_fail-%d.", point));
    return hr;
}

// The configuration steps, numbered 3 to 8 by the failure they report.
HRESULT ConfigureService(IServiceManager& services, const wchar_t* serviceName, const std::wstring& imagePath,
                         const std::wstring& displayName, SC_ACTION* actions, const TraceWriter& writeTrace)
{
    CServiceHandle manager;
    HRESULT hr = services.OpenManager(SC_MANAGER_ALL_ACCESS, manager);
    if (FAILED(hr))
        return FailRegistration(writeTrace, 3, hr);
    CServiceHandle service;
    if (FAILED(hr = services.OpenServiceEntry(manager.Get(), serviceName, kServiceRights, service)))
        return FailRegistration(writeTrace, 4, hr);
    if (FAILED(hr = services.ChangeConfiguration(service.Get(), SERVICE_NO_CHANGE, imagePath.c_str(), nullptr)))
        return FailRegistration(writeTrace, 5, hr);
    if (FAILED(hr = services.ChangeConfiguration(service.Get(), SERVICE_NO_CHANGE, nullptr, displayName.c_str())))
        return FailRegistration(writeTrace, 6, hr);
    if (FAILED(hr = services.ChangeConfiguration(service.Get(), SERVICE_AUTO_START, nullptr, nullptr)))
        return FailRegistration(writeTrace, 7, hr);
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = 0;
    failureActions.cActions = kFailureActionCount;
    failureActions.lpsaActions = actions;
    if (FAILED(hr = services.ChangeFailureActions(service.Get(), failureActions)))
        return FailRegistration(writeTrace, 8, hr);
    return S_OK;
}

}  // namespace

HRESULT RegisterAppId(IServiceManager& services, const wchar_t* serviceName, const InstanceSettings& settings,
                      IScriptModule& module, const TraceWriter& writeTrace, bool bService)
{
    HRESULT hr = WriteAppIdEntries(services, serviceName, module, bService);
    if (FAILED(hr))
        return FailRegistration(writeTrace, 1, hr);
    std::wstring displayName = L"ZeltAgent Service";
    const std::wstring program = GetProgramPath();
    if (program.empty())
        return FailRegistration(writeTrace, 2, E_FAIL);
    const std::wstring imagePath = BuildImagePath(program, settings.port, settings.agent, settings.cmd);
    SC_ACTION actions[kFailureActionCount];
    for (SC_ACTION& action : actions)
        action = SC_ACTION{SC_ACTION_RESTART, 0};
    if (!settings.num.empty())
        displayName += L" - " + settings.num;
    return ConfigureService(services, serviceName, imagePath, displayName, actions, writeTrace);
}

// The old service of the name goes first; installation waits until it is
// gone, so that the new one is never configured over an entry that is about
// to disappear.
HRESULT WriteAppIdEntries(IServiceManager& services, const wchar_t* serviceName, IScriptModule& module,
                          bool bService)
{
    if (!RemoveService(services, serviceName, true))
        return E_FAIL;
    const ScriptReplacement replacements[] = {{L"APPID", ZELT_APPID_TEXT}, {nullptr, nullptr}};
    HRESULT hr = UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, true, replacements);
    if (FAILED(hr))
        return hr;
    RegistryKey appIds;
    LONG error = appIds.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegistryKey appId;
    error = appId.CreateKey(appIds.Handle(), ZELT_APPID_TEXT, nullptr, 0, KEY_READ | KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegDeleteValueW(appId.Handle(), L"LocalService");
    if (bService)
    {
        appId.SetText(L"LocalService", serviceName);
        if (!InstallService(services, serviceName))
            return E_FAIL;
    }
    return S_OK;
}

bool InstallService(IServiceManager& services, const wchar_t* serviceName)
{
    if (IsServiceInstalled(services, serviceName))
        return true;
    const std::wstring program = GetProgramPath();
    if (program.empty())
        return false;
    const std::wstring imagePath = L"\"" + program + L"\"";
    CServiceHandle manager;
    if (FAILED(services.OpenManager(SC_MANAGER_ALL_ACCESS, manager)))
    {
        ShowMessage(serviceName, IDS_CANNOT_OPEN_MANAGER, L"Could not open Service Manager");
        return false;
    }
    CServiceHandle service;
    if (FAILED(services.CreateServiceEntry(manager.Get(), serviceName, serviceName, SERVICE_DEMAND_START,
                                           imagePath.c_str(), L"RPCSS\0", service)))
    {
        manager.Reset();
        ShowMessage(serviceName, IDS_CANNOT_CREATE_SERVICE, L"Could not start service");
        return false;
    }
    return true;
}

bool IsServiceInstalled(IServiceManager& services, const wchar_t* serviceName)
{
    CServiceHandle manager;
    if (FAILED(services.OpenManager(SC_MANAGER_ALL_ACCESS, manager)))
        return false;
    CServiceHandle service;
    return SUCCEEDED(services.OpenServiceEntry(manager.Get(), serviceName, SERVICE_QUERY_CONFIG, service));
}

HRESULT RegisterEventSources(const wchar_t* baseName, const wchar_t* serviceName)
{
    const std::wstring program = GetProgramPath();
    if (program.empty())
        return E_FAIL;
    HRESULT hr = RegisterEventLogSource(baseName, program.c_str());
    if (SUCCEEDED(hr) && wcscmp(baseName, serviceName) != 0)
        hr = RegisterEventLogSource(serviceName, program.c_str());
    return hr;
}
