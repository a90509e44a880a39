#include "runtime/ZeltAgentSvcModule.h"

#include "agent/ExitWait.h"
#include "base/ModulePath.h"
#include "registrar/RegistrarBase.h"
#include "runtime/ComRegistration.h"

CZeltAgentSvcModule::CZeltAgentSvcModule()
{
    try
    {
        dir = GetOwnDirectory();
    }
    catch (...)
    {
        // Out of memory for a text: undo what is built, as a failed start-up.
        TerminateModule();
        g_bInitFailed = true;
    }
}

CZeltAgentSvcModule::~CZeltAgentSvcModule()
{
    // No relaunch may start while the module goes away; the process handle
    // is normally closed by the post-loop step already.
    InterlockedExchange(&m_bAgentStopping, TRUE);
    ReleaseExitWait(&m_hAgentWait);
}

HRESULT CZeltAgentSvcModule::RegisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass)
{
    return ::RegisterComClasses(bTypeLibrary, pOnlyClass);
}

HRESULT CZeltAgentSvcModule::UnregisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass)
{
    return ::UnregisterComClasses(bTypeLibrary, pOnlyClass);
}

HRESULT CZeltAgentSvcModule::AddScriptReplacements(IRegistrarBase* pRegistrar)
{
    return pRegistrar->SetReplacement(L"APPID", ZELT_APPID_TEXT);
}

std::wstring GetOwnDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = 0;
    if (FAILED(ReadModulePath(nullptr, path, length)))
        return std::wstring();
    return DirectoryOfPath(std::wstring(path, length));
}
