#include "instance/ServiceHandle.h"

#include "base/Result.h"

const ServiceManagerCalls kSystemServiceManagerCalls = {&OpenSCManagerW, &OpenServiceW, &ControlService,
                                                        &ChangeServiceConfig2W};
ServiceManagerCalls g_serviceManagerCalls = kSystemServiceManagerCalls;

HRESULT ServiceHandle::OpenManager(LPCWSTR machineName, LPCWSTR databaseName, DWORD access)
{
    if (m_handle != nullptr)
    {
        if (!CloseServiceHandle(m_handle))
            return HResultFromLastError();
        m_handle = nullptr;
    }
    m_handle = g_serviceManagerCalls.pfnOpenManager(machineName, databaseName, access);
    return m_handle != nullptr ? S_OK : HResultFromLastError();
}

HRESULT ServiceHandle::OpenServiceEntry(SC_HANDLE manager, LPCWSTR serviceName, DWORD access)
{
    SC_HANDLE service = g_serviceManagerCalls.pfnOpenService(manager, serviceName, access);
    if (service == nullptr)
        return HResultFromLastError();
    Close();
    m_handle = service;
    return S_OK;
}

HRESULT ServiceHandle::SetImagePath(LPCWSTR imagePath)
{
    return ChangeConfig(SERVICE_NO_CHANGE, imagePath, nullptr);
}

HRESULT ServiceHandle::SetDisplayName(LPCWSTR displayName)
{
    return ChangeConfig(SERVICE_NO_CHANGE, nullptr, displayName);
}

HRESULT ServiceHandle::SetStartType(DWORD startType)
{
    return ChangeConfig(startType, nullptr, nullptr);
}

HRESULT ServiceHandle::SetFailureActions(DWORD count, SC_ACTION* actions)
{
    if (m_handle == nullptr)
        return E_HANDLE;
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = 0;
    failureActions.cActions = count;
    failureActions.lpsaActions = actions;
    if (!g_serviceManagerCalls.pfnChangeConfig2(m_handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions))
        return HResultFromLastError();
    return S_OK;
}

void ServiceHandle::Close()
{
    if (m_handle != nullptr)
    {
        CloseServiceHandle(m_handle);
        m_handle = nullptr;
    }
}

// Changes one item; every other item is left as it is.
HRESULT ServiceHandle::ChangeConfig(DWORD startType, LPCWSTR imagePath, LPCWSTR displayName)
{
    if (m_handle == nullptr)
        return E_HANDLE;
    if (!ChangeServiceConfigW(m_handle, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, imagePath, nullptr,
                              nullptr, nullptr, nullptr, nullptr, displayName))
        return HResultFromLastError();
    return S_OK;
}
