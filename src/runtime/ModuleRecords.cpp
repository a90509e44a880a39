#include "runtime/ModuleRecords.h"

CBaseRecord* g_pBaseRecord = nullptr;
CComRecord* g_pComRecord = nullptr;
CModule* g_pModule = nullptr;
bool g_bInitFailed = false;

namespace {
// The class table laid down at build time: this host serves no COM class, so
// its bounds are equal.
ClassEntry* g_classTable[1] = {nullptr};
}

CBaseRecord::CBaseRecord()
{
    m_hInstance = GetModuleHandleW(nullptr);
    m_hInstResource = m_hInstance;
    if (InitializeCriticalSectionAndSpinCount(&m_csLock, 0))
        m_cbSize = sizeof(*this);
    else
        g_bInitFailed = true;
    g_pBaseRecord = this;
}

CBaseRecord::~CBaseRecord()
{
    if (m_cbSize != 0)
    {
        DeleteCriticalSection(&m_csLock);
        m_cbSize = 0;
    }
    if (g_pBaseRecord == this)
        g_pBaseRecord = nullptr;
}

CComRecord::CComRecord()
{
    m_hInstTypeLib = GetModuleHandleW(nullptr);
    m_ppClassBegin = g_classTable;
    m_ppClassEnd = g_classTable;
    if (InitializeCriticalSectionAndSpinCount(&m_csLock, 0))
        m_cbSize = sizeof(*this);
    else
        g_bInitFailed = true;
    g_pComRecord = this;
}

CComRecord::~CComRecord()
{
    Terminate();
    if (g_pComRecord == this)
        g_pComRecord = nullptr;
}

void CComRecord::Terminate()
{
    if (m_cbSize == 0)
        return;
    for (ClassEntry** pp = m_ppClassBegin; pp < m_ppClassEnd; ++pp)
    {
        if (*pp != nullptr && (*pp)->pClassObject != nullptr)
        {
            (*pp)->pClassObject->Release();
            (*pp)->pClassObject = nullptr;
        }
    }
    DeleteCriticalSection(&m_csLock);
    m_cbSize = 0;
}
