// Helpers of the host's benchmark. The benchmark drives the built programs
// from the outside only: it starts them, reads the demo agent's log, talks to
// the service manager and reads the Unix side of Wine's processes in /proc.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "PerformanceClock.h"

// One owner per handle kind: closed when the owner goes out of scope.
template <typename Traits>
class CBenchHandle
{
public:
    using Handle = typename Traits::Handle;

    CBenchHandle() = default;
    explicit CBenchHandle(Handle handle) : m_handle(handle) {}
    ~CBenchHandle()
    {
        if (*this)
            Traits::Close(m_handle);
    }
    CBenchHandle(CBenchHandle&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
    CBenchHandle& operator=(CBenchHandle&& other) noexcept
    {
        std::swap(m_handle, other.m_handle);
        return *this;
    }
    CBenchHandle(const CBenchHandle&) = delete;
    CBenchHandle& operator=(const CBenchHandle&) = delete;

    Handle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

private:
    Handle m_handle = nullptr;
};

struct KernelTraits
{
    using Handle = HANDLE;
    static void Close(Handle handle) { CloseHandle(handle); }
};
struct ServiceTraits
{
    using Handle = SC_HANDLE;
    static void Close(Handle handle) { CloseServiceHandle(handle); }
};
using CKernelHandle = CBenchHandle<KernelTraits>;
using CScHandle = CBenchHandle<ServiceTraits>;

// The folder of the benchmark program, and the build folder above it.
std::wstring BenchDirectory();
std::wstring BuildDirectory();

// A program the benchmark started; terminated at the end if it still runs.
class CChildProcess
{
public:
    // `flags` are process creation flags (DETACHED_PROCESS: no console).
    CChildProcess(const std::wstring& commandLine, const std::wstring& directory, DWORD flags = 0);
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool IsStarted() const { return static_cast<bool>(m_hProcess); }
    // Waits for the end; false when the bound passed first.
    bool Wait(DWORD timeoutMs) const;
    DWORD ExitCode() const;

private:
    CKernelHandle m_hProcess;
};

// Runs a command line to its end (at most `timeoutMs`); its exit code, or
// WAIT_TIMEOUT when it had to be terminated.
DWORD RunToEnd(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// A loopback port the system hands out now (bound to port 0, read back and
// released), for an agent to listen on.
USHORT TakeSystemPort();

// Connects to 127.0.0.1:port and sends "shutdown\n"; false when it failed.
bool SendShutdownLine(USHORT port);

// Polls `condition` every `pollMs`; false when `timeoutMs` passed first.
// Only a bound that catches hangs.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs, DWORD pollMs = 2)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition())
    {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(pollMs);
    }
    return true;
}

// One demo agent log of the benchmark, in the benchmark's folder; deleted at
// the end. Its name is unique to this run, so it also marks the command lines
// of the programs that carry it.
class CAgentLog
{
public:
    explicit CAgentLog(const std::wstring& name);
    ~CAgentLog();
    CAgentLog(const CAgentLog&) = delete;
    CAgentLog& operator=(const CAgentLog&) = delete;

    const std::wstring& Path() const { return m_path; }
    const std::wstring& Name() const { return m_name; }
    std::vector<std::string> Lines() const;
    size_t Count(const char* prefix) const;
    // Reads the log every 50 ms only, to disturb what it waits for little.
    bool WaitForCount(const char* prefix, size_t count, DWORD timeoutMs = 30000) const;
    // The process id on the last "start" line; 0 when there is none.
    DWORD LastStartedId() const;
    // Starts afresh, when no agent writes to the log.
    void Clear() const;

private:
    std::wstring m_name;
    std::wstring m_path;
};

// The demo agent's command line with its full path, this log and options.
std::wstring AgentCommandLine(const CAgentLog& log, const std::wstring& options);

// The relaunch intervals in a log, in order, in milliseconds: from an agent's
// "exit" line to the next agent's "start" line.
std::vector<double> RelaunchIntervalsMs(const std::vector<std::string>& lines);

// Median and 90th percentile (nearest rank) of a set of samples.
struct CSampleFigures
{
    double median = 0;
    double p90 = 0;
    size_t count = 0;
};
CSampleFigures SummariseSamples(std::vector<double> samples);

// Time on a CPU and context switches (voluntary + nonvoluntary) of threads,
// and the thread's name (Wine names its own threads "wine_...").
struct CThreadFigures
{
    unsigned long long cpuNs = 0;
    unsigned long long switches = 0;
    std::string name;
};

// What the Unix side of one Wine process shows in /proc.
struct CUnixFigures
{
    std::map<std::wstring, CThreadFigures> threads;  // by Unix thread id
    unsigned long long privateDirtyKiB = 0;          // Private_Dirty (smaps_rollup)
    unsigned long long privateCleanKiB = 0;          // Private_Clean (smaps_rollup)
    unsigned long long residentKiB = 0;              // Rss (smaps_rollup)
};

// What the threads alive at `after` did since `before` (a thread started in
// between counts from zero; one that ended in between is lost).
CThreadFigures GrowthBetween(const CUnixFigures& before, const CUnixFigures& after);

// The same, thread by thread, by Unix thread id.
std::map<std::wstring, CThreadFigures> GrowthByThread(const CUnixFigures& before, const CUnixFigures& after);

// True for the threads Wine starts for its own work in every process (its
// thread pool's workers, its service and RPC threads): their names begin
// with "wine_".
bool IsWineThread(const CThreadFigures& thread);

// The Unix pid of the Wine process whose first argument ends with
// `imageName` and whose command line holds `marker`; 0 when none.
int FindUnixProcess(const std::wstring& imageName, const std::wstring& marker);
// False when the process is gone.
bool ReadUnixFigures(int pid, CUnixFigures& figures);

// The system's load averages, as /proc/loadavg gives them.
std::string ReadLoadAverage();
