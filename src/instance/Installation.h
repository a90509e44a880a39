// Installing an instance: the AppID entries, "LocalService", and a service
// entry configured with the instance settings in its command line.
#pragma once

#include <windows.h>

#include "base/EventLog.h"
#include "instance/InstanceSettings.h"
#include "instance/ServiceManager.h"
#include "registrar/RegistrarBase.h"

// Writes the AppID entries (and, for the service, installs it) and
// configures the service of `serviceName` with the instance settings in its
// command line, its display name, automatic start and three immediate
// restarts. Each failure point writes one trace line through `writeTrace`
// and returns its result.
HRESULT RegisterAppId(IServiceManager& services, const wchar_t* serviceName, const InstanceSettings& settings,
                      IScriptModule& module, const TraceWriter& writeTrace, bool bService);

// Removes an old service of the name (waiting until it is gone), registers
// the module's script, and sets "LocalService" to the service name when
// installing a service (which it then creates), or removes it.
HRESULT WriteAppIdEntries(IServiceManager& services, const wchar_t* serviceName, IScriptModule& module,
                          bool bService);

// Creates the service, on demand start and depending on RPCSS, unless it
// exists; a message box tells a failure.
bool InstallService(IServiceManager& services, const wchar_t* serviceName);

bool IsServiceInstalled(IServiceManager& services, const wchar_t* serviceName);

// Registers the event sources the host writes under, with the program's
// message table: the base name (registration, and an instance without a
// number) and the instance's own name (its installation and its running
// service).
HRESULT RegisterEventSources(const wchar_t* baseName, const wchar_t* serviceName);
