// Removing an instance: stop and delete its service, then (for the whole
// module) the AppID entries.
#pragma once

#include <windows.h>

#include "instance/ServiceManager.h"
#include "registrar/RegistrarBase.h"

// Asks the service to stop and deletes it without waiting for the stop.
// S_OK when it is gone or marked for deletion, or never existed; otherwise
// a message box has told the outcome, and the result is the error of the
// call that failed (for a wait that ran out, the timeout's).
HRESULT UninstallService(IServiceManager& services, const wchar_t* serviceName);

// The same, or for a reinstallation (`bReplace`): the old service is
// stopped, deleted and waited for until the service manager has forgotten
// it, each wait bounded.
HRESULT RemoveService(IServiceManager& services, const wchar_t* serviceName, bool bReplace);

// Removes the service, "LocalService" and the module script's AppID entries;
// E_FAIL when the service could not be removed.
HRESULT RemoveAppId(IServiceManager& services, const wchar_t* serviceName, IScriptModule& module);
