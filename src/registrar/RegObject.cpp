#include "registrar/RegObject.h"

#include <cwchar>
#include <memory>
#include <new>

#include "base/Handles.h"
#include "base/ModulePath.h"
#include "base/Result.h"
#include "registrar/ScriptParser.h"

namespace {

constexpr size_t kEscapedPathUnits = 2 * MAX_PATH;
constexpr size_t kQuotedPathUnits = kEscapedPathUnits + 4;

wchar_t* CopyText(LPCOLESTR text)
{
    const size_t units = wcslen(text) + 1;
    wchar_t* copy = new (std::nothrow) wchar_t[units];
    if (copy != nullptr)
        wmemcpy(copy, text, units);
    return copy;
}

// Copies the array into one a slot longer; null when that cannot be had.
wchar_t** GrowArray(wchar_t** array, int count)
{
    wchar_t** grown = new (std::nothrow) wchar_t*[count + 1];
    if (grown != nullptr)
    {
        for (int i = 0; i < count; ++i)
            grown[i] = array[i];
    }
    return grown;
}

}  // namespace

CRegObject::~CRegObject()
{
    ResetReplacements();
}

// The registrar hands out no interfaces and counts no references: it lives
// exactly as long as the registration that made it.
HRESULT STDMETHODCALLTYPE CRegObject::QueryInterface(REFIID, void**)
{
    return E_NOTIMPL;
}

ULONG STDMETHODCALLTYPE CRegObject::AddRef()
{
    return 1;
}

ULONG STDMETHODCALLTYPE CRegObject::Release()
{
    return 0;
}

HRESULT STDMETHODCALLTYPE CRegObject::SetReplacement(LPCOLESTR name, LPCOLESTR value)
{
    if (name == nullptr || value == nullptr)
        return E_INVALIDARG;
    std::unique_ptr<wchar_t[]> nameCopy(CopyText(name));
    std::unique_ptr<wchar_t[]> valueCopy(CopyText(value));
    std::unique_ptr<wchar_t*[]> names(GrowArray(m_ppNames, m_nCount));
    std::unique_ptr<wchar_t*[]> values(GrowArray(m_ppValues, m_nCount));
    if (!nameCopy || !valueCopy || !names || !values)
        return E_OUTOFMEMORY;
    names[m_nCount] = nameCopy.release();
    values[m_nCount] = valueCopy.release();
    delete[] m_ppNames;
    delete[] m_ppValues;
    m_ppNames = names.release();
    m_ppValues = values.release();
    ++m_nCount;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CRegObject::ResetReplacements()
{
    for (int i = 0; i < m_nCount; ++i)
    {
        delete[] m_ppNames[i];
        delete[] m_ppValues[i];
    }
    delete[] m_ppNames;
    delete[] m_ppValues;
    m_ppNames = nullptr;
    m_ppValues = nullptr;
    m_nCount = 0;
    return S_OK;
}

LPCWSTR CRegObject::FindReplacement(LPCWSTR name) const
{
    for (int i = 0; i < m_nCount; ++i)
    {
        if (IsSameName(m_ppNames[i], name))
            return m_ppValues[i];
    }
    return nullptr;
}

HRESULT CRegObject::RegisterScriptResource(LPCWSTR modulePath, WORD resourceId, LPCWSTR resourceType)
{
    return ApplyScriptResource(modulePath, MAKEINTRESOURCEW(resourceId), resourceType, true);
}

HRESULT CRegObject::UnregisterScriptResource(LPCWSTR modulePath, WORD resourceId, LPCWSTR resourceType)
{
    return ApplyScriptResource(modulePath, MAKEINTRESOURCEW(resourceId), resourceType, false);
}

HRESULT CRegObject::ApplyScriptResource(LPCWSTR modulePath, LPCWSTR resourceName, LPCWSTR resourceType,
                                        bool bRegister, CRegistryJournal* pKept)
{
    CLibraryHandle file(LoadLibraryExW(modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!file)
        return HResultFromLastError();
    HRSRC resource = FindResourceW(file.Get(), resourceName, resourceType);
    if (resource == nullptr)
        return HResultFromLastError();
    HGLOBAL loaded = LoadResource(file.Get(), resource);
    if (loaded == nullptr)
        return HResultFromLastError();
    const DWORD bytes = SizeofResource(file.Get(), resource);
    std::unique_ptr<wchar_t[]> script(new (std::nothrow) wchar_t[static_cast<size_t>(bytes) + 1]);
    if (!script)
        return E_OUTOFMEMORY;
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, static_cast<const char*>(LockResource(loaded)),
                                          static_cast<int>(bytes), script.get(), static_cast<int>(bytes));
    if (units == 0)
        return HResultFromLastError();
    script[units] = L'\0';
    ScriptParser parser(*this);
    return parser.ApplyScript(script.get(), bRegister, pKept);
}

void EscapeQuotes(LPWSTR destination, size_t capacity, LPCWSTR source)
{
    if (capacity == 0)
        return;
    size_t written = 0;
    for (; *source != L'\0' && written < capacity - 1; ++source)
    {
        destination[written++] = *source;
        if (*source == L'\'' && written < capacity - 1)
            destination[written++] = L'\'';
    }
    destination[written] = L'\0';
}

HRESULT AddModuleReplacements(CRegObject& registrar, HINSTANCE instance, LPCWSTR path)
{
    wchar_t raw[kEscapedPathUnits];
    EscapeQuotes(raw, kEscapedPathUnits, path);
    wchar_t quoted[kQuotedPathUnits];
    LPCWSTR module = raw;
    if (instance == nullptr || instance == GetModuleHandleW(nullptr))
    {
        const size_t rawUnits = wcslen(raw);
        if (rawUnits + 3 > kQuotedPathUnits)
            return E_FAIL;
        quoted[0] = L'"';
        wmemcpy(quoted + 1, raw, rawUnits);
        quoted[rawUnits + 1] = L'"';
        quoted[rawUnits + 2] = L'\0';
        module = quoted;
    }
    HRESULT hr = registrar.SetReplacement(L"Module", module);
    if (SUCCEEDED(hr))
        hr = registrar.SetReplacement(L"Module_Raw", raw);
    return hr;
}

HRESULT UpdateRegistryFromScript(IScriptModule& module, UINT resourceId, bool bRegister,
                                 const ScriptReplacement* entries, CRegistryJournal* pKept)
{
    CRegObject registrar;
    for (const ScriptReplacement* entry = entries; entry != nullptr && entry->name != nullptr; ++entry)
        registrar.SetReplacement(entry->name, entry->value);
    HRESULT hr = module.AddScriptReplacements(&registrar);
    if (FAILED(hr))
        return hr;
    const HINSTANCE instance = module.GetModuleInstance();
    wchar_t path[MAX_PATH];
    DWORD length = 0;
    if (FAILED(hr = ReadModulePath(instance, path, length)) ||
        FAILED(hr = AddModuleReplacements(registrar, instance, path)))
        return hr;
    return registrar.ApplyScriptResource(path, MAKEINTRESOURCEW(static_cast<WORD>(resourceId)), L"REGISTRY", bRegister,
                                         pKept);
}
