// Owner of one service-manager handle (manager or service), with the
// configuration changes installation makes through it.
#pragma once

#include <windows.h>

// The failure-actions writer, replaceable by tests: Wine accepts failure
// actions but does not store them.
using ChangeServiceConfig2Function = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);
extern ChangeServiceConfig2Function g_pfnChangeServiceConfig2;

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
