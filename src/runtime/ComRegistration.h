// Registration of the module as a COM server: each class of the class table,
// its categories, and the type library.
#pragma once

#include <windows.h>

// Registers the classes of the class table (only `pOnlyClass` when given)
// with their categories, then, when asked, the type library. The first
// failure is returned.
HRESULT RegisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass);

// The reverse: each class's categories, then the class, then the type library.
HRESULT UnregisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass);
