// Installing an instance: the AppID entries, "LocalService", and a service
// entry configured with the instance settings in its command line.
#include <string>

#include "base/EventLog.h"
#include "base/ModulePath.h"
#include "base/Result.h"
#include "instance/ImagePath.h"
#include "instance/Messages.h"
#include "instance/ServiceHandle.h"
#include "registrar/RegObject.h"
#include "registrar/RegistryKey.h"
#include "runtime/ZeltAgentSvcModule.h"

namespace {

constexpr DWORD kServiceRights = 0x000F003F;  // required rights, configure, query, start, stop
constexpr DWORD kFailureActionCount = 3;

// The program's own path; empty when it cannot be read or does not fit.
std::wstring GetProgramPath()
{
    wchar_t path[MAX_PATH];
    DWORD length = 0;
    if (FAILED(ReadModulePath(nullptr, path, length)))
        return std::wstring();
    return std::wstring(path, length);
}

}  // namespace

HRESULT CZeltAgentSvcModule::RegisterAppId(bool bService)
{
    HRESULT hr = WriteAppIdEntries(bService);
    if (FAILED(hr))
        return FailRegistration(1, hr);
    std::wstring displayName = L"ZeltAgent Service";
    const std::wstring program = GetProgramPath();
    if (program.empty())
        return FailRegistration(2, E_FAIL);
    const std::wstring imagePath = BuildImagePath(program, port, agent, cmd);
    SC_ACTION actions[kFailureActionCount];
    for (SC_ACTION& action : actions)
        action = SC_ACTION{SC_ACTION_RESTART, 0};
    if (!num.empty())
        displayName += L" - " + num;
    return ConfigureService(imagePath, displayName, actions);
}

// The configuration steps, numbered 3 to 8 by the failure they report.
HRESULT CZeltAgentSvcModule::ConfigureService(const std::wstring& imagePath, const std::wstring& displayName,
                                              SC_ACTION* actions)
{
    ServiceHandle manager;
    HRESULT hr = manager.OpenManager(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    if (FAILED(hr))
        return FailRegistration(3, hr);
    ServiceHandle service;
    if (FAILED(hr = service.OpenServiceEntry(manager.Get(), m_serviceName, kServiceRights)))
        return FailRegistration(4, hr);
    if (FAILED(hr = service.SetImagePath(imagePath.c_str())))
        return FailRegistration(5, hr);
    if (FAILED(hr = service.SetDisplayName(displayName.c_str())))
        return FailRegistration(6, hr);
    if (FAILED(hr = service.SetStartType(SERVICE_AUTO_START)))
        return FailRegistration(7, hr);
    if (FAILED(hr = service.SetFailureActions(kFailureActionCount, actions)))
        return FailRegistration(8, hr);
    return S_OK;
}

HRESULT CZeltAgentSvcModule::FailRegistration(int point, HRESULT hr)
{
    WriteTrace(*this, L"==> RegisterAppId: end_fail-" + std::to_wstring(point) + L"." + summary);
    return hr;
}

// The old service of the name goes first; installation waits until it is
// gone, so that the new one is never configured over an entry that is about
// to disappear.
HRESULT CZeltAgentSvcModule::WriteAppIdEntries(bool bService)
{
    if (!RemoveService(true))
        return E_FAIL;
    const ScriptReplacement replacements[] = {{L"APPID", ZELT_APPID_TEXT}, {nullptr, nullptr}};
    HRESULT hr = UpdateRegistryFromScript(*this, IDR_ZELTAGENTSVC, true, replacements);
    if (FAILED(hr))
        return hr;
    RegistryKey appIds;
    LONG error = appIds.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegistryKey appId;
    error = appId.CreateKey(appIds.Handle(), ZELT_APPID_TEXT, nullptr, 0, KEY_READ | KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegDeleteValueW(appId.Handle(), L"LocalService");
    if (bService)
    {
        appId.SetText(L"LocalService", m_serviceName);
        if (!InstallService())
            return E_FAIL;
    }
    return S_OK;
}

bool CZeltAgentSvcModule::InstallService()
{
    if (IsServiceInstalled())
        return true;
    const std::wstring program = GetProgramPath();
    if (program.empty())
        return false;
    const std::wstring imagePath = L"\"" + program + L"\"";
    ServiceHandle manager;
    if (FAILED(manager.OpenManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)))
    {
        ShowMessage(m_serviceName, IDS_CANNOT_OPEN_MANAGER, L"Could not open Service Manager");
        return false;
    }
    ServiceHandle service;
    service.Attach(CreateServiceW(manager.Get(), m_serviceName, m_serviceName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       imagePath.c_str(), nullptr, nullptr, L"RPCSS\0", nullptr, nullptr));
    if (service.Get() == nullptr)
    {
        manager.Close();
        ShowMessage(m_serviceName, IDS_CANNOT_CREATE_SERVICE, L"Could not start service");
        return false;
    }
    return true;
}
