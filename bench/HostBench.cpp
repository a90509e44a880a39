// Measures the running host in one run and prints the figures side by side:
//   relaunch latency (agent end to replacement running) vs bare process creation;
//   stop latency with a cooperating agent vs the agent's own time to end;
//   the host's CPU time and thread count while its agent runs idle for 10 s.
// The host runs in place (AppID key present, no "LocalService"); the key is
// removed at the end. Prints figures only; it asserts nothing.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr USHORT kPort = 47091;

double Median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::wstring AgentLine(const CAgentLog& log, const std::wstring& options)
{
    return std::wstring(kDemoAgentName) + L" --port=" + std::to_wstring(kPort) + L" --log=" + log.Path() + L" " + options;
}

long long TimeField(const std::string& line)
{
    const size_t at = line.find(" t=");
    return at == std::string::npos ? -1 : std::stoll(line.substr(at + 3));
}

CProcessInformation StartAgentDirectly(const CAgentLog& log, const std::wstring& options)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = BuiltProgramPath(kDemoAgentName) + L" --port=" + std::to_wstring(kPort) + L" --log=" + log.Path() +
                        L" " + options;
    CProcessInformation process;
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        process.Adopt(info);
    return process;
}

// From the call that creates the agent to the agent running its first line.
double MeasureBareCreationMs(int samples)
{
    std::vector<double> values;
    for (int i = 0; i < samples; ++i)
    {
        CAgentLog log;
        const long long begin = NowMicroseconds();
        CProcessInformation agent = StartAgentDirectly(log, L"--exitnow");
        WaitForSingleObject(agent.process.Get(), 10000);
        const std::vector<long long> starts = log.StartTimes();
        if (!starts.empty())
            values.push_back((starts[0] - begin) / 1000.0);
    }
    return Median(values);
}

// From an agent's last line before its end to its replacement's first line.
double MeasureRelaunchMs(int samples)
{
    CAgentLog log;
    CHostProcess host(HostCommandLine(kPort, kDemoAgentName, AgentLine(log, L"--nolisten --lifetime=150")));
    log.WaitForCount("start", static_cast<size_t>(samples) + 1, 60000);
    host.PostQuit();
    host.Wait();
    std::vector<double> values;
    long long ended = -1;
    for (const std::string& line : log.Lines())
    {
        if (line.rfind("exit ", 0) == 0)
            ended = TimeField(line);
        else if (line.rfind("start ", 0) == 0 && ended >= 0)
        {
            values.push_back((TimeField(line) - ended) / 1000.0);
            ended = -1;
        }
    }
    return Median(values);
}

// From the shutdown line to the agent's process end, without a host.
double MeasureAgentOwnEndMs(int samples)
{
    std::vector<double> values;
    for (int i = 0; i < samples; ++i)
    {
        CAgentLog log;
        CProcessInformation agent = StartAgentDirectly(log, L"");
        log.WaitForCount("listening", 1);
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = htons(kPort);
        const long long begin = NowMicroseconds();
        if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
            send(s, "shutdown\n", 9, 0);
        WaitForSingleObject(agent.process.Get(), 10000);
        values.push_back((NowMicroseconds() - begin) / 1000.0);
        closesocket(s);
    }
    return Median(values);
}

// From the quit message to the end of the host process (agent ended before).
double MeasureStopMs(int samples)
{
    std::vector<double> values;
    for (int i = 0; i < samples; ++i)
    {
        CAgentLog log;
        CHostProcess host(HostCommandLine(kPort, kDemoAgentName, AgentLine(log, L"")));
        log.WaitForCount("listening", 1);
        Sleep(100);
        const long long begin = NowMicroseconds();
        host.PostQuit();
        host.Wait();
        values.push_back((NowMicroseconds() - begin) / 1000.0);
    }
    return Median(values);
}

double CpuMs(HANDLE process)
{
    FILETIME created, ended, kernel, user;
    GetProcessTimes(process, &created, &ended, &kernel, &user);
    const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000.0;
}

int ThreadCount(DWORD processId)
{
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
        count += entry.th32OwnerProcessID == processId ? 1 : 0;
    return count;
}

void MeasureIdle()
{
    CAgentLog log;
    CHostProcess host(HostCommandLine(kPort, kDemoAgentName, AgentLine(log, L"")));
    log.WaitForCount("listening", 1);
    Sleep(500);
    const DWORD id = GetProcessId(host.Process());
    const double cpuBefore = CpuMs(host.Process());
    const int threadsBefore = ThreadCount(id);
    Sleep(10000);
    const double cpuAfter = CpuMs(host.Process());
    const int threadsAfter = ThreadCount(id);
    printf("idle 10 s      host CPU time %8.1f ms    host threads %d at start, %d at end\n", cpuAfter - cpuBefore,
           threadsBefore, threadsAfter);
    host.PostQuit();
    host.Wait();
}

}  // namespace

int main()
{
    KillProcesses(kDemoAgentName);
    CScopedAppIdKey appId(false);
    if (!appId.IsCreated())
    {
        fprintf(stderr, "cannot create the AppID key\n");
        return 1;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);

    const double bare = MeasureBareCreationMs(15);
    const double relaunch = MeasureRelaunchMs(15);
    printf("relaunch       %8.2f ms (median)    bare creation %8.2f ms    ratio %.2f (target <= 1.5)\n", relaunch, bare,
           relaunch / bare);
    const double own = MeasureAgentOwnEndMs(7);
    const double stop = MeasureStopMs(7);
    printf("stop           %8.2f ms (median)    agent's own end %6.2f ms    over %.2f ms (target <= 50)\n", stop, own,
           stop - own);
    MeasureIdle();
    KillProcesses(kDemoAgentName);
    WSACleanup();
    return 0;
}
