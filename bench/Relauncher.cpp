// The benchmark's baseline supervisor: a windowless GUI-subsystem program,
// like the host, that creates an agent, waits for its end and creates it
// again, and nothing else.
//   ZeltRelauncher.exe COUNT AGENT-COMMAND-LINE
// creates the agent COUNT + 1 times (the first start and COUNT relaunches)
// and ends when the last agent has ended. With COUNT 0 it only waits: the
// benchmark's idle program. Exit code 0, or 1 when a creation failed.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// Skips the program name, quoted or not, and the blanks after it.
const wchar_t* SkipProgramName(const wchar_t* line)
{
    if (*line == L'"')
    {
        const wchar_t* end = wcschr(line + 1, L'"');
        line = end != nullptr ? end + 1 : line + wcslen(line);
    }
    else
        line += wcscspn(line, L" \t");
    return line + wcsspn(line, L" \t");
}

bool RunAgentOnce(const std::wstring& commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t* rest = nullptr;
    const unsigned long count = wcstoul(SkipProgramName(GetCommandLineW()), &rest, 10);
    const std::wstring agentLine = rest + wcsspn(rest, L" \t");
    for (unsigned long started = 0; started <= count; ++started)
    {
        if (!RunAgentOnce(agentLine))
            return 1;
    }
    return 0;
}
