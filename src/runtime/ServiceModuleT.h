// The service layer of the module object: the service name, the status
// record, the choice between service mode and running in place, the service
// entry, the control handler and the run loop.
#pragma once

#include <windows.h>

#include "runtime/EventLog.h"
#include "runtime/Handles.h"
#include "runtime/Module.h"
#include "runtime/Result.h"
#include "runtime/ServiceMode.h"

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

    // The run step: service mode when the module's AppID key holds a readable
    // "LocalService", in place otherwise. Returns the registry or dispatcher
    // error, or the result of the run. Virtual so that tests of the command
    // line can stand in for it.
    virtual int StartModule(int showCommand)
    {
        bool bRunAsService = false;
        const LONG error = ReadServiceMode(T::kAppIdText, bRunAsService);
        if (error != ERROR_SUCCESS)
        {
            m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(error);
            return error;
        }
        m_bRunAsService = bRunAsService;
        if (m_bRunAsService)
        {
            SERVICE_TABLE_ENTRYW table[] = {{m_serviceName, &CServiceModuleT::ServiceMain}, {nullptr, nullptr}};
            if (!StartServiceCtrlDispatcherW(table))
                m_serviceStatus.dwWin32ExitCode = GetLastError();
            return static_cast<int>(m_serviceStatus.dwWin32ExitCode);
        }
        const HRESULT hr = RunLoop(showCommand);
        m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(hr);
        return hr;
    }

    // The body of the service, on the thread the dispatcher creates for it.
    void ServiceEntry()
    {
        m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
        m_hStatus = RegisterServiceCtrlHandlerW(m_serviceName, &CServiceModuleT::ServiceControlHandler);
        if (m_hStatus == nullptr)
        {
            WriteEventLog(Self(), L"Handler not installed");
            return;
        }
        ReportStatus(SERVICE_START_PENDING);
        m_serviceStatus.dwWin32ExitCode = 0;
        m_serviceStatus.dwCheckPoint = 0;
        m_serviceStatus.dwWaitHint = 0;

        // This thread's apartment is its own: the start thread's flag in the
        // module is left to the start thread.
        const HRESULT hrCom = CoInitialize(nullptr);
        const bool bComStarted = SUCCEEDED(hrCom);
        if (!bComStarted && !IsChangedModeTolerated(hrCom))
        {
            // Left in START_PENDING the service could never be stopped: end it.
            m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(hrCom);
            ReportStatus(SERVICE_STOPPED);
            return;
        }
        this->m_bIdleShutdown = false;
        m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(RunLoop(0));
        if (m_bRunAsService && bComStarted)
            CoUninitialize();
        ReportStatus(SERVICE_STOPPED);
        WriteEventLog(Self(), L"Service stopped");
    }

    // Only records and signals: the work of a stop happens on the loop thread.
    void ControlHandler(DWORD control)
    {
        switch (control)
        {
        case SERVICE_CONTROL_STOP:
            RequestStop();
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
        case SERVICE_CONTROL_SHUTDOWN:
            break;
        default:
            WriteEventLog(Self(), L"Bad service request");
            break;
        }
    }

    void RequestStop()
    {
        ReportStatus(SERVICE_STOP_PENDING);
        PostThreadMessageW(m_dwLoopThreadId, WM_QUIT, 0, 0);
    }

    void ReportStatus(DWORD state)
    {
        m_serviceStatus.dwCurrentState = state;
        SetServiceStatus(m_hStatus, &m_serviceStatus);
    }

    // Pre-loop step, message loop, post-loop step. A failing pre-loop step
    // skips both others; another success value than S_OK skips the loop.
    HRESULT RunLoop(int showCommand)
    {
        const HRESULT hr = PreMessageLoop(showCommand);
        if (FAILED(hr))
            return hr;
        if (hr == S_OK)
        {
            if (m_bRunAsService)
            {
                WriteEventLog(Self(), L"Service started");
                ReportStatus(SERVICE_RUNNING);
            }
            PumpMessages();
        }
        return ShutdownAgent();
    }

    // The module's own pre-loop work: records the loop thread, registers the
    // class table and, when it registered something, arms the idle monitor.
    HRESULT PrepareMessageLoop(int /*showCommand*/)
    {
        if (m_bRunAsService)
            m_dwLoopThreadId = GetCurrentThreadId();
        const HRESULT hr = this->RegisterClassTable(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE);
        if (hr != S_OK)
        {
            this->m_bIdleShutdown = false;
            return hr;
        }
        if (this->m_bIdleShutdown)
        {
            CKernelHandle monitor(this->StartIdleMonitor());
            if (!monitor)
                return E_FAIL;
        }
        return hr;
    }

    void PumpMessages()
    {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
        {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    // The steps around the message loop; the module object replaces them
    // with the agent's start and stop.
    virtual HRESULT PreMessageLoop(int showCommand) { return PrepareMessageLoop(showCommand); }
    virtual HRESULT ShutdownAgent() { return this->RevokeClassTable(); }

    static constexpr int kServiceNameUnits = 256;

    wchar_t m_serviceName[kServiceNameUnits];
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    SERVICE_STATUS m_serviceStatus{};
    BOOL m_bRunAsService = TRUE;
    DWORD m_dwLoopThreadId = 0;

private:
    T& Self() { return *static_cast<T*>(this); }

    // The plain callbacks of the service table and the handler registration
    // reach the module through the process-wide module pointer.
    static void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) { static_cast<T*>(g_pModule)->ServiceEntry(); }
    static void WINAPI ServiceControlHandler(DWORD control) { static_cast<T*>(g_pModule)->ControlHandler(control); }
};
