#include "runtime/Module.h"

#include "base/Result.h"

CModule::CModule()
{
    m_record.m_cbSize = 0;
    m_record.m_lockCount = 0;
    m_record.m_pTermination = nullptr;
    ZeroMemory(&m_record.m_csLock, sizeof(m_record.m_csLock));
    g_pModule = this;
    if (InitializeCriticalSectionAndSpinCount(&m_record.m_csLock, 0))
        m_record.m_cbSize = sizeof(m_record);
    else
        g_bInitFailed = true;
}

CModule::~CModule()
{
    TerminateRecord();
    if (g_pModule == this)
        g_pModule = nullptr;
}

LONG CModule::LockModule()
{
    return InterlockedIncrement(&m_record.m_lockCount);
}

LONG CModule::UnlockModule()
{
    return InterlockedDecrement(&m_record.m_lockCount);
}

LONG CModule::ModuleLockCount()
{
    return m_record.m_lockCount;
}

HINSTANCE CModule::GetModuleInstance()
{
    return g_pBaseRecord != nullptr ? g_pBaseRecord->m_hInstance : nullptr;
}

HRESULT CModule::GetInterfaceTable(IGlobalInterfaceTable** ppTable)
{
    if (ppTable == nullptr)
        return E_POINTER;
    *ppTable = nullptr;
    if (m_pInterfaceTable == nullptr)
    {
        const HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IGlobalInterfaceTable,
                                            reinterpret_cast<void**>(&m_pInterfaceTable));
        if (FAILED(hr))
        {
            m_pInterfaceTable = nullptr;
            return hr;
        }
    }
    m_pInterfaceTable->AddRef();
    *ppTable = m_pInterfaceTable;
    return S_OK;
}

void CModule::TerminateRecord()
{
    if (m_record.m_cbSize == 0)
        return;
    while (TerminationCallback* callback = m_record.m_pTermination)
    {
        m_record.m_pTermination = callback->pNext;
        callback->pfn(callback->argument);
        delete callback;
    }
    if (m_pInterfaceTable != nullptr)
    {
        m_pInterfaceTable->Release();
        m_pInterfaceTable = nullptr;
    }
    DeleteCriticalSection(&m_record.m_csLock);
    m_record.m_cbSize = 0;
}

bool IsChangedModeTolerated(HRESULT hr)
{
    return hr == RPC_E_CHANGED_MODE && GetModuleHandleW(L"Mscoree.dll") != nullptr;
}
