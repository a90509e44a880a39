// The calls that installation and removal make to the service control
// manager, as one narrow interface. The system's implementation serves the
// program; a test derives from it and makes the one call it needs fail
// (Wine grants every right and accepts every stop) or observes it (Wine
// does not keep failure actions).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/Handles.h"

// Each call returns S_OK or the HRESULT of the system's error; a handle is
// given to its owner only on success.
class IServiceManager
{
public:
    virtual ~IServiceManager() = default;

    // The local computer's active database.
    virtual HRESULT OpenManager(DWORD access, CServiceHandle& manager) = 0;
    virtual HRESULT OpenServiceEntry(SC_HANDLE manager, LPCWSTR name, DWORD access, CServiceHandle& service) = 0;
    // A service of its own process, with every right on the new handle and
    // normal error control; `dependencies` is a list of NUL-ended names.
    virtual HRESULT CreateServiceEntry(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD startType,
                                       LPCWSTR imagePath, LPCWSTR dependencies, CServiceHandle& service) = 0;
    // `status` receives the service's state, also when the control fails.
    virtual HRESULT SendControl(SC_HANDLE service, DWORD control, SERVICE_STATUS& status) = 0;
    virtual HRESULT QueryStatus(SC_HANDLE service, SERVICE_STATUS& status) = 0;
    virtual HRESULT DeleteEntry(SC_HANDLE service) = 0;
    // Changes the start type, image path and display name; SERVICE_NO_CHANGE
    // or null leaves an item as it is.
    virtual HRESULT ChangeConfiguration(SC_HANDLE service, DWORD startType, LPCWSTR imagePath,
                                        LPCWSTR displayName) = 0;
    virtual HRESULT ChangeFailureActions(SC_HANDLE service, SERVICE_FAILURE_ACTIONSW& actions) = 0;
    // How long the service manager waits for the service after PRESHUTDOWN.
    virtual HRESULT ChangePreshutdownTimeout(SC_HANDLE service, DWORD timeoutMs) = 0;
    // Replaces the access list (DACL) of the service's security descriptor.
    virtual HRESULT SetAccessList(SC_HANDLE service, PSECURITY_DESCRIPTOR descriptor) = 0;
    // The names of every Win32 service the manager knows.
    virtual HRESULT ListServices(SC_HANDLE manager, std::vector<std::wstring>& names) = 0;
    // The service's command line as the service manager starts it.
    virtual HRESULT QueryImagePath(SC_HANDLE service, std::wstring& imagePath) = 0;
};

class CSystemServiceManager : public IServiceManager
{
public:
    HRESULT OpenManager(DWORD access, CServiceHandle& manager) override;
    HRESULT OpenServiceEntry(SC_HANDLE manager, LPCWSTR name, DWORD access, CServiceHandle& service) override;
    HRESULT CreateServiceEntry(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD startType,
                               LPCWSTR imagePath, LPCWSTR dependencies, CServiceHandle& service) override;
    HRESULT SendControl(SC_HANDLE service, DWORD control, SERVICE_STATUS& status) override;
    HRESULT QueryStatus(SC_HANDLE service, SERVICE_STATUS& status) override;
    HRESULT DeleteEntry(SC_HANDLE service) override;
    HRESULT ChangeConfiguration(SC_HANDLE service, DWORD startType, LPCWSTR imagePath, LPCWSTR displayName) override;
    HRESULT ChangeFailureActions(SC_HANDLE service, SERVICE_FAILURE_ACTIONSW& actions) override;
    HRESULT ChangePreshutdownTimeout(SC_HANDLE service, DWORD timeoutMs) override;
    HRESULT SetAccessList(SC_HANDLE service, PSECURITY_DESCRIPTOR descriptor) override;
    HRESULT ListServices(SC_HANDLE manager, std::vector<std::wstring>& names) override;
    HRESULT QueryImagePath(SC_HANDLE service, std::wstring& imagePath) override;

    // The size of each read of the service list: a list longer than one read
    // is taken in several, each going on where the last one ended.
    DWORD m_dwListBufferBytes = kListBufferBytes;
    static constexpr DWORD kListBufferBytes = 64 * 1024;

protected:
    // One read of the Win32 services from `resume` on (EnumServicesStatusExW
    // with process information). Wine returns the whole list or nothing; a
    // test replaces the read with one that returns a part, as Windows does.
    virtual BOOL ReadServiceList(SC_HANDLE manager, BYTE* buffer, DWORD bytes, DWORD& needed, DWORD& count,
                                 DWORD& resume);
};
