// Measures the capture of the agent's output through the supervisor itself,
// in process (an instance's output setting is stored with the instance; the
// supervisor is what consumes it):
//   relaunch: an agent that ends by itself past the quick-end threshold,
//     relaunched with output on, against a floor that launches it with the
//     same capture and does nothing else (create, wait, drain, create again)
//     and against output off, timed from the agent's "exit" line to its
//     replacement's "start" line, the order rotated every round;
//   flood: an agent writing 50 MB to its standard output as fast as it can,
//     kept with a 10 MB bound and two older files: its rate, the largest file
//     seen against the bound, and this process's private dirty memory at its peak
//     against the same supervisor idle with a quiet agent.
// It asserts nothing; a step that cannot be done ends the run with exit code 1.
//   ZeltOutputBench.exe [--rounds=N]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "OutputBenchAgent.h"

namespace {

constexpr DWORD kRelaunchesPerRound = 5;
constexpr long long kFloodBytes = 50LL * 1024 * 1024;
constexpr ULONGLONG kFloodBound = 10 * 1024 * 1024;

void Require(bool bDone, const char* step)
{
    if (!bDone)
        throw std::runtime_error(step);
}

// A running supervisor of the demo agent, stopped at the end.
class CBenchAgent
{
public:
    CBenchAgent(const CAgentLog& log, const std::wstring& options, bool bOutput, const std::wstring& folder)
        : m_pSupervisor(StartBenchAgent(AgentCommandLine(log, options), bOutput, folder, kFloodBound))
    {
        Require(m_pSupervisor != nullptr, "starting the agent");
    }
    ~CBenchAgent() { Stop(); }
    CBenchAgent(const CBenchAgent&) = delete;
    CBenchAgent& operator=(const CBenchAgent&) = delete;
    void Stop()
    {
        if (m_pSupervisor != nullptr)
            StopBenchAgent(m_pSupervisor);
        m_pSupervisor = nullptr;
    }

private:
    void* m_pSupervisor;
};

void ClearFolder(const std::wstring& folder)
{
    for (const wchar_t* name : {L"agent.log", L"agent.1.log", L"agent.2.log"})
        DeleteFileW((folder + L"\\" + name).c_str());
    RemoveDirectoryW(folder.c_str());
}

ULONGLONG FileBytes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// This process's private dirty memory as its Unix side shows it (Wine
// leaves the Windows counters empty).
SIZE_T PrivateBytes()
{
    static const int pid = FindUnixProcess(L"ZeltOutputBench.exe", L"ZeltOutputBench");
    CUnixFigures figures;
    return pid != 0 && ReadUnixFigures(pid, figures) ? static_cast<SIZE_T>(figures.privateDirtyKiB * 1024) : 0;
}

enum class Launcher
{
    OutputOn,
    OutputOff,
    PipeFloor,
};

std::vector<double> RelaunchRound(const CAgentLog& log, Launcher launcher, const std::wstring& folder)
{
    log.Clear();
    const wchar_t* options = L"--nolisten --lifetime=300";
    if (launcher == Launcher::PipeFloor)
        Require(RunPipeFloor(AgentCommandLine(log, options), folder, kFloodBound, kRelaunchesPerRound),
                "running the floor");
    else
    {
        CBenchAgent agent(log, options, launcher == Launcher::OutputOn, folder);
        Require(log.WaitForCount("start ", kRelaunchesPerRound + 1, 60000), "waiting for the relaunches");
        agent.Stop();
    }
    std::vector<double> intervals = RelaunchIntervalsMs(log.Lines());
    intervals.resize(std::min<size_t>(intervals.size(), kRelaunchesPerRound));
    return intervals;
}

// A number the demo agent logs on the line with a prefix (" t=" its time).
long long LoggedValue(const CAgentLog& log, const char* prefix, const char* name = " t=")
{
    for (const std::string& line : log.Lines())
    {
        const size_t at = line.find(name);
        if (line.compare(0, strlen(prefix), prefix) == 0 && at != std::string::npos)
            return atoll(line.c_str() + at + strlen(name));
    }
    return -1;
}

void MeasureFlood(const CAgentLog& log, const std::wstring& folder)
{
    ClearFolder(folder);
    log.Clear();
    CBenchAgent idle(log, L"--nolisten", true, folder);
    Require(log.WaitForCount("start ", 1), "waiting for the quiet agent");
    Sleep(1000);
    const SIZE_T idleBytes = PrivateBytes();
    idle.Stop();

    ClearFolder(folder);
    log.Clear();
    CBenchAgent flood(log, L"--nolisten --flood=" + std::to_wstring(kFloodBytes), true, folder);
    SIZE_T peakBytes = 0;
    ULONGLONG largestFile = 0;
    const auto sample = [&] {
        peakBytes = std::max(peakBytes, PrivateBytes());
        for (const wchar_t* name : {L"agent.log", L"agent.1.log", L"agent.2.log"})
            largestFile = std::max(largestFile, FileBytes(folder + L"\\" + name));
    };
    Require(WaitUntil([&] {
                sample();
                return log.Count("flooded") == 1;
            },
                      300000, 20),
            "waiting for the flood");
    flood.Stop();
    sample();
    const double seconds = (LoggedValue(log, "flooded") - LoggedValue(log, "start ")) / 1e6;
    printf("[ bench ] flood of %lld MB to standard output, output on (bound %llu bytes, 2 older files): %.1f MB/s, "
           "the agent's longest write (64 KB) %.2f ms; largest file %llu bytes (bound + %lld); private dirty memory "
           "peak %.2f MB, idle %.2f MB (+%.2f MB)\n",
           kFloodBytes >> 20, kFloodBound, (kFloodBytes >> 20) / seconds,
           LoggedValue(log, "flooded", " longest=") / 1e3, largestFile,
           static_cast<long long>(largestFile) - static_cast<long long>(kFloodBound), peakBytes / 1048576.0,
           idleBytes / 1048576.0, (static_cast<double>(peakBytes) - idleBytes) / 1048576.0);
    ClearFolder(folder);
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 4;
    for (int i = 1; i < argc; ++i)
    {
        if (strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, atoi(argv[i] + 9));
    }
    try
    {
        const CAgentLog log(L"outputbench");
        const std::wstring folder = BenchDirectory() + L"\\output-bench";
        const Launcher order[] = {Launcher::OutputOn, Launcher::PipeFloor, Launcher::OutputOff};
        std::vector<double> samples[3];
        for (int round = 0; round < rounds; ++round)
        {
            for (int i = 0; i < 3; ++i)
            {
                const Launcher launcher = order[(round + i) % 3];
                const std::vector<double> intervals = RelaunchRound(log, launcher, folder);
                std::vector<double>& kept = samples[static_cast<int>(launcher)];
                kept.insert(kept.end(), intervals.begin(), intervals.end());
            }
        }
        ClearFolder(folder);
        const CSampleFigures on = SummariseSamples(samples[static_cast<int>(Launcher::OutputOn)]);
        const CSampleFigures floor = SummariseSamples(samples[static_cast<int>(Launcher::PipeFloor)]);
        const CSampleFigures off = SummariseSamples(samples[static_cast<int>(Launcher::OutputOff)]);
        printf("[ bench ] relaunch, agent's \"exit\" line to the replacement's \"start\" line (%zu samples each): "
               "output on median %.2f ms, p90 %.2f ms; floor with the same pipes median %.2f ms, p90 %.2f ms "
               "(ratio %.2f); output off median %.2f ms, p90 %.2f ms (ratio %.2f)\n",
               on.count, on.median, on.p90, floor.median, floor.p90, on.median / floor.median, off.median, off.p90,
               on.median / off.median);
        MeasureFlood(log, folder);
    }
    catch (const std::exception& failure)
    {
        fprintf(stderr, "[ bench ] failed: %s\n", failure.what());
        return 1;
    }
    return 0;
}
