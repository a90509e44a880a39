// The service layer of the module object: the service name, the status
// record and the choice between service mode and running in place.
#pragma once

#include <windows.h>

#include "runtime/Module.h"
#include "runtime/Result.h"

template <class T, UINT t_nServiceNameId>
class CServiceModuleT : public CExeModuleT<T>
{
public:
    CServiceModuleT()
    {
        m_serviceName[0] = L'\0';
        const HINSTANCE resources = g_pBaseRecord != nullptr ? g_pBaseRecord->m_hInstResource : GetModuleHandleW(nullptr);
        LoadStringW(resources, t_nServiceNameId, m_serviceName, kServiceNameUnits);
        m_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        m_serviceStatus.dwCurrentState = SERVICE_STOPPED;
        m_serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    }

    // The run step. Virtual so that tests of the command line can stand in for it.
    virtual int StartModule(int /*showCommand*/)
    {
        // The run step is not part of this build yet: refuse rather than pretend.
        m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(E_NOTIMPL);
        return E_NOTIMPL;
    }

    static constexpr int kServiceNameUnits = 256;

    wchar_t m_serviceName[kServiceNameUnits];
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    SERVICE_STATUS m_serviceStatus{};
    BOOL m_bRunAsService = TRUE;
    DWORD m_dwLoopThreadId = 0;
};
