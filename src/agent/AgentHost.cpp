// The agent's start, supervision and stop: the pre-loop and post-loop steps of
// the module object.
//
// A stop that meets a relaunch. StartProcess runs under m_agentLock, and every
// StartProcess first checks m_bAgentStopping. ShutdownAgent raises the flag
// and takes the process handle over under the same lock: a relaunch that holds
// the lock at that moment completes first (its agent then gets the shutdown
// line like any other), every later one returns at once without touching the
// hold, and a relaunch that has not launched yet gives up before launching.
// ShutdownAgent then releases the wait without holding the lock, so a callback
// it waits for can take the lock, see the flag and return. Each registration
// is made once-only, so one end of the agent fires one callback, one
// StartProcess; that callback releases its own registration without waiting.
//
// A relaunch that fails is tried again later: a once-only wait with the delay
// as its time-out, on an event nobody signals, takes the exit wait's place in
// the slot and runs the same callback. The stop therefore cancels a pending
// attempt at once, and waits for a running one, exactly as for an exit wait.
// Windows Sockets must come before windows.h.
#include "agent/Socket.h"
#include "runtime/ZeltAgentSvcModule.h"

#include <cstdio>
#include <vector>

#include "agent/ExitWait.h"
#include "agent/ProgramPath.h"
#include "base/EventLog.h"
#include "base/ExclusiveLock.h"
#include "base/Result.h"

namespace {

const char kShutdownLine[] = "shutdown\n";
constexpr DWORD kShutdownLineBytes = sizeof(kShutdownLine) - 1;
constexpr DWORD kConnectTimeoutMs = 1000;
constexpr DWORD kAgentEndTimeoutMs = 3000;
constexpr DWORD kAgentAccess = SYNCHRONIZE | PROCESS_TERMINATE;

}  // namespace

HRESULT StartSockets()
{
    WSADATA data;
    const int error = WSAStartup(MAKEWORD(2, 2), &data);
    return error == 0 ? S_OK : HResultFromError(static_cast<DWORD>(error));
}

HRESULT CZeltAgentSvcModule::PreMessageLoop(int showCommand)
{
    HRESULT hr = PrepareMessageLoop(showCommand);
    if (FAILED(hr))
    {
        WriteTrace(*this, L"==> PreMessageLoop: end_fail-1." + summary);
        return hr;
    }
    hr = StartSockets();
    if (FAILED(hr))
    {
        WriteTrace(*this, L"==> PreMessageLoop: end_fail-2." + summary);
        return hr;
    }
    hr = StartProcess();
    if (FAILED(hr))
    {
        WriteTrace(*this, L"==> PreMessageLoop: end_fail-3." + summary);
        return hr;
    }
    return S_OK;
}

HRESULT CZeltAgentSvcModule::StartProcess(bool bInExitCallback)
{
    CExclusiveLock lock(m_agentLock);
    if (m_bAgentStopping)
        return S_FALSE;
    ReleaseExitWait(&m_hAgentWait, bInExitCallback ? nullptr : INVALID_HANDLE_VALUE);
    m_hAgentProcess.Reset();
    m_hAgentProcess.Reset(OpenRunningAgent());
    if (!m_hAgentProcess)
    {
        if (m_bAgentStopping)
            return S_FALSE;
        const HRESULT hr = LaunchAgent();
        if (FAILED(hr))
        {
            // The first launch fails the start; a relaunch has no caller to
            // fail, and the agent's file may be back soon (an update).
            if (bInExitCallback)
                ScheduleRelaunch();
            return hr;
        }
    }
    m_dwRelaunchDelayMs = kFirstRelaunchDelayMs;
    // Once-only: the handle stays signalled after the end, and one end must
    // lead to one relaunch. A failed registration leaves the agent unwatched.
    RegisterExitWait(&m_hAgentWait, m_hAgentProcess.Get(), &AgentExitCallback, this, INFINITE,
                     WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE);
    return S_OK;
}

// A process of the agent's image name, opened to wait for and terminate it;
// null when none runs or it cannot be opened.
HANDLE CZeltAgentSvcModule::OpenRunningAgent() const
{
    DWORD processId = 0;
    if (!FindProcessByImageName(agent.c_str(), processId))
        return nullptr;
    return OpenProcess(kAgentAccess, FALSE, processId);
}

// Without a timer event the relaunch is not tried again: supervision ends.
void CZeltAgentSvcModule::ScheduleRelaunch()
{
    if (!m_hRelaunchTimer)
        m_hRelaunchTimer.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hRelaunchTimer)
        return;
    RegisterExitWait(&m_hAgentWait, m_hRelaunchTimer.Get(), &AgentExitCallback, this, m_dwRelaunchDelayMs,
                     WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE);
    m_dwRelaunchDelayMs = m_dwRelaunchDelayMs < kLastRelaunchDelayMs / 2 ? m_dwRelaunchDelayMs * 2 : kLastRelaunchDelayMs;
}

// An unquoted program path with blanks is quoted up to the program it names,
// so that no shorter program on the way can run instead. The line is fixed
// by the first launch that succeeds: a relaunch while the agent's file is
// briefly away (an update) must not pick a shorter program found then.
HRESULT CZeltAgentSvcModule::LaunchAgent()
{
    if (!m_bLaunchLineFixed)
        m_launchLine = QuoteLongestProgram(cmd, &IsProgramFile);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // Process creation may write into the command line: give it a copy.
    std::vector<wchar_t> commandLine(m_launchLine.begin(), m_launchLine.end());
    commandLine.push_back(L'\0');
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.empty() ? nullptr : dir.c_str(), &startup, &info))
    {
        const DWORD error = GetLastError();
        wchar_t line[64];
        swprintf(line, 64, L"==> StartProcess: end_fail-1.[err=%lu]", error);
        WriteTrace(*this, line + summary);
        return HResultFromError(error);
    }
    CProcessInformation process;
    process.Adopt(info);
    m_hAgentProcess = std::move(process.process);
    m_bLaunchLineFixed = true;
    return S_OK;
}

HRESULT CZeltAgentSvcModule::ShutdownAgent()
{
    CKernelHandle process = TakeOverAgent();
    ReleaseExitWait(&m_hAgentWait);
    if (process)
        StopAgent(process.Get());
    process.Reset();
    WSACleanup();
    const HRESULT hr = RevokeClassTable();
    if (m_bIdleShutdown)
        Sleep(m_dwExitPause);
    return hr;
}

// Ends supervision: no relaunch starts after this, and the handle is ours.
CKernelHandle CZeltAgentSvcModule::TakeOverAgent()
{
    InterlockedExchange(&m_bAgentStopping, TRUE);
    CExclusiveLock lock(m_agentLock);
    return std::move(m_hAgentProcess);
}

// Asks the agent to end; terminates it when the line was not delivered or it
// did not end in time. The socket is closed before the termination.
void CZeltAgentSvcModule::StopAgent(HANDLE process) const
{
    if (FAILED(AskAgentToEnd(process)))
        TerminateProcess(process, 1);
}

// The connection is bounded on its own (a port whose listener never
// completes it cannot hold the stop; a healthy one completes it at once), and
// the agent has its full 3000 ms from the moment the line was sent.
HRESULT CZeltAgentSvcModule::AskAgentToEnd(HANDLE process) const
{
    Ravn::CTcpSocket socket;
    sockaddr_in address;
    HRESULT hr = Ravn::ResolveAddress("127.0.0.1", port, address);
    if (SUCCEEDED(hr))
        hr = socket.OpenStream();
    if (SUCCEEDED(hr))
        hr = socket.Connect(address, kConnectTimeoutMs);
    DWORD sent = 0;
    if (SUCCEEDED(hr))
        hr = socket.Send(kShutdownLine, kShutdownLineBytes, sent);
    if (SUCCEEDED(hr) && WaitForSingleObject(process, kAgentEndTimeoutMs) == WAIT_TIMEOUT)
        hr = E_FAIL;
    return hr;
}
