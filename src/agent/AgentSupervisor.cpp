// A stop that meets a relaunch. StartProcess runs under m_lock, and every
// StartProcess first checks m_bStopping. The stop raises the flag and takes
// the process handle over under the same lock: a relaunch that holds the
// lock at that moment completes first (its agent then gets the shutdown line
// like any other), every later one returns at once without touching the
// hold, and a relaunch that has not launched yet gives up before launching.
//
// No one holds the lock across a release that waits for a callback, since
// the callback takes the lock itself: the stop and Start release the slot's
// registration before they take it. A callback cannot wait for its own
// registration; it releases that one under the lock, without waiting, so
// that until then the registration stays in the slot and a stop that takes
// it out waits for the callback to end. Each registration is once-only, so
// one end of the agent fires one callback, one StartProcess.
//
// A relaunch that fails is tried again later: a once-only wait with the delay
// as its time-out, on an event nobody signals, takes the exit wait's place in
// the slot and runs the same callback. The stop therefore cancels a pending
// attempt at once, and waits for a running one, exactly as for an exit wait.
// Windows Sockets must come before windows.h.
#include "agent/Socket.h"

#include "agent/AgentSupervisor.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "agent/ExitWait.h"
#include "agent/ProgramPath.h"
#include "base/ExclusiveLock.h"
#include "base/Result.h"
#include "base/Text.h"

namespace {

const char kShutdownLine[] = "shutdown\n";
constexpr DWORD kShutdownLineBytes = sizeof(kShutdownLine) - 1;
constexpr DWORD kConnectTimeoutMs = 1000;
constexpr DWORD kAgentEndTimeoutMs = 3000;
constexpr DWORD kAgentAccess = SYNCHRONIZE | PROCESS_TERMINATE;

// A failed relaunch is tried again after 0.5 s, then after twice the
// previous delay, at most 30 s; a launch or adoption starts over.
constexpr DWORD kFirstRelaunchDelayMs = 500;
constexpr DWORD kLastRelaunchDelayMs = 30000;

}  // namespace

CAgentSupervisor::CAgentSupervisor(AgentSettings settings, TraceWriter writeTrace)
    : m_settings(std::move(settings)), m_writeTrace(std::move(writeTrace)), m_dwRelaunchDelayMs(kFirstRelaunchDelayMs)
{
}

CAgentSupervisor::~CAgentSupervisor()
{
    EndSupervision();
}

HRESULT CAgentSupervisor::Start()
{
    return StartProcess(false);
}

HRESULT CAgentSupervisor::OnAgentExit()
{
    return StartProcess(true);
}

void CALLBACK CAgentSupervisor::ExitCallback(void* context, BOOLEAN /*bTimedOut*/)
{
    static_cast<CAgentSupervisor*>(context)->OnAgentExit();
}

HANDLE CAgentSupervisor::AgentProcess() const
{
    CExclusiveLock lock(m_lock);
    return m_hAgentProcess.Get();
}

bool CAgentSupervisor::IsWatching() const
{
    return m_hAgentWait != nullptr;
}

HRESULT CAgentSupervisor::StartProcess(bool bInExitCallback)
{
    if (!bInExitCallback)
        ReleaseExitWait(&m_hAgentWait);
    CExclusiveLock lock(m_lock);
    if (m_bStopping)
        return S_FALSE;
    if (bInExitCallback)
        ReleaseExitWait(&m_hAgentWait, nullptr);
    else if (m_hAgentWait != nullptr)
        return S_OK;  // a relaunch came in between and watches its agent
    m_hAgentProcess.Reset();
    m_hAgentProcess.Reset(OpenRunningAgent());
    if (!m_hAgentProcess)
    {
        if (m_bStopping)
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
    RegisterExitWait(&m_hAgentWait, m_hAgentProcess.Get(), &ExitCallback, this, INFINITE,
                     WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE);
    return S_OK;
}

// A process of the agent's image name, opened to wait for and terminate it;
// null when none runs or it cannot be opened.
HANDLE CAgentSupervisor::OpenRunningAgent() const
{
    DWORD processId = 0;
    if (!FindProcessByImageName(m_settings.agent.c_str(), processId))
        return nullptr;
    return OpenProcess(kAgentAccess, FALSE, processId);
}

// Without a timer event the relaunch is not tried again: supervision ends.
void CAgentSupervisor::ScheduleRelaunch()
{
    if (!m_hRelaunchTimer)
        m_hRelaunchTimer.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hRelaunchTimer)
        return;
    RegisterExitWait(&m_hAgentWait, m_hRelaunchTimer.Get(), &ExitCallback, this, m_dwRelaunchDelayMs,
                     WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE);
    m_dwRelaunchDelayMs = m_dwRelaunchDelayMs < kLastRelaunchDelayMs / 2 ? m_dwRelaunchDelayMs * 2 : kLastRelaunchDelayMs;
}

namespace {

// Creates the agent's process from a copy of the line (process creation may
// write into it); the Windows error, or 0.
DWORD CreateAgentProcess(const std::wstring& line, const wchar_t* directory, CProcessInformation& process)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &info))
        return GetLastError();
    process.Adopt(info);
    return ERROR_SUCCESS;
}

bool IsRunningUnderWow64()
{
    BOOL bWow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64;
}

// On 64-bit Windows this 32-bit program sees C:\Windows\System32 as
// SysWOW64. A path that names no file there is tried once more with the
// thread's file system redirection off, so that a 64-bit agent in the native
// System32 is found by the path an administrator sees; a 32-bit agent that a
// 32-bit installer put there through System32 is still found first.
DWORD CreateAgentProcessInEitherView(const std::wstring& line, const wchar_t* directory,
                                     CProcessInformation& process)
{
    const DWORD error = CreateAgentProcess(line, directory, process);
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || !IsRunningUnderWow64())
        return error;
    void* redirection = nullptr;
    if (!Wow64DisableWow64FsRedirection(&redirection))
        return error;
    const DWORD nativeError = CreateAgentProcess(line, directory, process);
    Wow64RevertWow64FsRedirection(redirection);
    return nativeError == ERROR_SUCCESS ? ERROR_SUCCESS : error;
}

}  // namespace

// An unquoted program path with blanks is quoted up to the program it names,
// so that no shorter program on the way can run instead. The line is fixed
// by the first launch that succeeds: a relaunch while the agent's file is
// briefly away (an update) must not pick a shorter program found then.
HRESULT CAgentSupervisor::LaunchAgent()
{
    if (!m_bLaunchLineFixed)
        m_launchLine = QuoteLongestProgram(m_settings.cmd, &IsProgramFile);
    const wchar_t* directory = m_settings.dir.empty() ? nullptr : m_settings.dir.c_str();
    CProcessInformation process;
    const DWORD error = CreateAgentProcessInEitherView(m_launchLine, directory, process);
    if (error != ERROR_SUCCESS)
    {
        if (m_writeTrace)
            m_writeTrace(EventKind::LaunchFailed, FormatText(L"==> StartProcess: end_fail-1.[err=%lu]", error));
        return HResultFromError(error);
    }
    m_hAgentProcess = std::move(process.process);
    m_bLaunchLineFixed = true;
    return S_OK;
}

void CAgentSupervisor::Stop()
{
    CKernelHandle process = EndSupervision();
    if (process)
        StopAgent(process.Get());
}

// No relaunch starts after this, no callback runs once it returns, and the
// handle is the caller's.
CKernelHandle CAgentSupervisor::EndSupervision()
{
    InterlockedExchange(&m_bStopping, TRUE);
    CKernelHandle process;
    {
        CExclusiveLock lock(m_lock);
        process = std::move(m_hAgentProcess);
    }
    ReleaseExitWait(&m_hAgentWait);
    return process;
}

// Asks the agent to end; terminates it when the line was not delivered or it
// did not end in time. The socket is closed before the termination.
void CAgentSupervisor::StopAgent(HANDLE process) const
{
    if (FAILED(AskAgentToEnd(process)))
        TerminateProcess(process, 1);
}

// The connection is bounded on its own (a port whose listener never
// completes it cannot hold the stop; a healthy one completes it at once), and
// the agent has its full 3000 ms from the moment the line was sent.
HRESULT CAgentSupervisor::AskAgentToEnd(HANDLE process) const
{
    Ravn::CTcpSocket socket;
    sockaddr_in address;
    HRESULT hr = Ravn::ResolveAddress("127.0.0.1", m_settings.port, address);
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
