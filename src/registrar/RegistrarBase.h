// The registrar's interface as the module sees it, and what the registrar
// needs of the module whose scripts it applies.
#pragma once

#include <windows.h>
#include <unknwn.h>

struct IRegistrarBase : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetReplacement(LPCOLESTR name, LPCOLESTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResetReplacements() = 0;
};

// The module side of a registration from script resources: it adds its own
// replacements through the registrar, and its image carries the scripts.
class IScriptModule
{
public:
    virtual HRESULT AddScriptReplacements(IRegistrarBase* pRegistrar) = 0;
    // The image whose "REGISTRY" resources hold the scripts; null for the
    // program's own.
    virtual HINSTANCE GetModuleInstance() = 0;

protected:
    ~IScriptModule() = default;
};
