// Removing an instance: stop and delete its service, then (for the whole
// module) the AppID entries.
#include "instance/Messages.h"
#include "instance/ServiceHandle.h"
#include "registrar/RegObject.h"
#include "registrar/RegistryKey.h"
#include "runtime/Result.h"
#include "runtime/ZeltAgentSvcModule.h"

bool CZeltAgentSvcModule::IsServiceInstalled()
{
    ServiceHandle manager;
    if (FAILED(manager.OpenManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)))
        return false;
    ServiceHandle service;
    return SUCCEEDED(service.OpenServiceEntry(manager.Get(), m_serviceName, SERVICE_QUERY_CONFIG));
}

bool CZeltAgentSvcModule::UninstallService()
{
    if (!IsServiceInstalled())
        return true;
    ServiceHandle manager;
    if (FAILED(manager.OpenManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)))
    {
        ShowMessage(m_serviceName, IDS_CANNOT_OPEN_MANAGER, L"Could not open Service Manager");
        return false;
    }
    ServiceHandle service;
    if (FAILED(service.OpenServiceEntry(manager.Get(), m_serviceName, SERVICE_STOP | DELETE)))
    {
        manager.Close();
        ShowMessage(m_serviceName, IDS_CANNOT_OPEN_SERVICE, L"Could not open service");
        return false;
    }
    RequestServiceStop(service.Get());
    const bool bDeleted = DeleteService(service.Get()) != FALSE;
    service.Close();
    manager.Close();
    if (!bDeleted)
        ShowMessage(m_serviceName, IDS_CANNOT_DELETE_SERVICE, L"Could not delete service");
    return bDeleted;
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
