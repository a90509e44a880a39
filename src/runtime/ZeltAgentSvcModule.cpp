#include "runtime/ZeltAgentSvcModule.h"

#include "agent/ExitWait.h"
#include "registrar/RegistrarBase.h"

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

HRESULT CZeltAgentSvcModule::AddScriptReplacements(IRegistrarBase* pRegistrar)
{
    return pRegistrar->SetReplacement(L"APPID", ZELT_APPID_TEXT);
}

std::wstring GetOwnDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0)
        return std::wstring();
    std::wstring text(path, length < MAX_PATH ? length : MAX_PATH - 1);
    const size_t slash = text.rfind(L'\\');
    if (slash != std::wstring::npos)
        text.resize(slash);
    return text;
}
