// The one module object of the process: it carries the instance settings, the
// agent hold and every operation of the host.
#pragma once

#include <windows.h>

#include <string>

#include "resources/Guids.h"
#include "resources/ResourceIds.h"
#include "runtime/ServiceModuleT.h"

class CZeltAgentSvcModule : public CServiceModuleT<CZeltAgentSvcModule, IDS_SERVICENAME>
{
public:
    CZeltAgentSvcModule();
    ~CZeltAgentSvcModule() override;

    HRESULT AddScriptReplacements(IRegistrarBase* pRegistrar) override;

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

    // Agent hold.
    HANDLE m_hAgentProcess = nullptr;
    HANDLE volatile m_hAgentWait = nullptr;

    // Installation and removal of the instance's service.
    bool IsServiceInstalled();
    bool InstallService();
    HRESULT WriteAppIdEntries(bool bService);

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
};

// The directory of this program's file without a trailing backslash (the
// whole name when it holds no backslash, empty when it cannot be read).
std::wstring GetOwnDirectory();
