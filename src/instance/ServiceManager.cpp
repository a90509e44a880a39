#include "instance/ServiceManager.h"

#include "base/Result.h"

namespace {

HRESULT Adopt(SC_HANDLE opened, CServiceHandle& owner)
{
    if (opened == nullptr)
        return HResultFromLastError();
    owner.Reset(opened);
    return S_OK;
}

HRESULT ResultOf(BOOL bDone)
{
    return bDone ? S_OK : HResultFromLastError();
}

}  // namespace

HRESULT CSystemServiceManager::OpenManager(DWORD access, CServiceHandle& manager)
{
    return Adopt(OpenSCManagerW(nullptr, nullptr, access), manager);
}

HRESULT CSystemServiceManager::OpenServiceEntry(SC_HANDLE manager, LPCWSTR name, DWORD access,
                                                CServiceHandle& service)
{
    return Adopt(OpenServiceW(manager, name, access), service);
}

HRESULT CSystemServiceManager::CreateServiceEntry(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName,
                                                  DWORD startType, LPCWSTR imagePath, LPCWSTR dependencies,
                                                  CServiceHandle& service)
{
    return Adopt(CreateServiceW(manager, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
                                SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr, dependencies, nullptr, nullptr),
                 service);
}

HRESULT CSystemServiceManager::SendControl(SC_HANDLE service, DWORD control, SERVICE_STATUS& status)
{
    return ResultOf(ControlService(service, control, &status));
}

HRESULT CSystemServiceManager::QueryStatus(SC_HANDLE service, SERVICE_STATUS& status)
{
    return ResultOf(QueryServiceStatus(service, &status));
}

HRESULT CSystemServiceManager::DeleteEntry(SC_HANDLE service)
{
    return ResultOf(DeleteService(service));
}

HRESULT CSystemServiceManager::ChangeConfiguration(SC_HANDLE service, DWORD startType, LPCWSTR imagePath,
                                                   LPCWSTR displayName)
{
    return ResultOf(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, imagePath, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, displayName));
}

HRESULT CSystemServiceManager::ChangeFailureActions(SC_HANDLE service, SERVICE_FAILURE_ACTIONSW& actions)
{
    return ResultOf(ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions));
}
