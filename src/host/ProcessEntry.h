// The process entry: reads the command line and carries out its one action.
#pragma once

#include "host/ZeltAgentSvcModule.h"

// The show command the process was started with: the start-up information's
// value when it carries one, otherwise SW_SHOWDEFAULT.
int GetStartupShowCommand();

// Returns the process exit code: -1 after a failed start-up, the result of the
// command line's action, or the result of the run step.
int RunProcessEntry(CZeltAgentSvcModule& module, const wchar_t* commandLine, int showCommand);
