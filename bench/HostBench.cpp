// Measures the built host installed as a service and prints each figure beside
// baselines from the same run, and their ratios:
//   relaunch: the host's relaunch of an agent that ends by itself after
//     running past the crash-loop threshold (1.5 s), against the design's
//     floor (ZeltRelauncher.exe --floor: the search by image name, the
//     creation and the wait registration, nothing else) and a minimal
//     relauncher (create, wait, create again), both started detached from
//     any console as the service is; timed from the agent's "exit" line to
//     its replacement's "start" line, the order rotated every round;
//   stop: the service manager's stop request to the agent's end against the
//     agent's own end when the bench sends it "shutdown\n" itself;
//   idle: CPU time and context switches of the host's Wine process over a
//     quiet window with a running agent, against the relauncher only waiting
//     for its agent, thread by thread, so that Wine's own threads (its pool
//     worker) show apart from the host's; the private dirty memory of both
//     at the window's end; then the host again over a window with probing
//     every 5 s (/probe=5), against the window without, beside the check
//     floor (ZeltRelauncher.exe --check-floor: the same checks from a
//     program that does nothing else), against the program that only waits.
//     Under Wine each call into the wineserver is a context switch of its
//     thread, so a check's own calls are wake-ups there: the host's probing
//     beyond the floor's is the probe's cost beyond the check itself.
//     Host and baselines run stripped, as shipped.
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
constexpr DWORD kRelaunchesPerRound = 5;
// The agent of the relaunch rounds runs past the host's crash-loop threshold
// (1.5 s), so that the host relaunches it at once.
constexpr const wchar_t* kRelaunchAgentOptions = L"--nolisten --lifetime=1600";
constexpr DWORD kStopSamples = 12;
// The probing instance's interval; its wake-ups stand beside probing off.
constexpr int kProbeSeconds = 5;

struct BenchOptions
{
    int rounds = 6;
    int idleSeconds = 60;
};

void Require(bool bDone, const char* step)
{
    if (!bDone)
        throw std::runtime_error(step);
}

// The programs measured are the stripped copies beside the benchmark.
std::wstring StrippedPath(const wchar_t* program)
{
    return BenchDirectory() + L"\\stripped\\" + program;
}

std::wstring HostPath()
{
    return StrippedPath(L"ZeltAgentSvc.exe");
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
    CBenchInstance(USHORT port, const std::wstring& agentLine, const std::wstring& settings = L"")
    {
        RemoveInstance();
        const DWORD code = RunHost(L"/Service /port=" + std::to_wstring(port) + L" /agent=ZeltDemoAgent.exe \"/cmd=" +
                                   agentLine + L"\" /num=" + kInstanceNumber + settings);
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
    return L"\"" + StrippedPath(L"ZeltRelauncher.exe") + L"\" " + std::to_wstring(count) + L" " + agentLine;
}

std::wstring FloorLine(DWORD count, const std::wstring& agentLine)
{
    return L"\"" + StrippedPath(L"ZeltRelauncher.exe") + L"\" --floor ZeltDemoAgent.exe " + std::to_wstring(count) +
           L" " + agentLine;
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

// One round of a baseline relauncher (`line` builds its command line),
// started detached from any console, as the service manager starts the host.
std::vector<double> RelauncherRound(const CAgentLog& log, std::wstring (*line)(DWORD, const std::wstring&))
{
    CChildProcess relauncher(line(kRelaunchesPerRound, AgentCommandLine(log, kRelaunchAgentOptions)), BuildDirectory(),
                             DETACHED_PROCESS);
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

struct RelaunchSamples
{
    std::vector<double> host;
    std::vector<double> floor;
    std::vector<double> minimal;
};

void MeasureRelaunch(const BenchOptions& options, RelaunchSamples& samples)
{
    // The agent never listens (the host's stop then ends it at once).
    CAgentLog hostLog(L"relaunch-host");
    CAgentLog floorLog(L"relaunch-floor");
    CAgentLog minimalLog(L"relaunch-minimal");
    CBenchInstance instance(TakeSystemPort(), AgentCommandLine(hostLog, kRelaunchAgentOptions));
    for (int round = 0; round < options.rounds; ++round)
    {
        // Rotate which goes first, so that none always follows another.
        for (int turn = 0; turn < 3; ++turn)
        {
            switch ((round + turn) % 3)
            {
            case 0:
                Append(samples.host, HostRelaunchRound(instance, hostLog));
                break;
            case 1:
                Append(samples.floor, RelauncherRound(floorLog, &FloorLine));
                break;
            default:
                Append(samples.minimal, RelauncherRound(minimalLog, &RelauncherLine));
                break;
            }
        }
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
    CThreadFigures hostOwn;   // the host's own threads (not Wine's) over the window
    std::map<std::wstring, CThreadFigures> hostThreads;
    CThreadFigures baseline;
    CUnixFigures hostEnd;     // at the window's end
    CUnixFigures baselineEnd;
    CThreadFigures hostOwnProbing;  // the host's own threads, probing every kProbeSeconds
    CThreadFigures hostProbing;     // all its threads (the probe's timer runs on the pool's)
    CThreadFigures checkFloor;      // the check floor over the same window
};

struct Results
{
    CSampleFigures relaunchHost;
    CSampleFigures relaunchFloor;
    CSampleFigures relaunchMinimal;
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

CThreadFigures OwnThreadsGrowth(const std::map<std::wstring, CThreadFigures>& threads)
{
    CThreadFigures own;
    for (const auto& [task, thread] : threads)
    {
        if (!IsWineThread(thread))
        {
            own.cpuNs += thread.cpuNs;
            own.switches += thread.switches;
        }
    }
    return own;
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
                         BuildDirectory(), DETACHED_PROCESS);
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
    idle.hostThreads = GrowthByThread(hostStart, idle.hostEnd);
    idle.hostOwn = OwnThreadsGrowth(idle.hostThreads);
    idle.baseline = GrowthBetween(baselineStart, idle.baselineEnd);
    instance.Stop();
}

std::wstring CheckFloorLine(USHORT port, const std::wstring& agentLine)
{
    return L"\"" + StrippedPath(L"ZeltRelauncher.exe") + L"\" --check-floor " + std::to_wstring(kProbeSeconds) + L" " +
           std::to_wstring(port) + L" " + agentLine;
}

// The host probing its listening agent every kProbeSeconds over a window of
// the same length, beside the check floor making the same checks of an
// agent of its own.
void MeasureProbingIdle(const BenchOptions& options, IdleResults& idle)
{
    CAgentLog hostLog(L"idle-probing");
    CAgentLog floorLog(L"idle-check-floor");
    const USHORT port = TakeSystemPort();
    CBenchInstance instance(port, AgentCommandLine(hostLog, L"--port=" + std::to_wstring(port)),
                            L" /probe=" + std::to_wstring(kProbeSeconds));
    instance.Start();
    const USHORT floorPort = TakeSystemPort();
    CChildProcess floor(CheckFloorLine(floorPort, AgentCommandLine(floorLog, L"--port=" + std::to_wstring(floorPort))),
                        BuildDirectory(), DETACHED_PROCESS);
    CAgentEnd endAgent(floorPort, floor);
    Require(hostLog.WaitForCount("listening", 1, 30000), "waiting for the probing host's agent to listen");
    Require(floorLog.WaitForCount("listening", 1, 30000), "waiting for the check floor's agent to listen");
    Sleep(2000);
    const int pid = FindUnixProcess(L"\\ZeltAgentSvc.exe", hostLog.Name());
    const int floorPid = FindUnixProcess(L"\\ZeltRelauncher.exe", floorLog.Name());
    Require(pid != 0 && floorPid != 0, "finding the probing processes in /proc");
    const CUnixFigures start = ReadFigures(pid);
    const CUnixFigures floorStart = ReadFigures(floorPid);
    Sleep(static_cast<DWORD>(options.idleSeconds) * 1000);
    const CUnixFigures end = ReadFigures(pid);
    idle.checkFloor = GrowthBetween(floorStart, ReadFigures(floorPid));
    idle.hostOwnProbing = OwnThreadsGrowth(GrowthByThread(start, end));
    idle.hostProbing = GrowthBetween(start, end);
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

unsigned long long Beyond(unsigned long long count, unsigned long long baseline)
{
    return count > baseline ? count - baseline : 0;
}

double PerMinute(unsigned long long count, int seconds)
{
    return seconds > 0 ? count * 60.0 / seconds : 0;
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
    printf("[ bench ] relaunch of an agent that ran 1.6 s, agent's \"exit\" line to the replacement's \"start\" line "
           "(%zu, %zu and %zu samples): host median %.2f ms, p90 %.2f ms; design floor median %.2f ms, p90 %.2f ms; "
           "minimal relauncher median %.2f ms, p90 %.2f ms; host/floor median %s, p90 %s; host/minimal median %s, p90 %s\n",
           r.relaunchHost.count, r.relaunchFloor.count, r.relaunchMinimal.count, r.relaunchHost.median,
           r.relaunchHost.p90, r.relaunchFloor.median, r.relaunchFloor.p90, r.relaunchMinimal.median,
           r.relaunchMinimal.p90, Ratio(r.relaunchHost.median, r.relaunchFloor.median).c_str(),
           Ratio(r.relaunchHost.p90, r.relaunchFloor.p90).c_str(),
           Ratio(r.relaunchHost.median, r.relaunchMinimal.median).c_str(),
           Ratio(r.relaunchHost.p90, r.relaunchMinimal.p90).c_str());
    printf("[ bench ] stop, service manager STOP request to the agent's end (%zu samples): host median %.2f ms, p90 %.2f ms; "
           "\"shutdown\\n\" sent directly to the agent's end median %.2f ms, p90 %.2f ms; ratio median %s "
           "(STOP request to the host's own end: median %.2f ms)\n",
           r.stopHost.count, r.stopHost.median, r.stopHost.p90, r.stopBaseline.median, r.stopBaseline.p90,
           Ratio(r.stopHost.median, r.stopBaseline.median).c_str(), r.stopHostEnd.median);
    printf("[ bench ] idle over %d s (schedstat and voluntary + nonvoluntary context switches of the Unix threads): "
           "host %.2f ms CPU, %llu wake-ups in %zu threads, of which its own threads %.2f ms, %llu wake-ups; "
           "waiting relauncher %.2f ms, %llu wake-ups in %zu threads\n",
           idle.seconds, idle.host.cpuNs / 1e6, idle.host.switches, idle.hostEnd.threads.size(), idle.hostOwn.cpuNs / 1e6,
           idle.hostOwn.switches, idle.baseline.cpuNs / 1e6, idle.baseline.switches, idle.baselineEnd.threads.size());
    for (const auto& [task, thread] : idle.hostThreads)
        printf("[ bench ]   host thread %ls \"%s\" (%s): %llu wake-ups, %.2f ms CPU\n", task.c_str(), thread.name.c_str(),
               IsWineThread(thread) ? "Wine's" : "the host's", thread.switches, thread.cpuNs / 1e6);
    const unsigned long long probing = idle.hostOwnProbing.switches;
    const unsigned long long quiet = idle.hostOwn.switches;
    const double hostBeyond = PerMinute(Beyond(idle.hostProbing.switches, idle.host.switches), idle.seconds);
    printf("[ bench ] idle over %d s, host's own threads: probing off %llu wake-ups, %.2f ms CPU; probing every %d s "
           "%llu wake-ups, %.2f ms CPU; %.1f a minute beyond probing off (target at most 12); all threads: probing off "
           "%llu, probing %llu, %.1f a minute beyond\n",
           idle.seconds, quiet, idle.hostOwn.cpuNs / 1e6, kProbeSeconds, probing, idle.hostOwnProbing.cpuNs / 1e6,
           PerMinute(Beyond(probing, quiet), idle.seconds), idle.host.switches, idle.hostProbing.switches, hostBeyond);
    const double floorBeyond = PerMinute(Beyond(idle.checkFloor.switches, idle.baseline.switches), idle.seconds);
    printf("[ bench ] the same checks from the check floor (a program that only waits for its agent and checks its "
           "port every %d s on a pool timer): %llu wake-ups, %.1f a minute beyond the program that only waits; the "
           "host's probing beyond probing off %.1f a minute, beyond the floor's checks %.1f a minute (target at most 12)\n",
           kProbeSeconds, idle.checkFloor.switches, floorBeyond, hostBeyond, hostBeyond - floorBeyond);
    printf("[ bench ] private dirty memory (Private_Dirty of smaps_rollup, stripped programs): host %llu KiB; waiting "
           "relauncher %llu KiB; ratio %s (Private_Clean %llu and %llu KiB; resident %llu and %llu KiB)\n",
           idle.hostEnd.privateDirtyKiB, idle.baselineEnd.privateDirtyKiB,
           Ratio(static_cast<double>(idle.hostEnd.privateDirtyKiB), static_cast<double>(idle.baselineEnd.privateDirtyKiB))
               .c_str(),
           idle.hostEnd.privateCleanKiB, idle.baselineEnd.privateCleanKiB, idle.hostEnd.residentKiB,
           idle.baselineEnd.residentKiB);
    printf("[ bench ] Unix processes found by the run's log name on their command line in /proc/*/cmdline: "
           "host %d, relauncher %d\n",
           idle.hostPid, idle.baselinePid);
}

void PrintSummary(const Results& r, const std::string& loadBefore, const std::string& loadAfter)
{
    const IdleResults& idle = r.idle;
    const std::string idleWindow = " in " + std::to_string(idle.seconds) + " s";
    const SummaryRow rows[] = {
        {"Relaunch, median", r.relaunchHost.median, r.relaunchFloor.median, "%.2f ms", "design floor"},
        {"Relaunch, median", r.relaunchHost.median, r.relaunchMinimal.median, "%.2f ms", "minimal relauncher"},
        {"Relaunch, p90", r.relaunchHost.p90, r.relaunchFloor.p90, "%.2f ms", "design floor"},
        {"Stop to the agent's end, median", r.stopHost.median, r.stopBaseline.median, "%.2f ms",
         "\"shutdown\\n\" sent directly"},
        {"Idle CPU" + idleWindow, idle.host.cpuNs / 1e6, idle.baseline.cpuNs / 1e6, "%.2f ms", "program that only waits"},
        {"Idle wake-ups" + idleWindow + ", host's own threads", static_cast<double>(idle.hostOwn.switches),
         static_cast<double>(idle.baseline.switches), "%.0f", "program that only waits"},
        {"Idle wake-ups" + idleWindow + ", host's own threads, probing every " + std::to_string(kProbeSeconds) + " s",
         static_cast<double>(idle.hostOwnProbing.switches), static_cast<double>(idle.hostOwn.switches), "%.0f",
         "probing off"},
        {"Idle wake-ups" + idleWindow + ", all threads, probing every " + std::to_string(kProbeSeconds) + " s",
         static_cast<double>(idle.hostProbing.switches), static_cast<double>(idle.host.switches), "%.0f", "probing off"},
        {"Idle wake-ups" + idleWindow + ", probing every " + std::to_string(kProbeSeconds) +
             " s, beyond probing off (host) and beyond only waiting (check floor)",
         static_cast<double>(Beyond(idle.hostProbing.switches, idle.host.switches)),
         static_cast<double>(Beyond(idle.checkFloor.switches, idle.baseline.switches)), "%.0f", "check floor"},
        {"Idle wake-ups" + idleWindow + ", all threads", static_cast<double>(idle.host.switches),
         static_cast<double>(idle.baseline.switches), "%.0f", "program that only waits"},
        {"Private dirty memory", static_cast<double>(idle.hostEnd.privateDirtyKiB),
         static_cast<double>(idle.baselineEnd.privateDirtyKiB), "%.0f KiB", "program that only waits"},
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
        RelaunchSamples relaunch;
        MeasureRelaunch(options, relaunch);
        results.relaunchHost = SummariseSamples(relaunch.host);
        results.relaunchFloor = SummariseSamples(relaunch.floor);
        results.relaunchMinimal = SummariseSamples(relaunch.minimal);
        MeasureStopAndIdle(options, results);
        MeasureProbingIdle(options, results.idle);
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
