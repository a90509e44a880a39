// The benchmark's baseline supervisors: windowless GUI-subsystem programs,
// like the host, that the benchmark starts detached from any console, as the
// service manager starts the host (so that each console agent they create
// gets a console of its own, as the service's agents do).
//   ZeltRelauncher.exe COUNT AGENT-COMMAND-LINE
//     the minimal relauncher: creates the agent, waits for its end and
//     creates it again, nothing else;
//   ZeltRelauncher.exe --floor IMAGE COUNT AGENT-COMMAND-LINE
//     the design's floor: exactly the work the host's design does for each
//     end of its agent and nothing more: a process search by image name
//     (Toolhelp), the creation (suspended, put into a job of its own, then
//     resumed) and the registration of a wait whose callback, on the wait
//     pool, does the same again.
//   ZeltRelauncher.exe --check-floor SECONDS PORT AGENT-COMMAND-LINE
//     the floor of a probing instance's checks: creates the agent once and
//     waits for its end while a thread-pool timer, every SECONDS, makes the
//     least a connection check can make: a socket, made non-blocking, one
//     connect to 127.0.0.1:PORT, one wait of at most 200 ms for it, closed.
// The first two create the agent COUNT + 1 times (the first start and COUNT
// relaunches) and ends when the last agent has ended. With COUNT 0 the
// minimal one only waits: the benchmark's idle program. Exit code 0, or 1
// when a creation failed.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>

namespace {

// Skips one argument, quoted or not, and the blanks after it.
const wchar_t* SkipArgument(const wchar_t* line)
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

std::wstring FirstArgument(const wchar_t* line)
{
    return std::wstring(line, wcscspn(line, L" \t"));
}

HANDLE CreateAgent(const std::wstring& commandLine, DWORD flags, PROCESS_INFORMATION& info)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &info))
        return nullptr;
    return info.hProcess;
}

bool RunAgentOnce(const std::wstring& commandLine)
{
    PROCESS_INFORMATION info{};
    if (CreateAgent(commandLine, 0, info) == nullptr)
        return false;
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
    return true;
}

int RunMinimal(const wchar_t* rest)
{
    wchar_t* after = nullptr;
    const unsigned long count = wcstoul(rest, &after, 10);
    const std::wstring agentLine = after + wcsspn(after, L" \t");
    for (unsigned long started = 0; started <= count; ++started)
    {
        if (!RunAgentOnce(agentLine))
            return 1;
    }
    return 0;
}

// The design's floor: its state lives here, reached by the wait callback.
struct CFloor
{
    std::wstring image;
    std::wstring agentLine;
    unsigned long count = 0;
    unsigned long started = 0;
    HANDLE job = nullptr;
    HANDLE process = nullptr;
    HANDLE wait = nullptr;
    HANDLE done = nullptr;  // set when the last agent has ended, or a creation failed
    bool bFailed = false;
};

bool IsImageRunning(const std::wstring& image)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool bFound = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !bFound; more = Process32NextW(snapshot, &entry))
        bFound = _wcsicmp(entry.szExeFile, image.c_str()) == 0;
    CloseHandle(snapshot);
    return bFound;
}

void CALLBACK OnAgentEnd(void* context, BOOLEAN);

// One step of the floor: the search (its result is not used: the benchmark's
// agent has ended when it runs), the creation and the wait.
void StartFloorAgent(CFloor& floor)
{
    IsImageRunning(floor.image);
    PROCESS_INFORMATION info{};
    if (CreateAgent(floor.agentLine, CREATE_SUSPENDED, info) == nullptr)
    {
        floor.bFailed = true;
        SetEvent(floor.done);
        return;
    }
    AssignProcessToJobObject(floor.job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    floor.process = info.hProcess;
    ++floor.started;
    RegisterWaitForSingleObject(&floor.wait, floor.process, &OnAgentEnd, &floor, INFINITE,
                                WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE);
}

void CALLBACK OnAgentEnd(void* context, BOOLEAN)
{
    CFloor& floor = *static_cast<CFloor*>(context);
    UnregisterWaitEx(floor.wait, nullptr);
    CloseHandle(floor.process);
    if (floor.started > floor.count)
        SetEvent(floor.done);
    else
        StartFloorAgent(floor);
}

int RunFloor(const wchar_t* rest)
{
    CFloor floor;
    floor.image = FirstArgument(rest);
    rest = SkipArgument(rest);
    wchar_t* after = nullptr;
    floor.count = wcstoul(rest, &after, 10);
    floor.agentLine = after + wcsspn(after, L" \t");
    floor.job = CreateJobObjectW(nullptr, nullptr);
    floor.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StartFloorAgent(floor);
    WaitForSingleObject(floor.done, INFINITE);
    return floor.bFailed ? 1 : 0;
}

void CALLBACK CheckPort(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER)
{
    const sockaddr_in& address = *static_cast<const sockaddr_in*>(context);
    const SOCKET socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval wait{0, 200000};
    select(0, nullptr, &writable, nullptr, &wait);
    closesocket(socket);
}

int RunCheckFloor(const wchar_t* rest)
{
    wchar_t* after = nullptr;
    const unsigned long seconds = wcstoul(rest, &after, 10);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(wcstoul(after, &after, 10)));
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const PTP_TIMER timer = CreateThreadpoolTimer(&CheckPort, &address, nullptr);
    const LONGLONG due = -static_cast<LONGLONG>(seconds) * 10000000;
    FILETIME dueTime{static_cast<DWORD>(due), static_cast<DWORD>(static_cast<ULONGLONG>(due) >> 32)};
    SetThreadpoolTimer(timer, &dueTime, seconds * 1000, 0);
    const bool bRan = RunAgentOnce(after + wcsspn(after, L" \t"));
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    CloseThreadpoolTimer(timer);
    WSACleanup();
    return bRan ? 0 : 1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const wchar_t* rest = SkipArgument(GetCommandLineW());
    if (wcsncmp(rest, L"--floor ", 8) == 0)
        return RunFloor(SkipArgument(rest));
    if (wcsncmp(rest, L"--check-floor ", 14) == 0)
        return RunCheckFloor(SkipArgument(rest));
    return RunMinimal(rest);
}
