// The one module object of the process: it carries the instance settings, the
// agent hold and every operation of the host.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "agent/AgentSupervisor.h"
#include "base/Handles.h"
#include "resources/Guids.h"
#include "resources/ResourceIds.h"
#include "runtime/ServiceModuleT.h"

class ServiceHandle;

class CZeltAgentSvcModule : public CServiceModuleT<CZeltAgentSvcModule, IDS_SERVICENAME>
{
public:
    CZeltAgentSvcModule();
    ~CZeltAgentSvcModule() override;

    HRESULT AddScriptReplacements(IRegistrarBase* pRegistrar) override;

    // The module's AppID: names HKEY_CLASSES_ROOT\AppID\{...} that holds "LocalService".
    static constexpr const wchar_t* kAppIdText = ZELT_APPID_TEXT;

    // Reads the command line into the instance settings and carries out any
    // registration, installation or removal it asks for. True: go on to the
    // run step; false: end the process with `result`.
    bool ParseArguments(const wchar_t* commandLine, HRESULT& result);

    // The operations the command line leads to. Virtual so that tests can
    // observe the command-line decision without touching the system.
    virtual bool UninstallService();
    virtual HRESULT RegisterAppId(bool bService);
    virtual HRESULT RemoveAppId();
    virtual HRESULT RegisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass);
    virtual HRESULT UnregisterComClasses(bool bTypeLibrary, const CLSID* pOnlyClass);

    // Instance settings: written only by construction (dir) and ParseArguments.
    USHORT port = 0;
    std::wstring agent;
    std::wstring cmd;
    std::wstring num;
    std::wstring dir;
    std::wstring summary;

    // The pre-loop step: the module's own pre-loop work, Windows Sockets and
    // the agent's start under a supervisor of its own.
    HRESULT PreMessageLoop(int showCommand) override;
    // The post-loop step: the agent's stop through its control port.
    HRESULT ShutdownAgent() override;

    // The agent's supervisor; none before the pre-loop step has come to it.
    const CAgentSupervisor* AgentSupervisor() const { return m_pAgent.get(); }

    // Installation and removal of the instance's service.
    bool IsServiceInstalled();
    bool InstallService();
    HRESULT WriteAppIdEntries(bool bService);

    // The service layer took the name the service manager passed: the
    // summary shows it.
    void OnServiceNamed() { BuildSummary(); }

private:
    bool ReadInstanceSwitches(const wchar_t* commandLine);
    bool SetServiceName();
    void BuildSummary();
    bool RunRegistrationPass(const wchar_t* commandLine, HRESULT& result);
    bool RunServicePass(const wchar_t* commandLine, HRESULT& result);
    HRESULT RegisterServer(bool bService);
    HRESULT UnregisterServer();
    HRESULT ConfigureService(const std::wstring& imagePath, const std::wstring& displayName, SC_ACTION* actions);
    HRESULT FailRegistration(int point, HRESULT hr);
    void RequestServiceStop(SC_HANDLE service);
    bool RemoveService(bool bReplace);
    bool ReplaceService(SC_HANDLE manager, ServiceHandle& service);
    bool WaitForServiceStopped(SC_HANDLE service);
    bool WaitForServiceForgotten(SC_HANDLE manager);

    HRESULT FailPreMessageLoop(int point, HRESULT hr);

    std::unique_ptr<CAgentSupervisor> m_pAgent;
};

// The directory of this program's file (empty when it cannot be read).
std::wstring GetOwnDirectory();
