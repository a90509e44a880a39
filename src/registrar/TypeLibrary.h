// Registration of the module's type library (resource "TYPELIB" 1 of its
// own executable) and of its classes' component categories.
#pragma once

#include <windows.h>
#include <oleauto.h>

// One implemented (kind 1) or required (other kinds) category of a class; a
// list of them ends with kind 0.
struct CategoryMapEntry
{
    int kind;
    const GUID* pCategory;
};

// Position of the last '.' after the last backslash, or the end of the path.
const wchar_t* ExtensionStart(const wchar_t* path);

// Position just after the last '/', ':' or backslash: where the file name begins.
const wchar_t* FileNameStart(const wchar_t* path);

// Loads the type library of `instance` (with an optional index appended to
// its path, or a ".tlb" beside it when the program holds none).
HRESULT LoadModuleTypeLibrary(HINSTANCE instance, LPCWSTR index, BSTR* pPath, ITypeLib** ppLibrary);

// Per-user when the per-user registration flag is set and the system offers
// the per-user functions; machine-wide otherwise.
HRESULT RegisterTypeLibrary(HINSTANCE instance, LPCWSTR index);
HRESULT UnregisterTypeLibrary(HINSTANCE instance, LPCWSTR index);

HRESULT RegisterClassCategories(REFCLSID classId, const CategoryMapEntry* pMap, bool bRegister);
