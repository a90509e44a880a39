// The supervisor the output benchmark drives, apart from the benchmark's own
// helpers (whose handle owners bear the host's names).
#include "agent/Socket.h"  // Windows Sockets before windows.h

#include "OutputBenchAgent.h"

#include <vector>

#include "agent/AgentOutput.h"
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

// The floor: only what a launch with output needs, the same capture (pipe,
// null device, thread-pool reads into the rotated file), the creation with
// the two handles listed, the wait for the end and the drain; no search,
// no job, no wait registration.
bool RunPipeFloor(const std::wstring& commandLine, const std::wstring& folder, unsigned long long rotateBytes,
                  unsigned count)
{
    AgentSettings settings;
    settings.output = {true, folder, rotateBytes, 2};
    const TraceWriter none;
    for (unsigned launch = 0; launch <= count; ++launch)
    {
        CAgentOutput output(settings, none);
        if (output.Open() != ERROR_SUCCESS)
            return false;
        const AgentStdHandles handles = output.StdHandles();
        HANDLE inherited[2] = {handles.input, handles.output};
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<BYTE> buffer(size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
            return false;
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof(inherited), nullptr,
                                  nullptr);
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof(startup);
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = handles.input;
        startup.StartupInfo.hStdOutput = handles.output;
        startup.StartupInfo.hStdError = handles.output;
        startup.lpAttributeList = list;
        std::wstring line = commandLine;
        PROCESS_INFORMATION info{};
        const BOOL bCreated = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE,
                                             EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr, nullptr,
                                             &startup.StartupInfo, &info);
        DeleteProcThreadAttributeList(list);
        if (!bCreated)
            return false;
        CProcessInformation process;
        process.Adopt(info);
        output.BeginReading();
        WaitForSingleObject(process.process.Get(), INFINITE);
        output.Drain(500);
    }
    return true;
}
