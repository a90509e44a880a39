// Windows Sockets must come before windows.h.
#include "agent/Socket.h"

#include "host/ZeltAgentSvcModule.h"

#include "base/Console.h"
#include "base/EventSourceRegistration.h"
#include "base/ModulePath.h"
#include "base/Result.h"
#include "base/Text.h"
#include "instance/Elevation.h"
#include "instance/Installation.h"
#include "instance/Messages.h"
#include "instance/Removal.h"
#include "registrar/PerUserFlag.h"
#include "registrar/RegistrarBase.h"
#include "runtime/ComRegistration.h"

namespace {

// The directory of this program's file (empty when it cannot be read). A
// path too long for the buffer is taken as far as it was read: its
// directory is still whole when only the file name was cut.
std::wstring GetOwnDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = 0;
    const HRESULT hr = ReadModulePath(nullptr, path, length);
    if (FAILED(hr) && hr != HResultFromError(ERROR_INSUFFICIENT_BUFFER))
        return std::wstring();
    return DirectoryOfPath(std::wstring(path, length));
}

// The service base name, string resource 100 of the program's own image.
std::wstring LoadBaseName()
{
    wchar_t baseName[CZeltAgentSvcModule::kServiceNameUnits] = L"";
    LoadStringW(g_pBaseRecord != nullptr ? g_pBaseRecord->m_hInstResource : GetModuleHandleW(nullptr),
                IDS_SERVICENAME, baseName, CZeltAgentSvcModule::kServiceNameUnits);
    return baseName;
}

// Commands that change the machine: the service database, HKEY_CLASSES_ROOT
// and the event sources. A registration per user changes only the user's
// branch.
bool ChangesTheMachine(const InstanceDecision& decision)
{
    switch (decision.action)
    {
    case InstanceAction::RemoveInstance:
    case InstanceAction::InstallService:
    case InstanceAction::RefreshRegistration:
        return true;
    case InstanceAction::RegisterServer:
    case InstanceAction::UnregisterServer:
        return !decision.bPerUser;
    case InstanceAction::Run:
    case InstanceAction::Refuse:
    case InstanceAction::ShowStatus:
        break;
    }
    return false;
}

// The service manager waits this long after PRESHUTDOWN: the whole stop,
// STOP_PENDING's wait hint included, must fit with room to spare.
static_assert(kServicePreshutdownTimeoutMs >
                  CAgentSupervisor::kStopWorstCaseMs + CZeltAgentSvcModule::kStopMarginMs,
              "the preshutdown time-out covers the agent's worst stop");

}  // namespace

CZeltAgentSvcModule::CZeltAgentSvcModule()
{
    m_dwStopWaitHintMs = CAgentSupervisor::kStopWorstCaseMs + kStopMarginMs;
    try
    {
        m_dir = GetOwnDirectory();
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
    AgentSettings agent{m_settings.agent, m_settings.cmd, m_dir, m_settings.port};
    agent.instance = m_serviceName;
    TakeParameters(agent);
    // Only a service has a key to publish its status under.
    if (m_bRunAsService)
        m_statusPublisher.Start(m_serviceName, m_settings.agent);
    m_pAgent = std::make_unique<CAgentSupervisor>(agent, MakeTraceWriter(), &m_statusPublisher);
    hr = m_pAgent->Start();
    if (FAILED(hr))
    {
        m_statusPublisher.Stop();
        return FailPreMessageLoop(3, hr);
    }
    return S_OK;
}

// A service reads its instance's stored parameters; a run in place takes
// the ones its line gives (each over its default).
void CZeltAgentSvcModule::TakeParameters(AgentSettings& agent) const
{
    InstanceParameters stored;
    if (m_bRunAsService)
        ReadStoredParameters(m_serviceName, stored);
    const InstanceParameters parameters = MergeParameters(stored, m_settings);
    agent.output.bOn = parameters.values[kOutputParameter] != 0;
    agent.output.rotateBytes = static_cast<ULONGLONG>(parameters.values[kOutputSizeParameter]) * 1024 * 1024;
    agent.output.keepFiles = parameters.values[kOutputKeepParameter];
    agent.probeSeconds = parameters.values[kProbeParameter];
}

HRESULT CZeltAgentSvcModule::FailPreMessageLoop(int point, HRESULT hr)
{
    const std::wstring words = FormatText(L"==> PreMessageLoop: end_fail-%d.", point);
    WriteTrace(*this, EventKind::RunFailed, DescribeError(words.c_str(), hr) + m_summary);
    return hr;
}

HRESULT CZeltAgentSvcModule::ShutdownAgent()
{
    if (m_pAgent)
        m_pAgent->Stop([this] { ReportProgress(); },
                       IsQuickStop() ? CAgentSupervisor::kQuickStop : CAgentSupervisor::kFullStop);
    m_statusPublisher.Stop();
    WSACleanup();
    const HRESULT hr = RevokeClassTable();
    if (m_bIdleShutdown)
        Sleep(m_dwExitPause);
    return hr;
}

namespace {

// The "==> " lines of failed steps carry the instance's settings; the
// records of the agent's life do not.
bool IsFailureTrace(EventKind kind)
{
    return kind == EventKind::LaunchFailed || kind == EventKind::RunFailed || kind == EventKind::RegistrationFailed ||
           kind == EventKind::ExitWaitFailed;
}

}  // namespace

TraceWriter CZeltAgentSvcModule::MakeTraceWriter()
{
    return [this](EventKind kind, const std::wstring& line) {
        WriteTrace(*this, kind, IsFailureTrace(kind) ? line + m_summary : std::wstring(line));
    };
}

bool CZeltAgentSvcModule::ParseArguments(const wchar_t* commandLine, HRESULT& result)
{
    const HostCommand command = ReadHostCommand(commandLine, LoadBaseName());
    m_settings = command.settings;
    wmemcpy(m_serviceName, command.serviceName.c_str(), command.serviceName.size() + 1);
    result = S_OK;
    TakeFirstFailure();  // a command starts with no failure told
    BuildSummary();
    if (command.decision.action == InstanceAction::Run)
        return true;
    if (command.decision.bPerUser)
        g_bPerUserRegistration = true;
    result = CarryOut(command);
    if (FAILED(result) && !m_bToldUser)
        TellFailure(result);
    return false;
}

HRESULT CZeltAgentSvcModule::Refuse(const std::wstring& reason)
{
    TellUser(reason);
    return E_INVALIDARG;
}

void CZeltAgentSvcModule::TellUser(const std::wstring& text)
{
    PrintLine((std::wstring(m_serviceName) + L": " + text).c_str());
    m_bToldUser = true;
}

// One line for whoever ran the command: the first failure a step told of,
// with its error code.
void CZeltAgentSvcModule::TellFailure(HRESULT result)
{
    std::wstring failure = TakeFirstFailure();
    if (failure.empty())
        failure = DescribeError(L"Failed", result);
    TellUser(failure);
}

// Refused at once, before anything is changed: without elevation the
// registry and the service manager would refuse part of the work.
HRESULT CZeltAgentSvcModule::RefuseWithoutElevation()
{
    const HRESULT denied = HResultFromError(ERROR_ACCESS_DENIED);
    ShowMessage(m_serviceName, IDS_NOT_ELEVATED,
                L"Run this command from an elevated prompt (Run as administrator); nothing was changed", denied);
    TellUser(TakeFirstFailure());
    return denied;
}

void CZeltAgentSvcModule::BuildSummary()
{
    m_summary = DescribeInstance(m_dir, m_settings, m_serviceName);
}

HRESULT CZeltAgentSvcModule::CarryOut(const HostCommand& command)
{
    if (ChangesTheMachine(command.decision) && !g_pfnIsProcessElevated())
        return RefuseWithoutElevation();
    switch (command.decision.action)
    {
    case InstanceAction::Refuse:
        return Refuse(command.refusal);
    case InstanceAction::RemoveInstance:
        return RemoveInstance();
    case InstanceAction::RegisterServer:
        return RegisterServer(false);
    case InstanceAction::InstallService:
        return RegisterServer(true);
    case InstanceAction::UnregisterServer:
        return UnregisterServer();
    case InstanceAction::RefreshRegistration:
        return RefreshRegistration();
    case InstanceAction::ShowStatus:
        return ShowStatus(command.settings);
    case InstanceAction::Run:
        break;
    }
    return S_OK;
}

// A port that another instance's agent listens on would have this
// instance's stop send that agent its shutdown line.
HRESULT CZeltAgentSvcModule::RegisterServer(bool bService)
{
    if (bService)
    {
        const std::wstring owner = FindPortOwner(m_serviceManager, LoadBaseName(), m_serviceName, m_settings.port);
        if (!owner.empty())
            return Refuse(FormatText(L"Refused: port %hu is used by the instance %s; nothing was installed.",
                                     m_settings.port, owner.c_str()));
    }
    // The type library is registered last, so that its failure undoes all
    // the rest; what a failed type library registration wrote is not undone.
    CInstallationUndo undo(m_serviceManager);
    HRESULT hr = RegisterAppId(m_serviceManager, m_serviceName, m_settings, *this, MakeTraceWriter(), bService, undo);
    // Event sources are the machine's: a registration per user has none.
    if (SUCCEEDED(hr) && !g_bPerUserRegistration)
        hr = RegisterEventSources(LoadBaseName().c_str(), m_serviceName, undo);
    if (SUCCEEDED(hr))
        hr = RegisterComClasses(true, nullptr);
    if (FAILED(hr))
        undo.Undo(MakeTraceWriter());
    return hr;
}

// What an upgrade whose host registers otherwise needs: the AppID entries
// with "LocalService" naming this instance, the event sources and the type
// library written again, the instance's service (which must be installed)
// left as it is, with whatever an administrator set on it.
HRESULT CZeltAgentSvcModule::RefreshRegistration()
{
    if (!IsServiceInstalled(m_serviceManager, m_serviceName))
    {
        const HRESULT hr = HResultFromError(ERROR_SERVICE_DOES_NOT_EXIST);
        NoteFailure(DescribeError(L"The instance to register for is not installed", hr));
        return hr;
    }
    CInstallationUndo undo(m_serviceManager);
    HRESULT hr = RefreshAppIdEntries(m_serviceName, *this, undo);
    if (SUCCEEDED(hr))
        hr = RegisterEventSources(LoadBaseName().c_str(), m_serviceName, undo);
    if (SUCCEEDED(hr))
        hr = RegisterComClasses(true, nullptr);
    if (FAILED(hr))
        undo.Undo();
    return hr;
}

// The instance's service and its event source go; the base name's source
// stays with the module's registration.
HRESULT CZeltAgentSvcModule::RemoveInstance()
{
    if (FAILED(UninstallService(m_serviceManager, m_serviceName)))
        return E_FAIL;
    const HRESULT hr = UnregisterEventLogSource(m_serviceName);
    if (FAILED(hr))
        NoteFailure(DescribeError(L"Could not remove the event source", hr));
    return SUCCEEDED(hr) ? S_OK : E_FAIL;
}

// Needs no elevation: the service manager lets every user list and query
// the instances, and the status keys are as readable as the services' keys.
HRESULT CZeltAgentSvcModule::ShowStatus(const InstanceSettings& settings)
{
    const std::wstring baseName = LoadBaseName();
    std::vector<InstanceStatus> instances;
    const HRESULT hr = CollectInstanceStatus(m_serviceManager, baseName,
                                             settings.num.empty() ? std::wstring() : std::wstring(m_serviceName),
                                             instances);
    if (FAILED(hr))
    {
        NoteFailure(DescribeError(L"Could not read the instances", hr));
        return hr;
    }
    // One print: a process without standard output attaches to its
    // parent's console once, and the lines of one report stay together.
    const ULONGLONG now = CurrentFileTime();
    std::wstring report;
    if (settings.bJson)
        report = FormatStatusJson(instances, now);
    else if (instances.empty())
        report = settings.num.empty() ? L"No instance of " + baseName + L" is installed."
                                      : std::wstring(m_serviceName) + L": not installed";
    for (size_t i = 0; !settings.bJson && i < instances.size(); ++i)
        report += (i > 0 ? L"\n" : L"") + FormatStatusLine(instances[i], now);
    PrintLine(report.c_str());
    return StatusExitCode(instances);
}

HRESULT CZeltAgentSvcModule::UnregisterServer()
{
    HRESULT hr = UnregisterComClasses(true, nullptr);
    if (SUCCEEDED(hr))
        hr = RemoveAppId(m_serviceManager, m_serviceName, *this);
    if (SUCCEEDED(hr) && !g_bPerUserRegistration)
        hr = UnregisterEventLogSource(m_serviceName);
    return hr;
}

HRESULT CZeltAgentSvcModule::AddScriptReplacements(IRegistrarBase* pRegistrar)
{
    return pRegistrar->SetReplacement(L"APPID", ZELT_APPID_TEXT);
}
