// Removing an instance: stop and delete its service, then (for the whole
// module) the AppID entries.
#pragma once

#include <windows.h>

#include "instance/ServiceManager.h"
#include "registrar/RegistrarBase.h"

// Asks the service to stop and deletes it without waiting for the stop.
// True when it is gone or marked for deletion, or never existed; a message
// box tells any other outcome.
bool UninstallService(IServiceManager& services, const wchar_t* serviceName);

// The same, or for a reinstallation (`bReplace`): the old service is
// stopped, deleted and waited for until the service manager has forgotten
// it, each wait bounded.
bool RemoveService(IServiceManager& services, const wchar_t* serviceName, bool bReplace);

// Removes the service, "LocalService" and the module script's AppID entries.
HRESULT RemoveAppId(IServiceManager& services, const wchar_t* serviceName, IScriptModule& module);
