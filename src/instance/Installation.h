// Installing an instance: the AppID entries, "LocalService", the event
// sources and a service entry created with the instance settings in its
// command line; and taking all of it back when a step fails.
#pragma once

#include <windows.h>

#include <string>

#include "base/EventLog.h"
#include "instance/InstanceSettings.h"
#include "instance/ServiceManager.h"
#include "registrar/RegistrarBase.h"
#include "registrar/RegistryJournal.h"

// What one installation or registration command has changed: the service
// it created and every registry change it made (the registration script's,
// "LocalService", the event sources), so that a failure at a later step
// leaves the machine as the command found it.
class CInstallationUndo
{
public:
    explicit CInstallationUndo(IServiceManager& services) : m_services(services) {}
    CInstallationUndo(const CInstallationUndo&) = delete;
    CInstallationUndo& operator=(const CInstallationUndo&) = delete;

    CRegistryJournal& Journal() { return m_journal; }
    // The service this command created, open with the right to delete it.
    void NoteServiceCreated(CServiceHandle&& service) { m_createdService = std::move(service); }
    // What is done so far stays, whatever follows.
    void Keep();
    // Deletes the service this command created and takes every registry
    // change back, the last first. Best effort: a step that fails does not
    // stop the others, and is written through `writeTrace` (when given).
    void Undo(const TraceWriter& writeTrace = nullptr);

private:
    IServiceManager& m_services;
    CServiceHandle m_createdService;
    CRegistryJournal m_journal;
};

// How long the service manager waits for the service's stop after
// PRESHUTDOWN: the agent's worst stop (about 6 s) with room for the run's
// own end. The host checks at build time that it covers that stop.
constexpr DWORD kServicePreshutdownTimeoutMs = 10000;

// What the service is created with: its command line, carrying the instance
// settings, and its display name.
struct ServiceDefinition
{
    std::wstring imagePath;
    std::wstring displayName;
};

// Writes the AppID entries (and, for the service, creates it with its whole
// configuration) and configures the service of `serviceName`: three
// immediate restarts, an access list that gives others than administrators
// and the system no control, and the preshutdown time-out. Each failure point writes one
// trace line, with the system's text for the error, through `writeTrace`
// and returns the result the process ends with; `undo` holds what was
// changed. Without the service flag, the entries written stay: that
// registration ends, as it always has, at the missing service.
HRESULT RegisterAppId(IServiceManager& services, const wchar_t* serviceName, const InstanceSettings& settings,
                      IScriptModule& module, const TraceWriter& writeTrace, bool bService, CInstallationUndo& undo);

// Removes an old service of the name (waiting until it is gone), registers
// the module's script, and sets "LocalService" to the service name when
// installing a service (which it then creates), or removes it. Returns E_FAIL
// when the old service could not be removed or the new one not created, else
// the failing step's result; `cause` receives the error of the call that
// failed.
HRESULT WriteAppIdEntries(IServiceManager& services, const wchar_t* serviceName, const ServiceDefinition& definition,
                          IScriptModule& module, bool bService, CInstallationUndo& undo, HRESULT& cause);

// Applies the module's registration script and points "LocalService" at
// the service of `serviceName`, which the caller knows to be installed; no
// service is removed or changed. What it writes goes into `undo`.
HRESULT RefreshAppIdEntries(const wchar_t* serviceName, IScriptModule& module, CInstallationUndo& undo);

// Creates the service in one call with its definition: automatic start, its
// own process, depending on RPCSS. A message box tells a failure; the result
// is the error of the call that failed.
HRESULT InstallService(IServiceManager& services, const wchar_t* serviceName, const ServiceDefinition& definition,
                       CInstallationUndo& undo);

bool IsServiceInstalled(IServiceManager& services, const wchar_t* serviceName);

// The installed instance of this host (the service named `baseName`, or
// `baseName-...`) other than `serviceName` whose command line, read as the
// host reads its own, carries `port`; empty when there is none, or when
// the services cannot be listed (the installation then tells why it
// cannot open the service manager).
std::wstring FindPortOwner(IServiceManager& services, const std::wstring& baseName, const wchar_t* serviceName,
                           USHORT port);

// Registers the event sources the host writes under, with the program's
// message table: the base name (registration, and an instance without a
// number) and the instance's own name (its installation and its running
// service). What it writes goes into `undo`.
HRESULT RegisterEventSources(const wchar_t* baseName, const wchar_t* serviceName, CInstallationUndo& undo);
