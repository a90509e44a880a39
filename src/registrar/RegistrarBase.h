// The registrar's interface as the module sees it: the module adds its own
// script replacements through it.
#pragma once

#include <windows.h>
#include <unknwn.h>

struct IRegistrarBase : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetReplacement(LPCOLESTR name, LPCOLESTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResetReplacements() = 0;
};
