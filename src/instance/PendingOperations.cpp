// Operations of the command line whose implementation is not in this build
// yet. Each refuses, so that no command reports a success it did not have.
#include "runtime/ZeltAgentSvcModule.h"

bool CZeltAgentSvcModule::UninstallService()
{
    return false;
}

HRESULT CZeltAgentSvcModule::RegisterAppId(bool)
{
    return E_NOTIMPL;
}

HRESULT CZeltAgentSvcModule::RemoveAppId()
{
    return E_NOTIMPL;
}

HRESULT CZeltAgentSvcModule::RegisterComClasses(bool, const CLSID*)
{
    return E_NOTIMPL;
}

HRESULT CZeltAgentSvcModule::UnregisterComClasses(bool, const CLSID*)
{
    return E_NOTIMPL;
}
