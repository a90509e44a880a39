// The supervisor the output benchmark drives, apart from the benchmark's own
// helpers (whose handle owners bear the host's names).
#include "agent/Socket.h"  // Windows Sockets before windows.h

#include "OutputBenchAgent.h"

#include "agent/AgentSupervisor.h"

void* StartBenchAgent(const std::wstring& commandLine, bool bOutput, const std::wstring& folder,
                      unsigned long long rotateBytes)
{
    AgentSettings settings;
    settings.agent = L"no-such-image.exe";
    settings.cmd = commandLine;
    settings.quickEndMs = 200;
    settings.output = {bOutput, folder, rotateBytes, 2};
    auto* supervisor = new CAgentSupervisor(settings, nullptr);
    if (SUCCEEDED(supervisor->Start()))
        return supervisor;
    delete supervisor;
    return nullptr;
}

void StopBenchAgent(void* supervisor)
{
    auto* held = static_cast<CAgentSupervisor*>(supervisor);
    held->Stop();
    delete held;
}
