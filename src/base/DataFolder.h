// The machine's folder for program data, read the same way by the service
// and by a command run by hand.
#pragma once

#include <string>

// The ProgramData folder from the ProfileList key (its value expanded), else
// %ProgramData% of the process; empty when neither is there. The key is the
// same for every account, while a service's environment block can name
// another folder than an administrator's shell.
std::wstring ReadProgramDataFolder();

// Under it, the host's folder holds one folder per instance, and each of
// those the agent's current output file: the service writes there and
// /status names it.
constexpr wchar_t kHostDataFolder[] = L"\\ZeltAgentSvc";
constexpr wchar_t kOutputFileName[] = L"agent.log";
