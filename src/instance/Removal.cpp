#include "instance/Removal.h"

#include "base/Result.h"
#include "instance/Messages.h"
#include "registrar/RegObject.h"
#include "registrar/RegistryKey.h"
#include "resources/Guids.h"
#include "resources/ResourceIds.h"

namespace {

const HRESULT kServiceDoesNotExist = HResultFromError(ERROR_SERVICE_DOES_NOT_EXIST);
// A name with a slash or backslash: no service can carry it.
const HRESULT kServiceNameInvalid = HResultFromError(ERROR_INVALID_NAME);
const HRESULT kServiceMarkedForDelete = HResultFromError(ERROR_SERVICE_MARKED_FOR_DELETE);
const HRESULT kServiceNotActive = HResultFromError(ERROR_SERVICE_NOT_ACTIVE);
const HRESULT kServiceCannotAcceptControl = HResultFromError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
const HRESULT kWaitTimedOut = HResultFromError(ERROR_TIMEOUT);
constexpr DWORD kReplaceBoundMs = 30000;
constexpr DWORD kPollMs = 50;

// Asks for the stop while the service runs (again, if it was still starting
// and could not take it yet) until it reports STOPPED; the error when the
// stop is refused for another reason or does not complete within the bound.
HRESULT WaitForServiceStopped(IServiceManager& services, SC_HANDLE service)
{
    const ULONGLONG deadline = GetTickCount64() + kReplaceBoundMs;
    for (;;)
    {
        SERVICE_STATUS status{};
        HRESULT hr = services.QueryStatus(service, status);
        if (FAILED(hr))
            return hr;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return S_OK;
        if (status.dwCurrentState != SERVICE_STOP_PENDING)
        {
            hr = services.SendControl(service, SERVICE_CONTROL_STOP, status);
            if (FAILED(hr) && hr != kServiceCannotAcceptControl && hr != kServiceNotActive)
                return hr;
        }
        if (GetTickCount64() > deadline)
            return kWaitTimedOut;
        Sleep(kPollMs);
    }
}

bool WaitForServiceForgotten(IServiceManager& services, SC_HANDLE manager, const wchar_t* serviceName)
{
    const ULONGLONG deadline = GetTickCount64() + kReplaceBoundMs;
    for (;;)
    {
        CServiceHandle probe;
        if (services.OpenServiceEntry(manager, serviceName, SERVICE_QUERY_STATUS, probe) == kServiceDoesNotExist)
            return true;
        probe.Reset();
        if (GetTickCount64() > deadline)
            return false;
        Sleep(kPollMs);
    }
}

// Stops the old service and waits for STOPPED before deleting it, so that a
// stop that does not complete leaves it installed and not marked; then waits
// until the service manager has forgotten it, so that the name is free for
// the new service. An entry already marked for deletion is waited for alike.
HRESULT ReplaceService(IServiceManager& services, const wchar_t* serviceName, SC_HANDLE manager,
                       CServiceHandle& service)
{
    HRESULT hr = WaitForServiceStopped(services, service.Get());
    if (FAILED(hr))
        return ShowFailure(serviceName, IDS_CANNOT_STOP_SERVICE, L"Could not stop service", hr);
    hr = services.DeleteEntry(service.Get());
    if (FAILED(hr) && hr != kServiceMarkedForDelete)
        return ShowFailure(serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service", hr);
    service.Reset();  // the service manager removes the entry once no handle is open
    if (!WaitForServiceForgotten(services, manager, serviceName))
        return ShowFailure(serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service", kWaitTimedOut);
    return S_OK;
}

// Asks the service to stop without waiting for it. A service that is not
// running, or is already stopping, needs no message.
void RequestServiceStop(IServiceManager& services, const wchar_t* serviceName, SC_HANDLE service)
{
    SERVICE_STATUS status{};
    const HRESULT hr = services.SendControl(service, SERVICE_CONTROL_STOP, status);
    if (SUCCEEDED(hr))
        return;
    const bool bAccepted = hr == kServiceNotActive ||
                           (hr == kServiceCannotAcceptControl && status.dwCurrentState == SERVICE_STOP_PENDING);
    if (!bAccepted)
        ShowMessage(serviceName, IDS_CANNOT_STOP_SERVICE, L"Could not stop service", hr);
}

}  // namespace

HRESULT UninstallService(IServiceManager& services, const wchar_t* serviceName)
{
    return RemoveService(services, serviceName, false);
}

// Only a service that does not exist (or whose name no service can carry)
// counts as removed without work: any other failure to reach it is shown,
// and the removal fails.
HRESULT RemoveService(IServiceManager& services, const wchar_t* serviceName, bool bReplace)
{
    CServiceHandle manager;
    HRESULT hr = services.OpenManager(SC_MANAGER_ALL_ACCESS, manager);
    if (FAILED(hr))
        return ShowFailure(serviceName, IDS_CANNOT_OPEN_MANAGER, L"Could not open Service Manager", hr);
    CServiceHandle service;
    const DWORD access = SERVICE_STOP | DELETE | (bReplace ? SERVICE_QUERY_STATUS : 0);
    hr = services.OpenServiceEntry(manager.Get(), serviceName, access, service);
    if (hr == kServiceDoesNotExist || hr == kServiceNameInvalid)
        return S_OK;
    if (FAILED(hr))
        return ShowFailure(serviceName, IDS_CANNOT_OPEN_SERVICE, L"Could not open service", hr);
    if (bReplace)
        return ReplaceService(services, serviceName, manager.Get(), service);
    RequestServiceStop(services, serviceName, service.Get());
    hr = services.DeleteEntry(service.Get());
    service.Reset();
    manager.Reset();
    if (FAILED(hr))
        return ShowFailure(serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service", hr);
    return S_OK;
}

HRESULT RemoveAppId(IServiceManager& services, const wchar_t* serviceName, IScriptModule& module)
{
    if (FAILED(UninstallService(services, serviceName)))
        return E_FAIL;
    RegistryKey appIds;
    LONG error = appIds.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegistryKey appId;
    error = appId.OpenKey(appIds.Handle(), ZELT_APPID_TEXT, KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegDeleteValueW(appId.Handle(), L"LocalService");
    const ScriptReplacement replacements[] = {{L"APPID", ZELT_APPID_TEXT}, {nullptr, nullptr}};
    return UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, false, replacements);
}
