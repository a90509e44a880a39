#include "registrar/TypeLibrary.h"

#include <comcat.h>

#include <cwchar>

#include "base/ModulePath.h"
#include "base/Result.h"
#include "base/Text.h"
#include "registrar/PerUserFlag.h"
#include "registrar/RegistryKey.h"

namespace {

constexpr size_t kPathUnits = 270;  // a path of 260 units and room for an index

using RegisterFunction = HRESULT(WINAPI*)(ITypeLib*, LPOLESTR, LPOLESTR);
using UnregisterFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// The per-user form of a type library function when asked for and offered.
void* FindPerUserFunction(const char* name)
{
    if (!g_bPerUserRegistration)
        return nullptr;
    const HMODULE oleaut = GetModuleHandleW(L"OLEAUT32.DLL");
    return oleaut != nullptr ? reinterpret_cast<void*>(GetProcAddress(oleaut, name)) : nullptr;
}

// Owners for the COM objects and strings the registration handles.
struct CBstr
{
    BSTR text = nullptr;
    ~CBstr() { SysFreeString(text); }
};

// The module's loaded type library and the path it came from, both released
// at the end of the registration step that loaded them.
struct CLoadedTypeLibrary
{
    CBstr path;
    ITypeLib* library = nullptr;

    ~CLoadedTypeLibrary()
    {
        if (library != nullptr)
            library->Release();
    }
};

}  // namespace

const wchar_t* ExtensionStart(const wchar_t* path)
{
    const wchar_t* fileName = wcsrchr(path, L'\\');
    const wchar_t* dot = wcsrchr(fileName != nullptr ? fileName : path, L'.');
    return dot != nullptr ? dot : path + wcslen(path);
}

const wchar_t* FileNameStart(const wchar_t* path)
{
    const wchar_t* start = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p)
    {
        if (*p == L'/' || *p == L':' || *p == L'\\')
            start = p + 1;
    }
    return start;
}

HRESULT LoadModuleTypeLibrary(HINSTANCE instance, LPCWSTR index, BSTR* pPath, ITypeLib** ppLibrary)
{
    if (pPath == nullptr || ppLibrary == nullptr)
        return E_POINTER;
    *pPath = nullptr;
    *ppLibrary = nullptr;
    wchar_t path[kPathUnits];
    DWORD length = 0;
    HRESULT hr = ReadModulePath(instance, path, length);
    if (FAILED(hr))
        return hr;
    const size_t extension = ExtensionStart(path) - path;
    if (index != nullptr)
    {
        const size_t indexLength = wcslen(index);
        if (indexLength > kPathUnits - 1 - length)
            return E_FAIL;
        wmemcpy(path + length, index, indexLength + 1);
    }
    hr = LoadTypeLib(path, ppLibrary);
    if (FAILED(hr))
    {
        if (extension + 5 > MAX_PATH)
            return E_FAIL;
        wcscpy(path + extension, L".tlb");
        hr = LoadTypeLib(path, ppLibrary);
        if (FAILED(hr))
            return hr;
    }
    *pPath = SysAllocString(path);
    if (*pPath == nullptr)
    {
        (*ppLibrary)->Release();
        *ppLibrary = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT RegisterTypeLibrary(HINSTANCE instance, LPCWSTR index)
{
    CLoadedTypeLibrary typeLib;
    HRESULT hr = LoadModuleTypeLibrary(instance, index, &typeLib.path.text, &typeLib.library);
    if (FAILED(hr))
        return hr;
    CBstr helpFile;
    wchar_t helpDirectory[MAX_PATH];
    wchar_t* pHelpDirectory = nullptr;
    if (SUCCEEDED(typeLib.library->GetDocumentation(-1, nullptr, nullptr, nullptr, &helpFile.text)) &&
        helpFile.text != nullptr && SysStringLen(helpFile.text) < MAX_PATH)
    {
        wcscpy(helpDirectory, helpFile.text);
        *const_cast<wchar_t*>(FileNameStart(helpDirectory)) = L'\0';
        pHelpDirectory = helpDirectory;
    }
    auto registerFunction = reinterpret_cast<RegisterFunction>(FindPerUserFunction("RegisterTypeLibForUser"));
    if (registerFunction == nullptr)
        registerFunction = &RegisterTypeLib;
    return registerFunction(typeLib.library, typeLib.path.text, pHelpDirectory);
}

namespace {

bool IsKeyMissing(HKEY root, const wchar_t* name)
{
    RegistryKey key;
    return key.OpenKey(root, name, KEY_READ) == ERROR_FILE_NOT_FOUND;
}

// True when neither the machine's nor the user's branch holds the library's
// version key.
bool IsTypeLibraryUnregistered(const TLIBATTR& attributes)
{
    wchar_t guid[64];
    if (StringFromGUID2(attributes.guid, guid, ARRAYSIZE(guid)) == 0)
        return false;
    const std::wstring name =
        FormatText(L"TypeLib\\%s\\%x.%x", guid, attributes.wMajorVerNum, attributes.wMinorVerNum);
    return IsKeyMissing(HKEY_CLASSES_ROOT, name.c_str()) &&
           IsKeyMissing(HKEY_CURRENT_USER, (L"Software\\Classes\\" + name).c_str());
}

}  // namespace

HRESULT UnregisterTypeLibrary(HINSTANCE instance, LPCWSTR index)
{
    CLoadedTypeLibrary typeLib;
    HRESULT hr = LoadModuleTypeLibrary(instance, index, &typeLib.path.text, &typeLib.library);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attributes = nullptr;
    hr = typeLib.library->GetLibAttr(&attributes);
    if (FAILED(hr))
        return hr;
    auto unregisterFunction = reinterpret_cast<UnregisterFunction>(FindPerUserFunction("UnRegisterTypeLibForUser"));
    if (unregisterFunction == nullptr)
        unregisterFunction = &UnRegisterTypeLib;
    hr = unregisterFunction(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                            attributes->syskind);
    // A library that is not registered is removed already: the removal of
    // the registration must go on to the AppID entries.
    if (FAILED(hr) && IsTypeLibraryUnregistered(*attributes))
        hr = S_OK;
    typeLib.library->ReleaseTLibAttr(attributes);
    return hr;
}

namespace {

// Removes CLSID\{class}\<leaf> when nothing is registered below it any more.
void RemoveEmptyCategoryKey(const wchar_t* classText, const wchar_t* leaf)
{
    const std::wstring name = FormatText(L"CLSID\\%s\\%s", classText, leaf);
    RegistryKey key;
    if (key.OpenKey(HKEY_CLASSES_ROOT, name.c_str(), KEY_READ) != ERROR_SUCCESS)
        return;
    const bool bEmpty = !HasChildKeys(key.Handle());
    key.CloseKey();
    if (bEmpty)
        RemoveChildKeyUnder(HKEY_CLASSES_ROOT, name.c_str(), 0);
}

HRESULT ApplyCategory(ICatRegister* categories, REFCLSID classId, const CategoryMapEntry& entry, bool bRegister)
{
    CATID category = *entry.pCategory;
    CLSID id = classId;
    if (entry.kind == 1)
        return bRegister ? categories->RegisterClassImplCategories(id, 1, &category)
                         : categories->UnRegisterClassImplCategories(id, 1, &category);
    return bRegister ? categories->RegisterClassReqCategories(id, 1, &category)
                     : categories->UnRegisterClassReqCategories(id, 1, &category);
}

}  // namespace

HRESULT RegisterClassCategories(REFCLSID classId, const CategoryMapEntry* pMap, bool bRegister)
{
    if (pMap == nullptr || IsEqualGUID(classId, GUID_NULL))
        return S_OK;
    ICatRegister* categories = nullptr;
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                reinterpret_cast<void**>(&categories))))
        return S_OK;
    for (const CategoryMapEntry* entry = pMap; entry->kind != 0; ++entry)
    {
        const HRESULT hr = ApplyCategory(categories, classId, *entry, bRegister);
        if (bRegister && FAILED(hr))
        {
            categories->Release();
            return hr;
        }
    }
    if (!bRegister)
    {
        wchar_t classText[64];
        StringFromGUID2(classId, classText, ARRAYSIZE(classText));
        RemoveEmptyCategoryKey(classText, L"Required Categories");
        RemoveEmptyCategoryKey(classText, L"Implemented Categories");
    }
    categories->Release();
    return S_OK;
}
