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
    return DirectoryOfPath(std::wstring(path, length < MAX_PATH ? length : MAX_PATH - 1));
}

std::wstring DirectoryOfPath(const std::wstring& path)
{
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos)
        return path;
    const bool bDriveRoot = slash == 2 && path[1] == L':';
    return path.substr(0, bDriveRoot ? slash + 1 : slash);
}
