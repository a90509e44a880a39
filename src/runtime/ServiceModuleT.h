// The service layer of the module object: the service name, the status
// record, the choice between service mode and running in place, the service
// entry, the control handler and the run loop.
#pragma once

#include <windows.h>

#include <cwchar>

#include "base/EventLog.h"
#include "base/ExclusiveLock.h"
#include "base/Handles.h"
#include "base/Result.h"
#include "runtime/Module.h"
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
        m_serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    }

    // The run step: service mode when the module's AppID key holds a readable
    // "LocalService", in place otherwise. Returns the registry or dispatcher
    // error, or the result of the run.
    int StartModule(int showCommand)
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
        m_hStatus = RegisterServiceCtrlHandlerExW(m_serviceName, &CServiceModuleT::ServiceControlHandler, nullptr);
        if (m_hStatus == nullptr)
        {
            WriteEventLog(Self(), EventKind::HandlerNotInstalled, L"Handler not installed");
            return;
        }
        RunService();
    }

    // The status reports around the run, once the handler is registered.
    void RunService()
    {
        ReportStartPending();
        // This thread's apartment is its own: the start thread's flag in the
        // module is left to the start thread.
        const HRESULT hrCom = CoInitialize(nullptr);
        const bool bComStarted = SUCCEEDED(hrCom);
        if (!bComStarted && !IsChangedModeTolerated(hrCom))
        {
            // Left in START_PENDING the service could never be stopped: end it.
            ReportStopped(hrCom);
            return;
        }
        ReportProgress();
        this->m_bIdleShutdown = false;
        const HRESULT hr = RunLoop(0);
        if (m_bRunAsService && bComStarted)
            CoUninitialize();
        WriteUnwrittenBadRequests();
        // The record goes first: once STOPPED is out, the process may end
        // before anything else is written.
        WriteEventLog(Self(), EventKind::ServiceStopped, L"Service stopped");
        ReportStopped(hr);
    }

    // Only records and signals: the work of a stop happens on the loop thread.
    // At system shutdown the agent is stopped the same way, so that it gets
    // its line instead of being killed with the process. PRESHUTDOWN comes
    // first, and the service manager waits for the whole stop up to the
    // installed time-out; SHUTDOWN then finds the stop begun (or the service
    // gone) and only reports progress. SHUTDOWN alone (a service manager that
    // sends no PRESHUTDOWN) begins a quick stop, one that fits the seconds
    // Windows gives every service together then. Every control succeeds
    // towards its sender, as with the plain handler.
    DWORD ControlHandler(DWORD control)
    {
        switch (control)
        {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PRESHUTDOWN:
            RequestStop();
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            RequestStop(true);
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
            break;
        default:
            CountBadRequest();
            break;
        }
        return NO_ERROR;
    }

    // Any user may send user-defined controls, and a record for each would
    // let them flood the log: the first is written, later ones are counted,
    // and the first after a minute writes the count (including itself). The
    // handler only counts, reads the clock and, at most once a minute,
    // writes.
    void CountBadRequest()
    {
        InterlockedIncrement(&m_lBadRequests);
        const ULONGLONG now = GetTickCount64();
        if (m_bBadRequestWritten && now - m_badRequestWrittenMs < kBadRequestIntervalMs)
            return;
        WriteBadRequests(InterlockedExchange(&m_lBadRequests, 0), now);
    }

    // At the end of the run: the requests counted since the last record.
    void WriteUnwrittenBadRequests() { WriteBadRequests(InterlockedExchange(&m_lBadRequests, 0), GetTickCount64()); }

    // Remembers the request, reports STOP_PENDING and ends the loop when the
    // loop thread is known; a run that has not reached its loop yet sees the
    // request before it. A stop already requested is only reported again
    // (a SHUTDOWN after the PRESHUTDOWN that began it): its quit is posted
    // or seen already, and a second quit would reach whatever waits for
    // messages on the loop thread during the stop. Nothing is reported once
    // the run has stopped. Only the request that begins the stop decides
    // whether it is quick.
    void RequestStop(bool bQuick = false)
    {
        CExclusiveLock lock(m_statusLock);
        if (m_serviceStatus.dwCurrentState == SERVICE_STOPPED)
            return;
        const bool bFirst = !m_bStopRequested;
        m_bStopRequested = true;
        if (bFirst)
            m_bQuickStop = bQuick;
        ReportStatusLocked(SERVICE_STOP_PENDING);
        if (bFirst && m_dwLoopThreadId != 0)
            PostThreadMessageW(m_dwLoopThreadId, WM_QUIT, 0, 0);
    }

    bool IsStopRequested()
    {
        CExclusiveLock lock(m_statusLock);
        return m_bStopRequested;
    }

    // True when the stop began with SHUTDOWN alone.
    bool IsQuickStop()
    {
        CExclusiveLock lock(m_statusLock);
        return m_bQuickStop;
    }

    void ReportStatus(DWORD state)
    {
        CExclusiveLock lock(m_statusLock);
        ReportStatusLocked(state);
    }

    // While a start or a stop is pending: reports it again with the next
    // checkpoint, so that the service manager sees the step progress.
    void ReportProgress()
    {
        CExclusiveLock lock(m_statusLock);
        const DWORD state = m_serviceStatus.dwCurrentState;
        if (m_bRunAsService && (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING))
            ReportStatusLocked(state);
    }

    // Pre-loop step, message loop, post-loop step. A failing pre-loop step
    // skips both others; another success value than S_OK skips the loop, and
    // so does a stop requested before the loop was entered. A stop requested
    // before the pre-loop step skips all three: no agent is launched.
    HRESULT RunLoop(int showCommand)
    {
        if (IsStopRequested())
            return S_OK;
        const HRESULT hr = Self().PreMessageLoop(showCommand);
        if (FAILED(hr))
            return hr;
        if (hr == S_OK && EnterRunning())
            PumpMessages();
        return Self().ShutdownAgent();
    }

    // The module's own pre-loop work: records the loop thread, registers the
    // class table and, when it registered something, arms the idle monitor.
    HRESULT PrepareMessageLoop(int /*showCommand*/)
    {
        if (m_bRunAsService)
            RecordLoopThread();
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

    // The steps around the message loop; the module class T replaces them
    // with its own (the agent's start and stop).
    HRESULT PreMessageLoop(int showCommand) { return PrepareMessageLoop(showCommand); }
    HRESULT ShutdownAgent() { return this->RevokeClassTable(); }

    // The service manager passes the service's name as the first argument:
    // it names this instance, while the installed command line carries no
    // number. A name that does not fit is not taken.
    void TakeServiceName(DWORD argc, LPWSTR* argv)
    {
        if (argc < 1 || argv == nullptr || argv[0] == nullptr)
            return;
        const size_t length = wcslen(argv[0]);
        if (length == 0 || length >= kServiceNameUnits)
            return;
        wmemcpy(m_serviceName, argv[0], length + 1);
        Self().OnServiceNamed();
    }

    // Called after the service name changed; the module object rebuilds what
    // it derives from the name.
    void OnServiceNamed() {}

    // The plain callbacks of the service table and the handler registration
    // reach the module through the process-wide module pointer.
    static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
    {
        T& module = *static_cast<T*>(g_pModule);
        module.TakeServiceName(argc, argv);
        module.ServiceEntry();
    }

    static constexpr int kServiceNameUnits = 256;

    wchar_t m_serviceName[kServiceNameUnits];
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    SERVICE_STATUS m_serviceStatus{};
    BOOL m_bRunAsService = TRUE;
    DWORD m_dwLoopThreadId = 0;
    // The wait hints of START_PENDING and STOP_PENDING: the worst case of
    // each step. The module class sets the stop's from what its stop does.
    DWORD m_dwStartWaitHintMs = kDefaultWaitHintMs;
    DWORD m_dwStopWaitHintMs = kDefaultWaitHintMs;

    static constexpr DWORD kDefaultWaitHintMs = 5000;
    static constexpr ULONGLONG kBadRequestIntervalMs = 60000;

private:
    T& Self() { return *static_cast<T*>(this); }

    static DWORD WINAPI ServiceControlHandler(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/)
    {
        return static_cast<T*>(g_pModule)->ControlHandler(control);
    }

    // A pending state carries its step's wait hint and a checkpoint that
    // starts at 1 and grows with each report of the same state; the others
    // carry zeros.
    void ReportStatusLocked(DWORD state)
    {
        if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
        {
            m_serviceStatus.dwCheckPoint = m_serviceStatus.dwCurrentState == state ? m_serviceStatus.dwCheckPoint + 1 : 1;
            m_serviceStatus.dwWaitHint = state == SERVICE_START_PENDING ? m_dwStartWaitHintMs : m_dwStopWaitHintMs;
        }
        else
        {
            m_serviceStatus.dwCheckPoint = 0;
            m_serviceStatus.dwWaitHint = 0;
        }
        m_serviceStatus.dwCurrentState = state;
        SetServiceStatus(m_hStatus, &m_serviceStatus);
    }

    void WriteBadRequests(LONG count, ULONGLONG now)
    {
        if (count <= 0)
            return;
        if (count == 1)
            WriteEventLog(Self(), EventKind::BadServiceRequest, L"Bad service request");
        else
            WriteEventLog(Self(), EventKind::BadServiceRequest, L"Bad service request (%ld requests in the last %lu s)",
                          count, static_cast<unsigned long>((now - m_badRequestWrittenMs) / 1000));
        m_bBadRequestWritten = true;
        m_badRequestWrittenMs = now;
    }

    // A stop that came with the handler's registration has reported
    // STOP_PENDING already, which START_PENDING must not follow.
    void ReportStartPending()
    {
        CExclusiveLock lock(m_statusLock);
        m_serviceStatus.dwWin32ExitCode = 0;
        m_serviceStatus.dwCheckPoint = 0;
        m_serviceStatus.dwWaitHint = 0;
        if (!m_bStopRequested)
            ReportStatusLocked(SERVICE_START_PENDING);
    }

    void ReportStopped(HRESULT hr)
    {
        CExclusiveLock lock(m_statusLock);
        m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(hr);
        ReportStatusLocked(SERVICE_STOPPED);
    }

    // Service mode: writes "Service started" and reports RUNNING, unless a
    // stop was requested meanwhile (false: the loop is skipped). In place
    // there is nothing to report.
    bool EnterRunning()
    {
        if (!m_bRunAsService)
            return true;
        CExclusiveLock lock(m_statusLock);
        if (m_bStopRequested)
            return false;
        WriteEventLog(Self(), EventKind::ServiceStarted, L"Service started");
        ReportStatusLocked(SERVICE_RUNNING);
        return true;
    }

    // The loop thread gets its message queue before its id is published, so
    // that a quit posted to that id is never lost.
    void RecordLoopThread()
    {
        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        CExclusiveLock lock(m_statusLock);
        m_dwLoopThreadId = GetCurrentThreadId();
    }

    // A stop can reach the handler before the loop exists: Wine's service
    // manager delivers it while the service is still START_PENDING, before
    // the loop thread is known, and a quit posted then would be lost.
    // Refusing controls until the loop runs would leave a stop that comes
    // during a slow agent launch unanswered; instead the request is
    // remembered and honoured before the loop: the run looks at it before
    // the pre-loop step and again before reporting RUNNING. One lock orders
    // the handler's STOP_PENDING and quit against the service thread's
    // RUNNING and loop thread id, so RUNNING never follows STOP_PENDING and
    // the quit goes only to a thread that has its queue.
    SRWLOCK m_statusLock = SRWLOCK_INIT;
    bool m_bStopRequested = false;
    bool m_bQuickStop = false;

    // Unknown controls counted since the last record, and when that was
    // written. The count is interlocked: the end of the run takes what the
    // handler has left in it.
    LONG volatile m_lBadRequests = 0;
    bool m_bBadRequestWritten = false;
    ULONGLONG m_badRequestWrittenMs = 0;
};
