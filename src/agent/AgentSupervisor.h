// The agent's start, supervision and stop.
#pragma once

#include <windows.h>

#include <string>

#include "base/EventLog.h"
#include "base/Handles.h"

// What the supervisor needs to know of its agent.
struct AgentSettings
{
    std::wstring agent;  // the image file name of a running agent to adopt
    std::wstring cmd;    // the command line that launches it
    std::wstring dir;    // its working directory; empty: the host's own
    USHORT port = 0;     // its control port on 127.0.0.1
};

// Launches or adopts the agent, relaunches it each time its process ends
// (trying a failed relaunch again with a growing delay), and stops it
// through its control port. The exit callback runs on the system's wait
// pool.
class CAgentSupervisor
{
public:
    // `writeTrace` gets one line for each failed launch.
    CAgentSupervisor(AgentSettings settings, TraceWriter writeTrace);
    // Ends supervision as a stop does, without the shutdown line: no
    // callback runs and no relaunch starts once it returns.
    ~CAgentSupervisor();
    CAgentSupervisor(const CAgentSupervisor&) = delete;
    CAgentSupervisor& operator=(const CAgentSupervisor&) = delete;

    // Adopts a running process of the image name or launches the command
    // line, and watches it. S_FALSE once the stop has begun.
    HRESULT Start();
    // Ends supervision for good, then asks the agent to end through its
    // control port and terminates it when that fails.
    void Stop();
    // The exit wait's work, once the agent has ended or a failed relaunch
    // is due again: adopts or launches the agent anew. S_FALSE once the stop
    // has begun.
    HRESULT OnAgentExit();

    // The agent process held (null when none): owned by the supervisor and
    // valid until the next relaunch or the stop.
    HANDLE AgentProcess() const;
    // True while a wait is registered: for the agent's end, or for the next
    // attempt after a failed relaunch.
    bool IsWatching() const;

private:
    static void CALLBACK ExitCallback(void* context, BOOLEAN bTimedOut);

    HRESULT StartProcess(bool bInExitCallback);
    HANDLE OpenRunningAgent() const;
    HRESULT LaunchAgent();
    void ScheduleRelaunch();
    CKernelHandle EndSupervision();
    void StopAgent(HANDLE process) const;
    HRESULT AskAgentToEnd(HANDLE process) const;

    const AgentSettings m_settings;
    const TraceWriter m_writeTrace;

    // m_lock gives the hold one user at a time; m_bStopping, once raised,
    // keeps every relaunch away. The slot holds the agent's exit wait, or
    // the timed wait of the next attempt after a failed relaunch.
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    LONG volatile m_bStopping = FALSE;
    HANDLE volatile m_hAgentWait = nullptr;
    CKernelHandle m_hAgentProcess;
    // The delay before the next attempt after a failed relaunch; the event
    // its timed wait waits on (never signalled).
    DWORD m_dwRelaunchDelayMs;
    CKernelHandle m_hRelaunchTimer;
    // The command line launches use, fixed by the first successful launch.
    std::wstring m_launchLine;
    bool m_bLaunchLineFixed = false;
};
