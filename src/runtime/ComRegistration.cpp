#include "runtime/ComRegistration.h"

#include "registrar/TypeLibrary.h"
#include "runtime/ModuleRecords.h"

namespace {

bool IsSelected(const ClassEntry* entry, const CLSID* pOnlyClass)
{
    return entry != nullptr && (pOnlyClass == nullptr || IsEqualCLSID(*entry->pClassId, *pOnlyClass));
}

const CategoryMapEntry* CategoriesOf(const ClassEntry& entry)
{
    return entry.pfnCategoryMap != nullptr ? entry.pfnCategoryMap() : nullptr;
}

}  // namespace

HRESULT RegisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass)
{
    HRESULT hr = S_OK;
    for (ClassEntry** pp = g_pComRecord->m_ppClassBegin; pp < g_pComRecord->m_ppClassEnd; ++pp)
    {
        if (!IsSelected(*pp, pOnlyClass))
            continue;
        hr = (*pp)->pfnUpdateRegistry(TRUE);
        if (SUCCEEDED(hr))
            hr = RegisterClassCategories(*(*pp)->pClassId, CategoriesOf(**pp), true);
        if (FAILED(hr))
            return hr;
    }
    return bTypeLibrary ? RegisterTypeLibrary(g_pBaseRecord->m_hInstance, nullptr) : hr;
}

HRESULT UnregisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass)
{
    HRESULT hr = S_OK;
    for (ClassEntry** pp = g_pComRecord->m_ppClassBegin; pp < g_pComRecord->m_ppClassEnd; ++pp)
    {
        if (!IsSelected(*pp, pOnlyClass))
            continue;
        hr = RegisterClassCategories(*(*pp)->pClassId, CategoriesOf(**pp), false);
        if (SUCCEEDED(hr))
            hr = (*pp)->pfnUpdateRegistry(FALSE);
        if (FAILED(hr))
            return hr;
    }
    return bTypeLibrary ? UnregisterTypeLibrary(g_pBaseRecord->m_hInstance, nullptr) : hr;
}
