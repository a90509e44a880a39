// Removing an instance: stop and delete its service, then (for the whole
// module) the AppID entries.
#include "base/Result.h"
#include "instance/Messages.h"
#include "instance/ServiceHandle.h"
#include "registrar/RegObject.h"
#include "registrar/RegistryKey.h"
#include "runtime/ZeltAgentSvcModule.h"

bool CZeltAgentSvcModule::IsServiceInstalled()
{
    ServiceHandle manager;
    if (FAILED(manager.OpenManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)))
        return false;
    ServiceHandle service;
    return SUCCEEDED(service.OpenServiceEntry(manager.Get(), m_serviceName, SERVICE_QUERY_CONFIG));
}

namespace {

const HRESULT kServiceDoesNotExist = HResultFromError(ERROR_SERVICE_DOES_NOT_EXIST);
// A name with a slash or backslash: no service can carry it.
const HRESULT kServiceNameInvalid = HResultFromError(ERROR_INVALID_NAME);
constexpr DWORD kReplaceBoundMs = 30000;
constexpr DWORD kPollMs = 50;

}  // namespace

bool CZeltAgentSvcModule::UninstallService()
{
    return RemoveService(false);
}

// Only a service that does not exist (or whose name no service can carry)
// counts as removed without work: any other failure to reach it is shown,
// and the removal fails. A replacement
// (the reinstall) waits until the old service is gone; a plain removal only
// asks it to stop and marks it for deletion.
bool CZeltAgentSvcModule::RemoveService(bool bReplace)
{
    ServiceHandle manager;
    if (FAILED(manager.OpenManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)))
    {
        ShowMessage(m_serviceName, IDS_CANNOT_OPEN_MANAGER, L"Could not open Service Manager");
        return false;
    }
    ServiceHandle service;
    const DWORD access = SERVICE_STOP | DELETE | (bReplace ? SERVICE_QUERY_STATUS : 0);
    const HRESULT hr = service.OpenServiceEntry(manager.Get(), m_serviceName, access);
    if (hr == kServiceDoesNotExist || hr == kServiceNameInvalid)
        return true;
    if (FAILED(hr))
    {
        ShowMessage(m_serviceName, IDS_CANNOT_OPEN_SERVICE, L"Could not open service");
        return false;
    }
    if (bReplace)
        return ReplaceService(manager.Get(), service);
    RequestServiceStop(service.Get());
    const bool bDeleted = DeleteService(service.Get()) != FALSE;
    service.Close();
    manager.Close();
    if (!bDeleted)
        ShowMessage(m_serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service");
    return bDeleted;
}

// Stops the old service and waits for STOPPED before deleting it, so that a
// stop that does not complete leaves it installed and not marked; then waits
// until the service manager has forgotten it, so that the name is free for
// the new service. An entry already marked for deletion is waited for alike.
bool CZeltAgentSvcModule::ReplaceService(SC_HANDLE manager, ServiceHandle& service)
{
    if (!WaitForServiceStopped(service.Get()))
    {
        ShowMessage(m_serviceName, IDS_CANNOT_STOP_SERVICE, L"Could not stop service");
        return false;
    }
    if (!DeleteService(service.Get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
    {
        ShowMessage(m_serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service");
        return false;
    }
    service.Close();  // the service manager removes the entry once no handle is open
    if (!WaitForServiceForgotten(manager))
    {
        ShowMessage(m_serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service");
        return false;
    }
    return true;
}

// Asks for the stop while the service runs (again, if it was still starting
// and could not take it yet) until it reports STOPPED; false when the stop is
// refused for another reason or does not complete within the bound.
bool CZeltAgentSvcModule::WaitForServiceStopped(SC_HANDLE service)
{
    const ULONGLONG deadline = GetTickCount64() + kReplaceBoundMs;
    for (;;)
    {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status))
            return false;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return true;
        if (status.dwCurrentState != SERVICE_STOP_PENDING &&
            !g_serviceManagerCalls.pfnControl(service, SERVICE_CONTROL_STOP, &status))
        {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE)
                return false;
        }
        if (GetTickCount64() > deadline)
            return false;
        Sleep(kPollMs);
    }
}

bool CZeltAgentSvcModule::WaitForServiceForgotten(SC_HANDLE manager)
{
    const ULONGLONG deadline = GetTickCount64() + kReplaceBoundMs;
    for (;;)
    {
        ServiceHandle probe;
        if (probe.OpenServiceEntry(manager, m_serviceName, SERVICE_QUERY_STATUS) == kServiceDoesNotExist)
            return true;
        probe.Close();
        if (GetTickCount64() > deadline)
            return false;
        Sleep(kPollMs);
    }
}

// Asks the service to stop without waiting for it. A service that is not
// running, or is already stopping, needs no message.
void CZeltAgentSvcModule::RequestServiceStop(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    if (g_serviceManagerCalls.pfnControl(service, SERVICE_CONTROL_STOP, &status))
        return;
    const DWORD error = GetLastError();
    const bool bAccepted = error == ERROR_SERVICE_NOT_ACTIVE ||
                           (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING);
    if (!bAccepted)
        ShowMessage(m_serviceName, IDS_CANNOT_STOP_SERVICE, L"Could not stop service");
}

HRESULT CZeltAgentSvcModule::RemoveAppId()
{
    if (!UninstallService())
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
    return UpdateRegistryFromScript(*this, IDR_ZELTAGENTSVC, false, replacements);
}
