// Measures the built host installed as a service and prints each figure beside
// a baseline from the same run, and their ratio:
//   relaunch: the host's relaunch of an agent that ends by itself against a
//     minimal GUI relauncher (ZeltRelauncher.exe), both timed from the
//     agent's "exit" line to its replacement's "start" line, rounds alternated;
//   stop: the service manager's stop request to the agent's end against the
//     agent's own end when the bench sends it "shutdown\n" itself;
//   idle: CPU time and context switches of the host's Wine process over a
//     quiet window with a running agent, against the relauncher only waiting
//     for its agent; private memory of both at the window's end.
// It installs one instance with the host's own /Service and removes it (and
// the module's registration) at the end, also when a step fails. It asserts
// nothing; a step that cannot be done ends the run with exit code 1.
//   ZeltBench.exe [--rounds=N] [--idle-seconds=N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

constexpr const wchar_t* kInstanceNumber = L"bench";
constexpr const wchar_t* kServiceName = L"ZeltAgentSvc-bench";
constexpr DWORD kRelaunchesPerRound = 10;
constexpr DWORD kStopSamples = 12;

struct BenchOptions
{
    int rounds = 8;
    int idleSeconds = 60;
};

void Require(bool bDone, const char* step)
{
    if (!bDone)
        throw std::runtime_error(step);
}

std::wstring HostPath()
{
    return BuildDirectory() + L"\\ZeltAgentSvc.exe";
}

DWORD RunHost(const std::wstring& arguments)
{
    return RunToEnd(L"\"" + HostPath() + L"\" " + arguments);
}

// Removes the bench's instance and the module's registration; harmless when
// neither is there.
void RemoveInstance()
{
    RunHost(std::wstring(L"/unregserver /num=") + kInstanceNumber);
    RunHost(L"/unregserver");
}

bool QueryState(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) != FALSE;
}

// The bench's instance, installed by the host's /Service with an agent
// command line of the bench; removed at the end.
class CBenchInstance
{
public:
    CBenchInstance(USHORT port, const std::wstring& agentLine)
    {
        RemoveInstance();
        const DWORD code = RunHost(L"/Service /port=" + std::to_wstring(port) + L" /agent=ZeltDemoAgent.exe \"/cmd=" +
                                   agentLine + L"\" /num=" + kInstanceNumber);
        Require(code == 0, "installing the instance with /Service");
        m_hManager = CScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        m_hService = CScHandle(OpenServiceW(m_hManager.Get(), kServiceName,
                                            SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
        Require(static_cast<bool>(m_hService), "opening the installed service");
    }
    // Never throws: it also runs when a step failed. The removal stops the
    // service if it still runs.
    ~CBenchInstance()
    {
        SERVICE_STATUS status{};
        if (m_hHost && ControlService(m_hService.Get(), SERVICE_CONTROL_STOP, &status))
            WaitForSingleObject(m_hHost.Get(), 30000);
        m_hService = CScHandle();
        RemoveInstance();
    }
    CBenchInstance(const CBenchInstance&) = delete;
    CBenchInstance& operator=(const CBenchInstance&) = delete;

    // Starts the service and waits for RUNNING: the agent then runs.
    void Start()
    {
        Require(StartServiceW(m_hService.Get(), 0, nullptr) != FALSE, "starting the service");
        SERVICE_STATUS_PROCESS status{};
        Require(WaitUntil([&] { return QueryState(m_hService.Get(), status) && status.dwCurrentState == SERVICE_RUNNING; },
                          30000),
                "waiting for the service to run");
        m_hHost = CKernelHandle(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
        Require(static_cast<bool>(m_hHost), "opening the service's process");
    }

    // Sends the stop control; returns at once.
    void RequestStop() const
    {
        SERVICE_STATUS status{};
        Require(ControlService(m_hService.Get(), SERVICE_CONTROL_STOP, &status) != FALSE, "stopping the service");
    }

    // Waits for the host's end and for STOPPED, so that the next start finds
    // no process of the last run.
    void WaitStopped()
    {
        CKernelHandle host = std::move(m_hHost);
        SERVICE_STATUS_PROCESS status{};
        Require(WaitForSingleObject(host.Get(), 30000) == WAIT_OBJECT_0 &&
                    WaitUntil([&] { return QueryState(m_hService.Get(), status) && status.dwCurrentState == SERVICE_STOPPED; },
                              30000),
                "waiting for the service to stop");
    }

    void Stop()
    {
        RequestStop();
        WaitStopped();
    }

    HANDLE HostProcess() const { return m_hHost.Get(); }

private:
    CScHandle m_hManager;
    CScHandle m_hService;
    CKernelHandle m_hHost;
};

std::wstring RelauncherLine(DWORD count, const std::wstring& agentLine)
{
    return L"\"" + BenchDirectory() + L"\\ZeltRelauncher.exe\" " + std::to_wstring(count) + L" " + agentLine;
}

// One round of host relaunches: the service runs until the log holds the
// round's starts, polled the same way as in the relauncher's round.
std::vector<double> HostRelaunchRound(CBenchInstance& instance, const CAgentLog& log)
{
    instance.Start();
    Require(log.WaitForCount("start ", kRelaunchesPerRound + 1, 60000), "waiting for the host's relaunches");
    instance.Stop();
    std::vector<double> intervals = RelaunchIntervalsMs(log.Lines());
    log.Clear();
    intervals.resize(std::min<size_t>(intervals.size(), kRelaunchesPerRound));
    return intervals;
}

std::vector<double> RelauncherRound(const CAgentLog& log, const std::wstring& agentOptions)
{
    CChildProcess relauncher(RelauncherLine(kRelaunchesPerRound, AgentCommandLine(log, agentOptions)), BuildDirectory());
    Require(relauncher.IsStarted(), "starting the relauncher");
    Require(log.WaitForCount("start ", kRelaunchesPerRound + 1, 60000), "waiting for the relauncher's relaunches");
    Require(relauncher.Wait(30000) && relauncher.ExitCode() == 0, "waiting for the relauncher's end");
    std::vector<double> intervals = RelaunchIntervalsMs(log.Lines());
    log.Clear();
    return intervals;
}

void Append(std::vector<double>& samples, const std::vector<double>& more)
{
    samples.insert(samples.end(), more.begin(), more.end());
}

void MeasureRelaunch(const BenchOptions& options, std::vector<double>& host, std::vector<double>& baseline)
{
    // The agent never listens (the host's stop then ends it at once) and ends
    // by itself after 150 ms.
    const std::wstring agentOptions = L"--nolisten --lifetime=150";
    CAgentLog hostLog(L"relaunch-host");
    CAgentLog baselineLog(L"relaunch-baseline");
    CBenchInstance instance(TakeSystemPort(), AgentCommandLine(hostLog, agentOptions));
    for (int round = 0; round < options.rounds; ++round)
    {
        // Alternate which goes first, so that neither always follows the other.
        const bool bHostFirst = round % 2 == 0;
        if (bHostFirst)
            Append(host, HostRelaunchRound(instance, hostLog));
        Append(baseline, RelauncherRound(baselineLog, agentOptions));
        if (!bHostFirst)
            Append(host, HostRelaunchRound(instance, hostLog));
    }
}

double ElapsedMs(long long since)
{
    return (NowMicroseconds() - since) / 1000.0;
}

// The service's stop request to the agent's end, and to the host's end.
void HostStopSample(CBenchInstance& instance, const CAgentLog& log, std::vector<double>& toAgentEnd,
                    std::vector<double>& toHostEnd)
{
    instance.Start();
    Require(log.WaitForCount("listening", 1, 30000), "waiting for the host's agent to listen");
    Sleep(300);
    CKernelHandle agent(OpenProcess(SYNCHRONIZE, FALSE, log.LastStartedId()));
    Require(static_cast<bool>(agent), "opening the host's agent");
    const long long begin = NowMicroseconds();
    instance.RequestStop();
    Require(WaitForSingleObject(agent.Get(), 10000) == WAIT_OBJECT_0, "waiting for the host's agent to end");
    toAgentEnd.push_back(ElapsedMs(begin));
    Require(WaitForSingleObject(instance.HostProcess(), 10000) == WAIT_OBJECT_0, "waiting for the host to end");
    toHostEnd.push_back(ElapsedMs(begin));
    instance.WaitStopped();
    log.Clear();
}

// "shutdown\n" sent by the bench itself to the agent's end.
double DirectStopSample(const CAgentLog& log, USHORT port)
{
    CChildProcess agent(AgentCommandLine(log, L"--port=" + std::to_wstring(port)), BuildDirectory());
    Require(log.WaitForCount("listening", 1, 30000), "waiting for the agent to listen");
    Sleep(300);
    const long long begin = NowMicroseconds();
    Require(SendShutdownLine(port), "sending the shutdown line");
    Require(agent.Wait(10000), "waiting for the agent to end");
    const double elapsed = ElapsedMs(begin);
    log.Clear();
    return elapsed;
}

// Sends "shutdown\n" at the end to the agent of a relauncher still running:
// the agent would outlive a relauncher that is terminated.
class CAgentEnd
{
public:
    CAgentEnd(USHORT port, const CChildProcess& relauncher) : m_port(port), m_relauncher(relauncher) {}
    ~CAgentEnd()
    {
        if (!m_relauncher.Wait(0) && SendShutdownLine(m_port))
            m_relauncher.Wait(10000);
    }
    CAgentEnd(const CAgentEnd&) = delete;
    CAgentEnd& operator=(const CAgentEnd&) = delete;

private:
    USHORT m_port;
    const CChildProcess& m_relauncher;
};

CUnixFigures ReadFigures(int pid)
{
    CUnixFigures figures;
    Require(ReadUnixFigures(pid, figures), "reading /proc");
    return figures;
}

struct IdleResults
{
    int seconds = 0;
    int hostPid = 0;
    int baselinePid = 0;
    CThreadFigures host;      // over the window
    CThreadFigures baseline;
    CUnixFigures hostEnd;     // at the window's end
    CUnixFigures baselineEnd;
};

struct Results
{
    CSampleFigures relaunchHost;
    CSampleFigures relaunchBaseline;
    CSampleFigures stopHost;
    CSampleFigures stopHostEnd;
    CSampleFigures stopBaseline;
    IdleResults idle;
};

void MeasureStop(CBenchInstance& instance, const CAgentLog& hostLog, Results& results)
{
    CAgentLog baselineLog(L"stop-baseline");
    std::vector<double> host, hostEnd, baseline;
    for (DWORD sample = 0; sample < kStopSamples; ++sample)
    {
        if (sample % 2 == 0)
            HostStopSample(instance, hostLog, host, hostEnd);
        baseline.push_back(DirectStopSample(baselineLog, TakeSystemPort()));
        if (sample % 2 == 1)
            HostStopSample(instance, hostLog, host, hostEnd);
    }
    results.stopHost = SummariseSamples(host);
    results.stopHostEnd = SummariseSamples(hostEnd);
    results.stopBaseline = SummariseSamples(baseline);
}

// Both idle side by side over one window: the host with its listening agent,
// the relauncher waiting for a listening agent of its own.
void MeasureIdle(const BenchOptions& options, CBenchInstance& instance, const CAgentLog& hostLog, IdleResults& idle)
{
    CAgentLog baselineLog(L"idle-baseline");
    instance.Start();
    Require(hostLog.WaitForCount("listening", 1, 30000), "waiting for the host's agent to listen");
    const USHORT port = TakeSystemPort();
    CChildProcess waiter(RelauncherLine(0, AgentCommandLine(baselineLog, L"--port=" + std::to_wstring(port))),
                         BuildDirectory());
    CAgentEnd endAgent(port, waiter);
    Require(baselineLog.WaitForCount("listening", 1, 30000), "waiting for the relauncher's agent to listen");
    Sleep(2000);
    // The log names are unique to this run and stand on both command lines.
    idle.hostPid = FindUnixProcess(L"\\ZeltAgentSvc.exe", hostLog.Name());
    idle.baselinePid = FindUnixProcess(L"\\ZeltRelauncher.exe", baselineLog.Name());
    Require(idle.hostPid != 0 && idle.baselinePid != 0, "finding the Unix processes in /proc");
    const CUnixFigures hostStart = ReadFigures(idle.hostPid);
    const CUnixFigures baselineStart = ReadFigures(idle.baselinePid);
    Sleep(static_cast<DWORD>(options.idleSeconds) * 1000);
    idle.hostEnd = ReadFigures(idle.hostPid);
    idle.baselineEnd = ReadFigures(idle.baselinePid);
    idle.seconds = options.idleSeconds;
    idle.host = GrowthBetween(hostStart, idle.hostEnd);
    idle.baseline = GrowthBetween(baselineStart, idle.baselineEnd);
    instance.Stop();
}

void MeasureStopAndIdle(const BenchOptions& options, Results& results)
{
    CAgentLog hostLog(L"stop-host");
    const USHORT port = TakeSystemPort();
    CBenchInstance instance(port, AgentCommandLine(hostLog, L"--port=" + std::to_wstring(port)));
    MeasureStop(instance, hostLog, results);
    MeasureIdle(options, instance, hostLog, results.idle);
}

std::string Ratio(double host, double baseline)
{
    if (baseline <= 0)
        return "n/a (baseline 0)";
    char text[32];
    snprintf(text, sizeof(text), "%.2f", host / baseline);
    return text;
}

// One row of the summary: a figure of the host beside its baseline.
struct SummaryRow
{
    std::string figure;
    double host;
    double baseline;
    const char* format;  // printf format of one value with its unit
    std::string baselineName;
};

std::string Format(const char* format, double value)
{
    char text[64];
    snprintf(text, sizeof(text), format, value);
    return text;
}

void PrintFigureLines(const Results& r)
{
    const IdleResults& idle = r.idle;
    printf("[ bench ] relaunch, agent's \"exit\" line to the replacement's \"start\" line (%zu and %zu samples): "
           "host median %.2f ms, p90 %.2f ms; minimal GUI relauncher median %.2f ms, p90 %.2f ms; ratio median %s, p90 %s\n",
           r.relaunchHost.count, r.relaunchBaseline.count, r.relaunchHost.median, r.relaunchHost.p90,
           r.relaunchBaseline.median, r.relaunchBaseline.p90, Ratio(r.relaunchHost.median, r.relaunchBaseline.median).c_str(),
           Ratio(r.relaunchHost.p90, r.relaunchBaseline.p90).c_str());
    printf("[ bench ] stop, service manager STOP request to the agent's end (%zu samples): host median %.2f ms, p90 %.2f ms; "
           "\"shutdown\\n\" sent directly to the agent's end median %.2f ms, p90 %.2f ms; ratio median %s "
           "(STOP request to the host's own end: median %.2f ms)\n",
           r.stopHost.count, r.stopHost.median, r.stopHost.p90, r.stopBaseline.median, r.stopBaseline.p90,
           Ratio(r.stopHost.median, r.stopBaseline.median).c_str(), r.stopHostEnd.median);
    printf("[ bench ] idle CPU over %d s (schedstat of the Unix threads): host %.2f ms; waiting relauncher %.2f ms; ratio %s\n",
           idle.seconds, idle.host.cpuNs / 1e6, idle.baseline.cpuNs / 1e6,
           Ratio(static_cast<double>(idle.host.cpuNs), static_cast<double>(idle.baseline.cpuNs)).c_str());
    printf("[ bench ] idle wake-ups over %d s (voluntary + nonvoluntary context switches of the Unix threads): "
           "host %llu (%zu threads); waiting relauncher %llu (%zu threads); ratio %s\n",
           idle.seconds, idle.host.switches, idle.hostEnd.threads.size(), idle.baseline.switches,
           idle.baselineEnd.threads.size(),
           Ratio(static_cast<double>(idle.host.switches), static_cast<double>(idle.baseline.switches)).c_str());
    printf("[ bench ] private memory (Private_Clean + Private_Dirty of smaps_rollup): host %llu KiB; waiting relauncher "
           "%llu KiB; ratio %s (resident %llu and %llu KiB)\n",
           idle.hostEnd.privateKiB, idle.baselineEnd.privateKiB,
           Ratio(static_cast<double>(idle.hostEnd.privateKiB), static_cast<double>(idle.baselineEnd.privateKiB)).c_str(),
           idle.hostEnd.residentKiB, idle.baselineEnd.residentKiB);
    printf("[ bench ] Unix processes found by the run's log name on their command line in /proc/*/cmdline: "
           "host %d, relauncher %d\n",
           idle.hostPid, idle.baselinePid);
}

void PrintSummary(const Results& r, const std::string& loadBefore, const std::string& loadAfter)
{
    const IdleResults& idle = r.idle;
    const std::string idleWindow = " in " + std::to_string(idle.seconds) + " s";
    const SummaryRow rows[] = {
        {"Relaunch, median", r.relaunchHost.median, r.relaunchBaseline.median, "%.2f ms", "minimal GUI relauncher"},
        {"Relaunch, p90", r.relaunchHost.p90, r.relaunchBaseline.p90, "%.2f ms", "minimal GUI relauncher"},
        {"Stop to the agent's end, median", r.stopHost.median, r.stopBaseline.median, "%.2f ms",
         "\"shutdown\\n\" sent directly"},
        {"Idle CPU" + idleWindow, idle.host.cpuNs / 1e6, idle.baseline.cpuNs / 1e6, "%.2f ms", "program that only waits"},
        {"Idle wake-ups" + idleWindow, static_cast<double>(idle.host.switches), static_cast<double>(idle.baseline.switches),
         "%.0f", "program that only waits"},
        {"Private memory", static_cast<double>(idle.hostEnd.privateKiB), static_cast<double>(idle.baselineEnd.privateKiB),
         "%.0f KiB", "program that only waits"},
    };
    printf("\n| Figure | Host | Baseline | Ratio |\n|---|---|---|---|\n");
    for (const SummaryRow& row : rows)
        printf("| %s | %s | %s, %s | %s |\n", row.figure.c_str(), Format(row.format, row.host).c_str(),
               Format(row.format, row.baseline).c_str(), row.baselineName.c_str(), Ratio(row.host, row.baseline).c_str());
    SYSTEMTIME now;
    GetSystemTime(&now);
    printf("\nMeasured %04u-%02u-%02u %02u:%02u UTC; load average %s at the start, %s at the end.\n", now.wYear, now.wMonth,
           now.wDay, now.wHour, now.wMinute, loadBefore.c_str(), loadAfter.c_str());
}

BenchOptions ParseOptions(int argc, char** argv)
{
    BenchOptions options;
    for (int i = 1; i < argc; ++i)
    {
        if (strncmp(argv[i], "--rounds=", 9) == 0)
            options.rounds = std::max(1, atoi(argv[i] + 9));
        else if (strncmp(argv[i], "--idle-seconds=", 15) == 0)
            options.idleSeconds = std::max(1, atoi(argv[i] + 15));
    }
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    const BenchOptions options = ParseOptions(argc, argv);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const std::string loadBefore = ReadLoadAverage();
    int code = 0;
    try
    {
        Results results;
        std::vector<double> host, baseline;
        MeasureRelaunch(options, host, baseline);
        results.relaunchHost = SummariseSamples(host);
        results.relaunchBaseline = SummariseSamples(baseline);
        MeasureStopAndIdle(options, results);
        PrintFigureLines(results);
        PrintSummary(results, loadBefore, ReadLoadAverage());
    }
    catch (const std::exception& failure)
    {
        fprintf(stderr, "[ bench ] failed: %s\n", failure.what());
        code = 1;
    }
    WSACleanup();
    return code;
}
