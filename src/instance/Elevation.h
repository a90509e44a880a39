// Whether the process may change the machine: installation and registration
// write the service database and HKEY_CLASSES_ROOT, which a token that is not
// elevated may not (and which an unmanifested program's writes would have
// "succeeded" into the user's VirtualStore).
#pragma once

#include <windows.h>

// True when the process token is elevated, or when the system cannot tell
// (a system without elevation).
bool IsProcessElevated();

// The check the host makes, replaceable by tests: Wine's token is always
// elevated.
using ElevationCheck = bool (*)();
extern ElevationCheck g_pfnIsProcessElevated;
