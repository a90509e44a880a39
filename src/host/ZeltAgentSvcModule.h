// The one module object of the process: what the module chain and the
// service runtime give it, and the instance settings, the agent's supervisor
// and the installation steps that it composes.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "agent/AgentSupervisor.h"
#include "host/StatusReport.h"
#include "instance/InstanceSettings.h"
#include "instance/ServiceManager.h"
#include "resources/Guids.h"
#include "resources/ResourceIds.h"
#include "runtime/ServiceModuleT.h"

class CZeltAgentSvcModule : public CServiceModuleT<CZeltAgentSvcModule, IDS_SERVICENAME>
{
public:
    CZeltAgentSvcModule();
    ~CZeltAgentSvcModule() override;

    // The module's AppID: names HKEY_CLASSES_ROOT\AppID\{...} that holds "LocalService".
    static constexpr const wchar_t* kAppIdText = ZELT_APPID_TEXT;
    // What STOP_PENDING's wait hint adds to the agent's stop.
    static constexpr DWORD kStopMarginMs = 1000;

    // Reads the command line once (ReadHostCommand) into the instance
    // settings and the service name, and carries out any registration,
    // installation, removal or status report it asks for. True: go on to
    // the run step; false: end the process with `result`.
    bool ParseArguments(const wchar_t* commandLine, HRESULT& result);

    // The pre-loop step: the module's own pre-loop work, Windows Sockets and
    // the agent's start under a supervisor of its own.
    HRESULT PreMessageLoop(int showCommand);
    // The post-loop step: the agent's stop through its control port, quick
    // when SHUTDOWN alone began it.
    HRESULT ShutdownAgent();

    HRESULT AddScriptReplacements(IRegistrarBase* pRegistrar) override;

    // The service layer took the name the service manager passed: the
    // summary shows it.
    void OnServiceNamed() { BuildSummary(); }

    // Written only by ParseArguments, and the directory of the program by
    // construction.
    const InstanceSettings& Settings() const { return m_settings; }
    const std::wstring& Directory() const { return m_dir; }
    // The settings as failure traces show them.
    const std::wstring& Summary() const { return m_summary; }
    // The agent's supervisor; none before the pre-loop step has come to it.
    const CAgentSupervisor* AgentSupervisor() const { return m_pAgent.get(); }

private:
    void BuildSummary();
    HRESULT CarryOut(const HostCommand& command);
    // Prints why the command line is refused; E_INVALIDARG.
    HRESULT Refuse(const std::wstring& reason);
    HRESULT RefuseWithoutElevation();
    void TellFailure(HRESULT result);
    // One line on the console of whoever ran the command, after the name.
    void TellUser(const std::wstring& text);
    HRESULT RemoveInstance();
    // Prints what the installed instances (or the numbered one) are doing.
    HRESULT ShowStatus(const InstanceSettings& settings);
    HRESULT RegisterServer(bool bService);
    HRESULT RefreshRegistration();
    HRESULT UnregisterServer();
    HRESULT FailPreMessageLoop(int point, HRESULT hr);
    // The output and probe settings the agent's supervisor gets.
    void TakeParameters(AgentSettings& agent) const;
    // Trace lines with the summary, under the service name.
    TraceWriter MakeTraceWriter();

    InstanceSettings m_settings;
    std::wstring m_dir;
    std::wstring m_summary;
    CSystemServiceManager m_serviceManager;
    // Told by the supervisor, so it outlives it.
    CStatusPublisher m_statusPublisher;
    std::unique_ptr<CAgentSupervisor> m_pAgent;
    bool m_bToldUser = false;  // the command's one line is printed
};
