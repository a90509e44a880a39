// Windows Sockets must come before windows.h.
#include "agent/Socket.h"

#include "runtime/ZeltAgentSvcModule.h"

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

// The supervisor, a member, ends its supervision before the module's base
// layers go.
CZeltAgentSvcModule::~CZeltAgentSvcModule() = default;

HRESULT CZeltAgentSvcModule::PreMessageLoop(int showCommand)
{
    HRESULT hr = PrepareMessageLoop(showCommand);
    if (FAILED(hr))
        return FailPreMessageLoop(1, hr);
    hr = StartSockets();
    if (FAILED(hr))
        return FailPreMessageLoop(2, hr);
    m_pAgent = std::make_unique<CAgentSupervisor>(AgentSettings{agent, cmd, dir, port},
                                                  [this](const std::wstring& line) { WriteTrace(*this, line + summary); });
    hr = m_pAgent->Start();
    if (FAILED(hr))
        return FailPreMessageLoop(3, hr);
    return S_OK;
}

HRESULT CZeltAgentSvcModule::FailPreMessageLoop(int point, HRESULT hr)
{
    WriteTrace(*this, L"==> PreMessageLoop: end_fail-" + std::to_wstring(point) + L"." + summary);
    return hr;
}

HRESULT CZeltAgentSvcModule::ShutdownAgent()
{
    if (m_pAgent)
        m_pAgent->Stop();
    WSACleanup();
    const HRESULT hr = RevokeClassTable();
    if (m_bIdleShutdown)
        Sleep(m_dwExitPause);
    return hr;
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
