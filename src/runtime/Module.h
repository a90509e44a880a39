// The base layers of the module object: the module record and its virtual
// operations (CModule), the class table (CModuleT) and the executable server
// layer with its lock count and idle monitor (CExeModuleT).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <objidl.h>

#include "registrar/RegistrarBase.h"
#include "runtime/ModuleRecords.h"

// A termination callback; the list is walked and freed at termination.
struct TerminationCallback
{
    void(WINAPI* pfn)(void* argument);
    void* argument;
    TerminationCallback* pNext;
};

struct ModuleRecord
{
    UINT m_cbSize;  // 0 while the record is not initialised
    LONG m_lockCount;
    TerminationCallback* m_pTermination;
    CRITICAL_SECTION m_csLock;
};

class CModule : public IScriptModule
{
public:
    CModule();
    virtual ~CModule();
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;

    virtual LONG LockModule();
    virtual LONG UnlockModule();
    virtual LONG ModuleLockCount();
    virtual HRESULT GetInterfaceTable(IGlobalInterfaceTable** ppTable);
    // The program's image as the base record holds it.
    HINSTANCE GetModuleInstance() override;

    ModuleRecord m_record;
    IGlobalInterfaceTable* m_pInterfaceTable = nullptr;

protected:
    // Runs the termination list, releases the interface table and the record
    // lock; a record already terminated is left alone.
    void TerminateRecord();
};

template <class T>
class CModuleT : public CModule
{
public:
    // Registers every class object of the class table; S_FALSE when the table
    // holds nothing to register.
    HRESULT RegisterClassTable(DWORD context, DWORD flags)
    {
        CComRecord* record = g_pComRecord;
        if (record == nullptr || record->m_cbSize == 0)
            return E_INVALIDARG;
        HRESULT hr = S_FALSE;
        for (ClassEntry** pp = record->m_ppClassBegin; pp < record->m_ppClassEnd && SUCCEEDED(hr); ++pp)
        {
            if (*pp != nullptr)
                hr = RegisterClassObject(**pp, context, flags);
        }
        return hr;
    }

    HRESULT RevokeClassTable()
    {
        CComRecord* record = g_pComRecord;
        if (record == nullptr || record->m_cbSize == 0)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        for (ClassEntry** pp = record->m_ppClassBegin; pp < record->m_ppClassEnd && hr == S_OK; ++pp)
        {
            if (*pp != nullptr && (*pp)->dwCookie != 0)
                hr = CoRevokeClassObject((*pp)->dwCookie);
        }
        return hr;
    }

protected:
    // Calls each class entry's start or end hook.
    static void NotifyClassTable(bool bStarting)
    {
        CComRecord* record = g_pComRecord;
        if (record == nullptr)
            return;
        for (ClassEntry** pp = record->m_ppClassBegin; pp < record->m_ppClassEnd; ++pp)
        {
            if (*pp != nullptr && (*pp)->pfnStartEnd != nullptr)
                (*pp)->pfnStartEnd(bStarting);
        }
    }

private:
    static HRESULT RegisterClassObject(ClassEntry& entry, DWORD context, DWORD flags)
    {
        if (entry.pfnFactory == nullptr)
            return S_OK;
        IUnknown* object = nullptr;
        HRESULT hr = entry.pfnFactory(entry.pfnCreate, IID_IUnknown, reinterpret_cast<void**>(&object));
        if (SUCCEEDED(hr))
        {
            hr = CoRegisterClassObject(*entry.pClassId, object, context, flags, &entry.dwCookie);
            object->Release();
        }
        return hr;
    }
};

// True when a CoInitialize failure may be tolerated: the thread already has a
// multi-threaded apartment because the .NET runtime is loaded.
bool IsChangedModeTolerated(HRESULT hr);

template <class T>
class CExeModuleT : public CModuleT<T>
{
public:
    CExeModuleT()
    {
        const HRESULT hr = CoInitialize(nullptr);
        if (SUCCEEDED(hr))
            m_bComStarted = true;
        else if (!IsChangedModeTolerated(hr))
        {
            g_bInitFailed = true;
            return;
        }
        CModuleT<T>::NotifyClassTable(true);
    }

    ~CExeModuleT() override { TerminateModule(); }

    // In place, the last unlock either arms the idle monitor or ends the
    // message loop of the start thread; in service mode it only counts.
    LONG UnlockModule() override
    {
        const LONG count = InterlockedDecrement(&this->m_record.m_lockCount);
        if (count == 0 && !static_cast<T*>(this)->m_bRunAsService)
        {
            if (m_bIdleShutdown)
            {
                m_bRecentActivity = true;
                SetEvent(m_hIdleEvent);
            }
            else
            {
                PostThreadMessageW(m_dwStartThreadId, WM_QUIT, 0, 0);
            }
        }
        return count;
    }

    // Starts the thread that ends the process after m_dwIdleTimeout of no
    // locks; returns its handle (not closed by anyone) or null.
    HANDLE StartIdleMonitor()
    {
        m_hIdleEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (m_hIdleEvent == nullptr)
            return nullptr;
        DWORD threadId = 0;
        HANDLE thread = CreateThread(nullptr, 0, &CExeModuleT::IdleMonitorThread, this, 0, &threadId);
        if (thread == nullptr)
        {
            CloseHandle(m_hIdleEvent);
            m_hIdleEvent = nullptr;
        }
        return thread;
    }

    // The common tail of destruction and of a construction that fails part-way.
    void TerminateModule()
    {
        CModuleT<T>::NotifyClassTable(false);
        this->TerminateRecord();
        if (g_pComRecord != nullptr)
            g_pComRecord->Terminate();
        if (m_bComStarted)
        {
            m_bComStarted = false;
            CoUninitialize();
        }
    }

    DWORD m_dwStartThreadId = GetCurrentThreadId();
    HANDLE m_hIdleEvent = nullptr;
    DWORD m_dwIdleTimeout = 5000;
    DWORD m_dwExitPause = 1000;
    bool m_bIdleShutdown = true;
    volatile bool m_bRecentActivity = false;
    bool m_bComStarted = false;

private:
    static DWORD WINAPI IdleMonitorThread(void* parameter)
    {
        static_cast<CExeModuleT*>(parameter)->MonitorIdle();
        return 0;
    }

    void MonitorIdle()
    {
        for (;;)
        {
            WaitForSingleObject(m_hIdleEvent, INFINITE);
            DWORD wait;
            do
            {
                m_bRecentActivity = false;
                wait = WaitForSingleObject(m_hIdleEvent, m_dwIdleTimeout);
            } while (wait == WAIT_OBJECT_0);
            if (!m_bRecentActivity && this->m_record.m_lockCount == 0)
                break;
        }
        CloseHandle(m_hIdleEvent);
        m_hIdleEvent = nullptr;
        PostThreadMessageW(m_dwStartThreadId, WM_QUIT, 0, 0);
    }
};
