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

HRESULT CSystemServiceManager::ChangePreshutdownTimeout(SC_HANDLE service, DWORD timeoutMs)
{
    SERVICE_PRESHUTDOWN_INFO info{timeoutMs};
    return ResultOf(ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info));
}

HRESULT CSystemServiceManager::SetAccessList(SC_HANDLE service, PSECURITY_DESCRIPTOR descriptor)
{
    return ResultOf(SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor));
}

// Each read returns what fits and, with ERROR_MORE_DATA, a resume handle
// that the next read goes on from; only a buffer too small for even one
// entry is grown (to the size the manager asks for).
HRESULT CSystemServiceManager::ListServices(SC_HANDLE manager, std::vector<std::wstring>& names)
{
    std::vector<BYTE> buffer(m_dwListBufferBytes);
    std::vector<std::wstring> read;
    DWORD resume = 0;
    for (;;)
    {
        DWORD needed = 0;
        DWORD count = 0;
        const BOOL bDone =
            ReadServiceList(manager, buffer.data(), static_cast<DWORD>(buffer.size()), needed, count, resume);
        const DWORD error = bDone ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
            return HResultFromError(error);
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            read.emplace_back(services[i].lpServiceName);
        if (error == ERROR_SUCCESS)
            break;
        if (count == 0)
        {
            if (needed <= buffer.size())
                return HResultFromError(error);
            buffer.resize(needed);
        }
    }
    names.swap(read);
    return S_OK;
}

BOOL CSystemServiceManager::ReadServiceList(SC_HANDLE manager, BYTE* buffer, DWORD bytes, DWORD& needed,
                                            DWORD& count, DWORD& resume)
{
    return EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer, bytes,
                                 &needed, &count, &resume, nullptr);
}

HRESULT CSystemServiceManager::QueryImagePath(SC_HANDLE service, std::wstring& imagePath)
{
    DWORD needed = 0;
    if (!QueryServiceConfigW(service, nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return HResultFromLastError();
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed))
        return HResultFromLastError();
    imagePath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
    return S_OK;
}
