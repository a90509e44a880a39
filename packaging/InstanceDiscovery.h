// The instances the installer package looks after: every service whose
// command line starts the host in the install folder, read from the service
// manager.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "SetupArguments.h"
#include "instance/ServiceManager.h"

// Every instance whose service runs `host`, whoever installed it. A service
// manager that cannot be opened or listed, or a service of an instance's
// name that cannot be read, fails the search with the system's error, and
// `failure` says which call failed: an instance left out would be left
// running on files that an uninstall deletes or an upgrade replaces. A
// service deleted while the search runs is not an instance.
HRESULT FindInstances(IServiceManager& services, const std::wstring& host, std::vector<SetupInstance>& instances,
                      std::wstring& failure);
