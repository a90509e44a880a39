#include "instance/Installation.h"

#include <sddl.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "base/EventSourceRegistration.h"
#include "base/ModulePath.h"
#include "base/Result.h"
#include "base/Text.h"
#include "instance/ImagePath.h"
#include "instance/InstanceStatus.h"
#include "instance/Messages.h"
#include "instance/Removal.h"
#include "registrar/RegObject.h"
#include "registrar/RegistryKey.h"
#include "resources/Guids.h"
#include "resources/ResourceIds.h"

namespace {

// Required rights (deletion and the access list among them), configure,
// query, start, stop.
constexpr DWORD kServiceRights = 0x000F003F;
constexpr DWORD kFailureActionCount = 3;
const std::wstring kAppIdKeyPath = std::wstring(L"AppID\\") + ZELT_APPID_TEXT;

// Full control for the system and administrators. Accounts signed in at
// the machine (interactive logons) and service accounts may query the
// configuration and status, interrogate and list dependents, as Windows'
// default access list lets them; network logons get nothing, so the
// instance's command line is not readable over the network through the
// service manager. None of them may start, stop or send user-defined
// controls (which by default they may, each one a record in the event log).
constexpr const wchar_t* kServiceAccessList = L"D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)"
                                              L"(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                                              L"(A;;CCLCSWLORC;;;IU)"
                                              L"(A;;CCLCSWLORC;;;SU)";

// The program's own path; an error when it cannot be read or does not fit.
HRESULT GetProgramPath(std::wstring& program)
{
    wchar_t path[MAX_PATH];
    DWORD length = 0;
    const HRESULT hr = ReadModulePath(nullptr, path, length);
    if (SUCCEEDED(hr))
        program.assign(path, length);
    return hr;
}

// The trace line keeps the letter's words and adds why; it is also the
// command's failure, unless a message told of one first.
HRESULT FailRegistration(const TraceWriter& writeTrace, int point, HRESULT hr, HRESULT cause)
{
    const std::wstring line = DescribeError(FormatText(L"==> RegisterAppId: end_fail-%d.", point).c_str(), cause);
    NoteFailure(line);
    if (writeTrace)
        writeTrace(EventKind::RegistrationFailed, line);
    return hr;
}

HRESULT FailRegistration(const TraceWriter& writeTrace, int point, HRESULT hr)
{
    return FailRegistration(writeTrace, point, hr, hr);
}

HRESULT RestrictServiceAccess(IServiceManager& services, SC_HANDLE service)
{
    PSECURITY_DESCRIPTOR converted = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceAccessList, SDDL_REVISION_1, &converted,
                                                              nullptr))
        return HResultFromLastError();
    const CLocalMemory descriptor(converted);
    return services.SetAccessList(service, descriptor.Get());
}

// The configuration steps, numbered 3, 4, 8, 9 and 10 by the failure they
// report; the service was created with the settings of points 5 to 7. A
// preshutdown time-out the service manager refuses fails the installation
// as the other settings do: the system's default (3 min before Windows 10
// 1703, 10 s since) would also cover the stop, but a refusal means a service
// manager that does not take the configuration the host relies on.
HRESULT ConfigureService(IServiceManager& services, const wchar_t* serviceName, const TraceWriter& writeTrace)
{
    CServiceHandle manager;
    HRESULT hr = services.OpenManager(SC_MANAGER_ALL_ACCESS, manager);
    if (FAILED(hr))
        return FailRegistration(writeTrace, 3, hr);
    CServiceHandle service;
    if (FAILED(hr = services.OpenServiceEntry(manager.Get(), serviceName, kServiceRights, service)))
        return FailRegistration(writeTrace, 4, hr);
    SC_ACTION actions[kFailureActionCount];
    for (SC_ACTION& action : actions)
        action = SC_ACTION{SC_ACTION_RESTART, 0};
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = 0;
    failureActions.cActions = kFailureActionCount;
    failureActions.lpsaActions = actions;
    if (FAILED(hr = services.ChangeFailureActions(service.Get(), failureActions)))
        return FailRegistration(writeTrace, 8, hr);
    if (FAILED(hr = RestrictServiceAccess(services, service.Get())))
        return FailRegistration(writeTrace, 9, hr);
    if (FAILED(hr = services.ChangePreshutdownTimeout(service.Get(), kServicePreshutdownTimeoutMs)))
        return FailRegistration(writeTrace, 10, hr);
    return S_OK;
}

// Notes what "LocalService" holds before the command changes it.
HRESULT NoteLocalService(HKEY appId, CRegistryJournal& journal)
{
    CValueImage previous;
    const LONG error = ReadValueImage(appId, L"LocalService", previous);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        return HResultFromError(error);
    journal.NoteValueWritten(HKEY_CLASSES_ROOT, std::wstring(kAppIdKeyPath), std::move(previous),
                             error == ERROR_SUCCESS);
    return S_OK;
}

// Opens (or creates, noting it) the module's AppID key and points
// "LocalService" at the service, or removes it.
HRESULT WriteLocalService(const wchar_t* serviceName, bool bService, CRegistryJournal& journal)
{
    RegistryKey appIds;
    LONG error = appIds.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    RegistryKey appId;
    DWORD disposition = 0;
    journal.Reserve();
    error = appId.CreateKey(appIds.Handle(), ZELT_APPID_TEXT, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &disposition);
    if (disposition == REG_CREATED_NEW_KEY)
        journal.NoteKeyCreated(HKEY_CLASSES_ROOT, std::wstring(kAppIdKeyPath));
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    HRESULT hr = NoteLocalService(appId.Handle(), journal);
    if (FAILED(hr))
        return hr;
    RegDeleteValueW(appId.Handle(), L"LocalService");
    return bService ? HResultFromError(appId.SetText(L"LocalService", serviceName)) : S_OK;
}

bool IsSameServiceName(const std::wstring& left, const wchar_t* right)
{
    return _wcsicmp(left.c_str(), right) == 0;
}

USHORT ReadInstalledPort(IServiceManager& services, SC_HANDLE manager, const std::wstring& name)
{
    CServiceHandle service;
    std::wstring imagePath;
    if (FAILED(services.OpenServiceEntry(manager, name.c_str(), SERVICE_QUERY_CONFIG, service)) ||
        FAILED(services.QueryImagePath(service.Get(), imagePath)))
        return 0;
    return ReadInstanceSettings(imagePath.c_str()).port;
}

// Notes what registering the source will change: its key, or the values of
// a key that is there already.
HRESULT NoteEventSource(const wchar_t* sourceName, CRegistryJournal& journal)
{
    std::wstring path = EventLogSourceKeyPath(sourceName);
    RegistryKey source;
    const LONG error = source.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ);
    if (error == ERROR_FILE_NOT_FOUND)
    {
        journal.NoteKeyCreated(HKEY_LOCAL_MACHINE, std::move(path));
        return S_OK;
    }
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    for (const wchar_t* valueName : {L"EventMessageFile", L"TypesSupported"})
    {
        CValueImage previous;
        const LONG readError = ReadValueImage(source.Handle(), valueName, previous);
        if (readError != ERROR_SUCCESS && readError != ERROR_FILE_NOT_FOUND)
            return HResultFromError(readError);
        journal.NoteValueWritten(HKEY_LOCAL_MACHINE, std::wstring(path), std::move(previous),
                                 readError == ERROR_SUCCESS);
    }
    return S_OK;
}

HRESULT RegisterEventSource(const wchar_t* sourceName, const std::wstring& program, CRegistryJournal& journal)
{
    const HRESULT hr = NoteEventSource(sourceName, journal);
    return FAILED(hr) ? hr : RegisterEventLogSource(sourceName, program.c_str());
}

}  // namespace

void CInstallationUndo::Keep()
{
    m_createdService.Reset();
    m_journal.Clear();
}

// A step that fails is written as an installation failure, with the
// system's text for its error, and the others go on.
void CInstallationUndo::Undo(const TraceWriter& writeTrace)
{
    if (m_createdService)
    {
        // The entry goes once its last handle is closed.
        const HRESULT hr = m_services.DeleteEntry(m_createdService.Get());
        if (FAILED(hr) && writeTrace)
            writeTrace(EventKind::InstallationFailed, DescribeError(L"Could not delete the created service", hr));
    }
    m_createdService.Reset();
    m_journal.Undo([&writeTrace](const std::wstring& keyName, LONG error) {
        if (writeTrace)
            writeTrace(EventKind::InstallationFailed,
                       DescribeError((L"Could not restore " + keyName).c_str(), HResultFromError(error)));
    });
}

// The program path comes first: without it there is nothing to install,
// and nothing has been changed yet.
HRESULT RegisterAppId(IServiceManager& services, const wchar_t* serviceName, const InstanceSettings& settings,
                      IScriptModule& module, const TraceWriter& writeTrace, bool bService, CInstallationUndo& undo)
{
    std::wstring program;
    HRESULT hr = GetProgramPath(program);
    if (FAILED(hr))
        return FailRegistration(writeTrace, 2, E_FAIL, hr);
    ServiceDefinition definition{BuildImagePath(program, settings.port, settings.agent, settings.cmd),
                                 L"ZeltAgent Service"};
    if (!settings.num.empty())
        definition.displayName += L" - " + settings.num;
    // The old service of the name goes with its Parameters key: the values
    // it held are kept where the line gives none.
    InstanceParameters parameters;
    if (bService)
        ReadStoredParameters(serviceName, parameters);
    parameters = MergeParameters(parameters, settings);
    HRESULT cause = S_OK;
    hr = WriteAppIdEntries(services, serviceName, definition, module, bService, undo, cause);
    if (FAILED(hr))
        return FailRegistration(writeTrace, 1, hr, cause);
    if (!bService)
        undo.Keep();
    hr = ConfigureService(services, serviceName, writeTrace);
    if (SUCCEEDED(hr) && bService &&
        FAILED(cause = HResultFromError(WriteStoredParameters(serviceName, parameters))))
        return FailRegistration(writeTrace, 11, E_FAIL, cause);
    return hr;
}

// The old service of the name goes first; installation waits until it is
// gone, so that the new one is never configured over an entry that is about
// to disappear.
HRESULT WriteAppIdEntries(IServiceManager& services, const wchar_t* serviceName, const ServiceDefinition& definition,
                          IScriptModule& module, bool bService, CInstallationUndo& undo, HRESULT& cause)
{
    cause = RemoveService(services, serviceName, true);
    if (FAILED(cause))
        return E_FAIL;
    const ScriptReplacement replacements[] = {{L"APPID", ZELT_APPID_TEXT}, {nullptr, nullptr}};
    cause = UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, true, replacements, &undo.Journal());
    if (SUCCEEDED(cause))
        cause = WriteLocalService(serviceName, bService, undo.Journal());
    if (FAILED(cause))
        return cause;
    if (bService && FAILED(cause = InstallService(services, serviceName, definition, undo)))
        return E_FAIL;
    return S_OK;
}

HRESULT RefreshAppIdEntries(const wchar_t* serviceName, IScriptModule& module, CInstallationUndo& undo)
{
    const ScriptReplacement replacements[] = {{L"APPID", ZELT_APPID_TEXT}, {nullptr, nullptr}};
    const HRESULT hr = UpdateRegistryFromScript(module, IDR_ZELTAGENTSVC, true, replacements, &undo.Journal());
    return FAILED(hr) ? hr : WriteLocalService(serviceName, true, undo.Journal());
}

HRESULT InstallService(IServiceManager& services, const wchar_t* serviceName, const ServiceDefinition& definition,
                       CInstallationUndo& undo)
{
    CServiceHandle manager;
    HRESULT hr = services.OpenManager(SC_MANAGER_ALL_ACCESS, manager);
    if (FAILED(hr))
        return ShowFailure(serviceName, IDS_CANNOT_OPEN_MANAGER, L"Could not open Service Manager", hr);
    CServiceHandle service;
    hr = services.CreateServiceEntry(manager.Get(), serviceName, definition.displayName.c_str(), SERVICE_AUTO_START,
                                     definition.imagePath.c_str(), L"RPCSS\0", service);
    if (FAILED(hr))
    {
        manager.Reset();
        return ShowFailure(serviceName, IDS_CANNOT_CREATE_SERVICE, L"Could not start service", hr);
    }
    undo.NoteServiceCreated(std::move(service));
    return S_OK;
}

bool IsServiceInstalled(IServiceManager& services, const wchar_t* serviceName)
{
    CServiceHandle manager;
    if (FAILED(services.OpenManager(SC_MANAGER_ALL_ACCESS, manager)))
        return false;
    CServiceHandle service;
    return SUCCEEDED(services.OpenServiceEntry(manager.Get(), serviceName, SERVICE_QUERY_CONFIG, service));
}

std::wstring FindPortOwner(IServiceManager& services, const std::wstring& baseName, const wchar_t* serviceName,
                           USHORT port)
{
    CServiceHandle manager;
    std::vector<std::wstring> names;
    if (FAILED(services.OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE, manager)) ||
        FAILED(services.ListServices(manager.Get(), names)))
        return std::wstring();
    for (const std::wstring& name : names)
    {
        if (IsInstanceName(name, baseName) && !IsSameServiceName(name, serviceName) &&
            ReadInstalledPort(services, manager.Get(), name) == port)
            return name;
    }
    return std::wstring();
}

HRESULT RegisterEventSources(const wchar_t* baseName, const wchar_t* serviceName, CInstallationUndo& undo)
{
    std::wstring program;
    HRESULT hr = GetProgramPath(program);
    if (SUCCEEDED(hr))
        hr = RegisterEventSource(baseName, program, undo.Journal());
    if (SUCCEEDED(hr) && wcscmp(baseName, serviceName) != 0)
        hr = RegisterEventSource(serviceName, program, undo.Journal());
    return hr;
}
