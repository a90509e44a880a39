// The agent's start, supervision and stop.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "agent/AgentEndLog.h"
#include "agent/AgentStatus.h"
#include "base/EventLog.h"
#include "base/Handles.h"

// The call that puts the job into a launch's attributes,
// UpdateProcThreadAttribute, replaceable so that a system that refuses the
// attribute (before Windows 10) can be tested.
using UpdateAttributeFunction = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID,
                                              PSIZE_T);
extern UpdateAttributeFunction g_pfnUpdateProcThreadAttribute;

class CAgentOutput;

// What the supervisor needs to know of its agent.
struct AgentSettings
{
    std::wstring agent;  // the image file name of a running agent to adopt
    std::wstring cmd;    // the command line that launches it
    std::wstring dir;    // its working directory; empty: the host's own
    USHORT port = 0;     // its control port on 127.0.0.1
    // An agent that ends sooner than this after its start is relaunched
    // after a delay (1 s, doubling up to 60 s); 0 relaunches every end at
    // once.
    DWORD quickEndMs = 1500;
    // The instance's service name, which names the job of the agent's tree;
    // empty: an unnamed job, which the next host cannot take over.
    std::wstring instance{};
    // The agent's standard output and error, kept in rotated files when on;
    // off, the agent is launched with no handle inherited and no file kept.
    struct Output
    {
        bool bOn = false;
        std::wstring folder{};                    // empty: the instance's folder under %ProgramData%
        ULONGLONG rotateBytes = 10 * 1024 * 1024;  // the current file's bound
        DWORD keepFiles = 2;                      // older files kept beside it
    } output{};
    // Seconds between two checks that the agent's control port answers;
    // 0: no checks.
    DWORD probeSeconds = 0;
};

// Launches or adopts the agent with the processes it starts (its tree, held
// in the instance's job object, which a later host of the instance takes
// over), relaunches it each time its process ends (after a delay
// when it ended soon after its start; trying a failed relaunch again with a
// growing delay), and stops it through its control port. The exit callback
// runs on the system's wait pool.
class CAgentSupervisor
{
public:
    // The worst case of Stop: the connection, the agent's end after the
    // line, and the end of the rest of its tree.
    static constexpr DWORD kConnectTimeoutMs = 1000;
    static constexpr DWORD kAgentEndTimeoutMs = 3000;
    static constexpr DWORD kTreeEndTimeoutMs = 2000;
    static constexpr DWORD kStopWorstCaseMs = kConnectTimeoutMs + kAgentEndTimeoutMs + kTreeEndTimeoutMs;
    // How long a stop waits for the agent after its line and for the rest
    // of its tree. A quick stop fits the about 5 s that Windows gives all
    // services together after SHUTDOWN.
    struct StopBudget
    {
        DWORD agentEndMs;
        DWORD treeEndMs;
    };
    static constexpr StopBudget kFullStop{kAgentEndTimeoutMs, kTreeEndTimeoutMs};
    static constexpr StopBudget kQuickStop{2000, 1000};
    static_assert(kConnectTimeoutMs + kQuickStop.agentEndMs + kQuickStop.treeEndMs < 5000,
                  "a quick stop ends within the time Windows gives services at SHUTDOWN");
    // Counted checks in a row without a connection that restart the agent.
    static constexpr DWORD kUnansweredProbeLimit = 3;

    // `writeTrace` gets one record for each failed launch or exit wait, for
    // the agent's ends and for an agent that runs outside its tree.
    // `pStatus` (may be null) is told of each start and end of the agent.
    CAgentSupervisor(AgentSettings settings, TraceWriter writeTrace, IAgentStatus* pStatus = nullptr);
    // Ends supervision as a stop does, without the shutdown line and without
    // ending the agent's tree: no callback runs and no relaunch starts once
    // it returns.
    ~CAgentSupervisor();
    CAgentSupervisor(const CAgentSupervisor&) = delete;
    CAgentSupervisor& operator=(const CAgentSupervisor&) = delete;

    // Takes over the job a host of the instance left (or makes it), adopts
    // a running process of the image name or launches the command line, and
    // watches it. S_FALSE once the stop has begun.
    HRESULT Start();
    // Ends supervision for good, asks the agent to end through its control
    // port, terminates it when that fails, then ends the rest of its tree.
    // `reportProgress` (may be empty) is called between the phases and about
    // every half second while one waits.
    void Stop(const std::function<void()>& reportProgress = nullptr, StopBudget budget = kFullStop);
    // The exit wait's work, once the agent has ended or a delayed attempt
    // is due: ends the rest of the tree and adopts or launches the agent
    // anew, or schedules that. S_FALSE once the stop has begun.
    HRESULT OnAgentExit();

    // The agent process held (null when none): owned by the supervisor and
    // valid until the next relaunch or the stop.
    HANDLE AgentProcess() const;
    // True while a wait is registered: for the agent's end, or for the next
    // attempt after a quick end or a failure.
    bool IsWatching() const;

private:
    // What a stop takes over: the agent, the job that holds its tree and
    // the capture of its output.
    struct Hold
    {
        CKernelHandle process;
        CKernelHandle job;
        std::unique_ptr<CAgentOutput> output;
    };

    static void CALLBACK ExitCallback(void* context, BOOLEAN bTimedOut);

    HRESULT StartProcess(bool bInExitCallback);
    bool SettleHeldAgent();
    DWORD EndEndedAgent();
    DWORD NextQuickEndDelay(ULONGLONG ranMs);
    void OpenTree();
    void SettleTakenOverTree();
    void AdoptRunningAgent();
    HRESULT LaunchAgent();
    std::unique_ptr<CAgentOutput> OpenOutput() const;
    void PutIntoTree(HANDLE process, bool bAdopted);
    void WatchAgent();
    void ScheduleRelaunch();
    bool ScheduleAttempt(DWORD delayMs);
    void Write(EventKind kind, const std::wstring& line) const;
    Hold EndSupervision();
    void StopAgent(HANDLE process, const std::function<void()>& reportProgress, DWORD agentEndMs) const;
    HRESULT AskAgentToEnd(HANDLE process, const std::function<void()>& reportProgress, DWORD agentEndMs) const;
    void WriteUnwrittenEnds();

    // The probe: a thread-pool timer that checks every probeSeconds that the
    // agent's control port takes a connection, and restarts an agent that
    // lives but missed kUnansweredProbeLimit counted checks in a row.
    static void CALLBACK ProbeCallback(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER);
    void StartProbing();
    void StopProbing();
    void Probe();
    bool IsAnswering() const;

    const AgentSettings m_settings;
    const TraceWriter m_writeTrace;
    IAgentStatus& m_status;

    // m_lock gives the hold one user at a time; m_bStopping, once raised,
    // keeps every relaunch away. The slot holds the agent's exit wait, or
    // the timed wait of the next attempt after a quick end or a failure.
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    LONG volatile m_bStopping = FALSE;
    HANDLE volatile m_hAgentWait = nullptr;
    CKernelHandle m_hAgentProcess;
    // The capture of a launched agent's output (none when off or adopted).
    std::unique_ptr<CAgentOutput> m_pOutput;
    // The instance's job for the run, the Windows error when none could be
    // made, and whether it was a job a host of the instance left, not yet
    // settled.
    CKernelHandle m_hAgentJob;
    DWORD m_dwTreeError = ERROR_SUCCESS;
    bool m_bTreeTakenOver = false;
    ULONGLONG m_agentStartMs = 0;
    // The delay before the next attempt after a failed relaunch or exit
    // wait; the delay after the next quick end; the event the timed waits
    // wait on (never signalled).
    DWORD m_dwRelaunchDelayMs;
    DWORD m_dwQuickEndDelayMs;
    CKernelHandle m_hRelaunchTimer;
    CAgentEndLog m_endLog;
    bool m_bOutsideTreeWritten = false;
    // The command line launches use, fixed by the first successful launch.
    std::wstring m_launchLine;
    bool m_bLaunchLineFixed = false;
    // The probe's timer (none with probing off), the counted checks in a
    // row that got no connection, and whether a check is restarting the
    // agent.
    PTP_TIMER m_pProbeTimer = nullptr;
    DWORD m_dwUnansweredProbes = 0;
    bool m_bProbeRestarting = false;
};
