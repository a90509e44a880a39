// Owner of one service-manager handle (manager or service), with the
// configuration changes installation makes through it.
#pragma once

#include <windows.h>

// The service-manager calls whose failures Wine cannot produce (it grants
// every right and accepts every stop) or whose effect it does not keep (the
// failure actions). Tests replace them; the program uses the system's.
struct ServiceManagerCalls
{
    decltype(&OpenSCManagerW) pfnOpenManager;
    decltype(&OpenServiceW) pfnOpenService;
    decltype(&ControlService) pfnControl;
    decltype(&ChangeServiceConfig2W) pfnChangeConfig2;
};
extern ServiceManagerCalls g_serviceManagerCalls;
extern const ServiceManagerCalls kSystemServiceManagerCalls;

class ServiceHandle
{
public:
    ServiceHandle() noexcept = default;
    ~ServiceHandle() { Close(); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    HRESULT OpenManager(LPCWSTR machineName, LPCWSTR databaseName, DWORD access);
    HRESULT OpenServiceEntry(SC_HANDLE manager, LPCWSTR serviceName, DWORD access);
    HRESULT SetImagePath(LPCWSTR imagePath);
    HRESULT SetDisplayName(LPCWSTR displayName);
    HRESULT SetStartType(DWORD startType);
    HRESULT SetFailureActions(DWORD count, SC_ACTION* actions);
    void Close();

    // Takes over a handle opened elsewhere (a service just created).
    void Attach(SC_HANDLE handle) noexcept
    {
        Close();
        m_handle = handle;
    }

    SC_HANDLE Get() const noexcept { return m_handle; }

private:
    HRESULT ChangeConfig(DWORD startType, LPCWSTR imagePath, LPCWSTR displayName);

    SC_HANDLE m_handle = nullptr;
};
