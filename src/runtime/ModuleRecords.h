// Process-wide records that live beside the module object: the base record
// (instance handles), the COM record (the class table) and the pointers that
// context-free callbacks use to reach the module.
#pragma once

#include <windows.h>
#include <objbase.h>

class CModule;
struct CategoryMapEntry;

// One COM class served by the process. The table of this host is empty; the
// layout is kept so that registration and the class-object steps have a shape
// to walk.
struct ClassEntry
{
    typedef HRESULT(WINAPI* CreateFn)(void* outer, REFIID iid, void** object);
    typedef HRESULT(WINAPI* FactoryFn)(CreateFn create, REFIID iid, void** object);
    typedef HRESULT(WINAPI* UpdateRegistryFn)(BOOL bRegister);
    typedef const CategoryMapEntry*(*CategoryMapFn)();
    typedef void(WINAPI* StartEndFn)(bool bStarting);

    const CLSID* pClassId;
    UpdateRegistryFn pfnUpdateRegistry;
    CategoryMapFn pfnCategoryMap;
    FactoryFn pfnFactory;
    CreateFn pfnCreate;
    IUnknown* pClassObject;
    DWORD dwCookie;
    StartEndFn pfnStartEnd;
};

// Module instance and resource instance: the program's own image.
class CBaseRecord
{
public:
    CBaseRecord();
    ~CBaseRecord();
    CBaseRecord(const CBaseRecord&) = delete;
    CBaseRecord& operator=(const CBaseRecord&) = delete;

    UINT m_cbSize = 0;
    HINSTANCE m_hInstance = nullptr;
    HINSTANCE m_hInstResource = nullptr;
    HINSTANCE* m_pExtraResources = nullptr;  // further resource instances: none
    int m_nExtraResources = 0;
    CRITICAL_SECTION m_csLock{};
};

// The class table and the type-library instance.
class CComRecord
{
public:
    CComRecord();
    ~CComRecord();
    CComRecord(const CComRecord&) = delete;
    CComRecord& operator=(const CComRecord&) = delete;

    // Releases the cached class objects and the lock; a second call does nothing.
    void Terminate();

    UINT m_cbSize = 0;
    HINSTANCE m_hInstTypeLib = nullptr;
    ClassEntry** m_ppClassBegin = nullptr;
    ClassEntry** m_ppClassEnd = nullptr;
    CRITICAL_SECTION m_csLock{};
};

// Set by the records' and the module's construction.
extern CBaseRecord* g_pBaseRecord;
extern CComRecord* g_pComRecord;
extern CModule* g_pModule;

// Set when a lock or COM could not be initialised at start-up; the process
// entry then ends the process with -1 without reading its command line.
extern bool g_bInitFailed;
