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
constexpr DWORD kReplaceBoundMs = 30000;
constexpr DWORD kPollMs = 50;

// Asks for the stop while the service runs (again, if it was still starting
// and could not take it yet) until it reports STOPPED; false when the stop is
// refused for another reason or does not complete within the bound.
bool WaitForServiceStopped(IServiceManager& services, SC_HANDLE service)
{
    const ULONGLONG deadline = GetTickCount64() + kReplaceBoundMs;
    for (;;)
    {
        SERVICE_STATUS status{};
        if (FAILED(services.QueryStatus(service, status)))
            return false;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return true;
        if (status.dwCurrentState != SERVICE_STOP_PENDING)
        {
            const HRESULT hr = services.SendControl(service, SERVICE_CONTROL_STOP, status);
            if (FAILED(hr) && hr != kServiceCannotAcceptControl && hr != kServiceNotActive)
                return false;
        }
        if (GetTickCount64() > deadline)
            return false;
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
bool ReplaceService(IServiceManager& services, const wchar_t* serviceName, SC_HANDLE manager,
                    CServiceHandle& service)
{
    if (!WaitForServiceStopped(services, service.Get()))
    {
        ShowMessage(serviceName, IDS_CANNOT_STOP_SERVICE, L"Could not stop service");
        return false;
    }
    const HRESULT hr = services.DeleteEntry(service.Get());
    if (FAILED(hr) && hr != kServiceMarkedForDelete)
    {
        ShowMessage(serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service");
        return false;
    }
    service.Reset();  // the service manager removes the entry once no handle is open
    if (!WaitForServiceForgotten(services, manager, serviceName))
    {
        ShowMessage(serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service");
        return false;
    }
    return true;
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
        ShowMessage(serviceName, IDS_CANNOT_STOP_SERVICE, L"Could not stop service");
}

}  // namespace

bool UninstallService(IServiceManager& services, const wchar_t* serviceName)
{
    return RemoveService(services, serviceName, false);
}

// Only a service that does not exist (or whose name no service can carry)
// counts as removed without work: any other failure to reach it is shown,
// and the removal fails.
bool RemoveService(IServiceManager& services, const wchar_t* serviceName, bool bReplace)
{
    CServiceHandle manager;
    if (FAILED(services.OpenManager(SC_MANAGER_ALL_ACCESS, manager)))
    {
        ShowMessage(serviceName, IDS_CANNOT_OPEN_MANAGER, L"Could not open Service Manager");
        return false;
    }
    CServiceHandle service;
    const DWORD access = SERVICE_STOP | DELETE | (bReplace ? SERVICE_QUERY_STATUS : 0);
    const HRESULT hr = services.OpenServiceEntry(manager.Get(), serviceName, access, service);
    if (hr == kServiceDoesNotExist || hr == kServiceNameInvalid)
        return true;
    if (FAILED(hr))
    {
        ShowMessage(serviceName, IDS_CANNOT_OPEN_SERVICE, L"Could not open service");
        return false;
    }
    if (bReplace)
        return ReplaceService(services, serviceName, manager.Get(), service);
    RequestServiceStop(services, serviceName, service.Get());
    const bool bDeleted = SUCCEEDED(services.DeleteEntry(service.Get()));
    service.Reset();
    manager.Reset();
    if (!bDeleted)
        ShowMessage(serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service");
    return bDeleted;
}

HRESULT RemoveAppId(IServiceManager& services, const wchar_t* serviceName, IScriptModule& module)
{
    if (!UninstallService(services, serviceName))
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
