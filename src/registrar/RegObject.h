// The registrar: the replacement map that script expansion consults, and
// registration from the "REGISTRY" script resources of a module file.
#pragma once

#include <windows.h>

#include "registrar/RegistrarBase.h"
#include "registrar/RegistryJournal.h"

// One caller-supplied replacement; a list of them ends with name == nullptr.
struct ScriptReplacement
{
    const wchar_t* name;
    const wchar_t* value;
};

// Lives on the stack of one registration: not reference counted.
class CRegObject : public IRegistrarBase
{
public:
    CRegObject() = default;
    CRegObject(const CRegObject&) = delete;
    CRegObject& operator=(const CRegObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE SetReplacement(LPCOLESTR name, LPCOLESTR value) override;
    HRESULT STDMETHODCALLTYPE ResetReplacements() override;
    virtual ~CRegObject();

    // The value of the first entry whose name matches ignoring case, or null.
    LPCWSTR FindReplacement(LPCWSTR name) const;
    int ReplacementCount() const { return m_nCount; }

    HRESULT RegisterScriptResource(LPCWSTR modulePath, WORD resourceId, LPCWSTR resourceType);
    HRESULT UnregisterScriptResource(LPCWSTR modulePath, WORD resourceId, LPCWSTR resourceType);
    // Loads the file as data, converts the 8-bit script from the thread's code
    // page and applies it in the given direction.
    // `pKept` receives the changes of a registration that succeeds.
    HRESULT ApplyScriptResource(LPCWSTR modulePath, LPCWSTR resourceName, LPCWSTR resourceType, bool bRegister,
                                CRegistryJournal* pKept = nullptr);

private:
    wchar_t** m_ppNames = nullptr;
    wchar_t** m_ppValues = nullptr;
    int m_nCount = 0;
};

// Copies `source` with every single quote doubled, cut to fit `capacity`
// units with its NUL; writes nothing when the capacity is 0.
void EscapeQuotes(LPWSTR destination, size_t capacity, LPCWSTR source);

// Adds "Module" and "Module_Raw": the module's file path with quotes doubled;
// "Module" is in double quotes when `instance` is the program's own image
// (or null).
HRESULT AddModuleReplacements(CRegObject& registrar, HINSTANCE instance, LPCWSTR path);

// Registers (or unregisters) the module's "REGISTRY" script resource with the
// caller's replacements, the module's own, "Module" and "Module_Raw". A
// registration that succeeds hands every change it made to `pKept`, when
// given, so that the caller can take it back later.
HRESULT UpdateRegistryFromScript(IScriptModule& module, UINT resourceId, bool bRegister,
                                 const ScriptReplacement* entries = nullptr, CRegistryJournal* pKept = nullptr);
