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
// A relaunch that fails, a relaunch after a quick end, and an exit wait whose
// registration failed are tried later: a once-only wait with the delay as its
// time-out, on an event nobody signals, takes the exit wait's place in the
// slot and runs the same callback, which looks at the hold to see what is
// due: an agent that still runs gets its exit wait again, an ended one is
// dealt with as an end, and without an agent one is adopted or launched. The
// stop therefore cancels a pending attempt at once, and waits for a running
// one, exactly as for an exit wait.
//
// The agent's tree. Each agent gets a job object of its own: a launched
// agent is created suspended, put into its job and only then resumed, so
// that every process it starts is in the job from its first instruction. The
// job is never made to kill on close: if the host itself dies, the agent
// must live on, to be adopted by the next start of the service. Once the
// agent has ended (by itself, on its line, or terminated), the job is
// terminated and its processes are awaited (bounded) before anything else
// happens: before the search for a process to adopt, so that a child of the
// same image is never adopted in the agent's place, and before STOPPED is
// reported. One job per agent rather than per run keeps an old agent's
// leftovers (a process that would not end within the bound) apart from the
// next agent's tree. No CREATE_BREAKAWAY_FROM_JOB: where the host itself runs
// in a job that forbids breaking away, it would make every launch fail;
// nested jobs let the agent's job sit inside the host's.
//
// Windows Sockets must come before windows.h.
#include "agent/Socket.h"

#include "agent/AgentSupervisor.h"

#include <algorithm>
#include <memory>
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
// A refused connection is tried again after this long, within the budget:
// the agent may be starting and not listen yet.
constexpr DWORD kConnectRetryMs = 50;
// How often a waiting stop reports progress.
constexpr DWORD kProgressSliceMs = 500;
// The letter's rights, and those to put an adopted agent into a job and read
// its exit code.
constexpr DWORD kAgentAccess = SYNCHRONIZE | PROCESS_TERMINATE;
constexpr DWORD kAdoptedAgentAccess = kAgentAccess | PROCESS_SET_QUOTA | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr UINT kTerminatedExitCode = 1;

// A failed relaunch or exit wait is tried again after 0.5 s, then after twice
// the previous delay, at most 30 s; a watched agent starts over.
constexpr DWORD kFirstRelaunchDelayMs = 500;
constexpr DWORD kLastRelaunchDelayMs = 30000;
// An agent that ended soon after its start is relaunched after 1 s, then
// twice the previous delay, at most 60 s; an agent that ran long enough
// starts over.
constexpr DWORD kFirstQuickEndDelayMs = 1000;
constexpr DWORD kLastQuickEndDelayMs = 60000;

DWORD Doubled(DWORD delayMs, DWORD lastMs)
{
    return delayMs < lastMs / 2 ? delayMs * 2 : lastMs;
}

bool HasEnded(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// Waits for the process, calling `reportProgress` every slice; true when it
// ended within the time-out.
bool WaitWithProgress(HANDLE process, DWORD timeoutMs, const std::function<void()>& reportProgress)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        const ULONGLONG now = GetTickCount64();
        const DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(process, std::min(remaining, kProgressSliceMs)) != WAIT_TIMEOUT)
            return true;
        if (remaining <= kProgressSliceMs)
            return false;
        if (reportProgress)
            reportProgress();
    }
}

// Terminates every process of the job and waits (bounded) until those it
// listed have ended. A job that cannot be listed is not waited for.
void EndTree(HANDLE job)
{
    if (job == nullptr)
        return;
    TerminateJobObject(job, kTerminatedExitCode);
    struct
    {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[MAXIMUM_WAIT_OBJECTS - 1];
    } ids{};
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof(ids), nullptr) &&
        GetLastError() != ERROR_MORE_DATA)
        return;
    std::vector<CKernelHandle> processes;
    std::vector<HANDLE> waits;
    const DWORD listed = std::min<DWORD>(ids.list.NumberOfProcessIdsInList, MAXIMUM_WAIT_OBJECTS);
    for (DWORD i = 0; i < listed; ++i)
    {
        // A process already gone cannot be opened: nothing to wait for.
        CKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(ids.list.ProcessIdList[i])));
        if (process)
        {
            waits.push_back(process.Get());
            processes.push_back(std::move(process));
        }
    }
    if (!waits.empty())
        WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE,
                               CAgentSupervisor::kTreeEndTimeoutMs);
}

// Puts the process into a new job; the Windows error when that fails (the
// job then stays empty).
DWORD JoinNewJob(HANDLE process, CKernelHandle& job)
{
    CKernelHandle created(CreateJobObjectW(nullptr, nullptr));
    if (!created)
        return GetLastError();
    if (!AssignProcessToJobObject(created.Get(), process))
        return GetLastError();
    job = std::move(created);
    return ERROR_SUCCESS;
}

}  // namespace

namespace {

// The status of a supervisor that has no one to tell.
class CUntoldStatus : public IAgentStatus
{
public:
    void AgentStarted(DWORD, HANDLE) override {}
    void AgentEnded(const AgentEnd&) override {}
};

CUntoldStatus s_untoldStatus;

}  // namespace

CAgentSupervisor::CAgentSupervisor(AgentSettings settings, TraceWriter writeTrace, IAgentStatus* pStatus)
    : m_settings(std::move(settings)),
      m_writeTrace(std::move(writeTrace)),
      m_status(pStatus != nullptr ? *pStatus : s_untoldStatus),
      m_dwRelaunchDelayMs(kFirstRelaunchDelayMs),
      m_dwQuickEndDelayMs(kFirstQuickEndDelayMs)
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

void CAgentSupervisor::Write(EventKind kind, const std::wstring& line) const
{
    if (m_writeTrace)
        m_writeTrace(kind, line);
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
    if (!SettleHeldAgent())
        return S_OK;
    AdoptRunningAgent();
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
    WatchAgent();
    return S_OK;
}

// The agent held when a wait fired: one that still runs gets its exit wait
// again (a failed registration's next attempt), one that ended is dealt with
// as an end. True when the next agent is due now.
bool CAgentSupervisor::SettleHeldAgent()
{
    if (!m_hAgentProcess)
        return true;
    if (!HasEnded(m_hAgentProcess.Get()))
    {
        WatchAgent();
        return false;
    }
    const DWORD delayMs = EndEndedAgent();
    if (delayMs == 0)
        return true;
    ScheduleAttempt(delayMs);
    return false;
}

// The agent has ended by itself: ends the rest of its tree, writes the end
// (or counts it) and lets the hold go. Returns the delay before the next
// launch, 0 for at once.
DWORD CAgentSupervisor::EndEndedAgent()
{
    AgentEnd end;
    // Not readable for an adopted agent opened with the letter's rights only.
    end.bExitCodeKnown = GetExitCodeProcess(m_hAgentProcess.Get(), &end.exitCode) != FALSE;
    const ULONGLONG now = GetTickCount64();
    end.ranMs = now - m_agentStartMs;
    end.relaunchDelayMs = NextQuickEndDelay(end.ranMs);
    EndTree(m_hAgentJob.Get());
    m_hAgentJob.Reset();
    m_hAgentProcess.Reset();
    m_status.AgentEnded(end);
    AgentEndRecord record;
    if (m_endLog.TakeEnd(now, end, record))
        Write(record.kind, record.text);
    return end.relaunchDelayMs;
}

DWORD CAgentSupervisor::NextQuickEndDelay(ULONGLONG ranMs)
{
    if (ranMs >= m_settings.quickEndMs)
    {
        m_dwQuickEndDelayMs = kFirstQuickEndDelayMs;
        return 0;
    }
    const DWORD delayMs = m_dwQuickEndDelayMs;
    m_dwQuickEndDelayMs = Doubled(m_dwQuickEndDelayMs, kLastQuickEndDelayMs);
    return delayMs;
}

// A process of the agent's image name, opened to wait for, terminate and put
// into a job (or, where those rights are refused, with the first two only);
// none when none runs or it cannot be opened.
void CAgentSupervisor::AdoptRunningAgent()
{
    m_hAgentProcess.Reset();
    DWORD processId = 0;
    if (!FindProcessByImageName(m_settings.agent.c_str(), processId))
        return;
    HANDLE process = OpenProcess(kAdoptedAgentAccess, FALSE, processId);
    if (process == nullptr)
        process = OpenProcess(kAgentAccess, FALSE, processId);
    if (process == nullptr)
        return;
    m_hAgentProcess.Reset(process);
    m_agentStartMs = GetTickCount64();
    m_status.AgentStarted(processId, process);
    PutIntoTree(process, true);
}

// A process already in a job that allows no nesting (or a job that cannot be
// made) stays outside: it is supervised as before, and one record says that
// what it starts is not ended with it (for each adoption; for launches once
// a run, since each relaunch would meet the same refusal).
void CAgentSupervisor::PutIntoTree(HANDLE process, bool bAdopted)
{
    const DWORD error = JoinNewJob(process, m_hAgentJob);
    if (error == ERROR_SUCCESS || (!bAdopted && m_bOutsideTreeWritten))
        return;
    m_bOutsideTreeWritten = true;
    Write(EventKind::AgentOutsideTree,
          FormatText(L"Agent (process %lu) runs outside the instance's process tree [err=%lu]; what it starts is "
                     L"not ended with it",
                     GetProcessId(process), error));
}

// Once-only: the handle stays signalled after the end, and one end must lead
// to one relaunch. A registration that fails is written and tried again on
// the relaunch schedule, so the agent is never unwatched without a record.
void CAgentSupervisor::WatchAgent()
{
    const HRESULT hr = RegisterExitWait(&m_hAgentWait, m_hAgentProcess.Get(), &ExitCallback, this, INFINITE,
                                        WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE);
    if (SUCCEEDED(hr))
    {
        m_dwRelaunchDelayMs = kFirstRelaunchDelayMs;
        return;
    }
    Write(EventKind::ExitWaitFailed,
          FormatText(L"==> StartProcess: end_fail-2.[err=%lu]", static_cast<unsigned long>(HRESULT_CODE(hr))));
    ScheduleRelaunch();
}

void CAgentSupervisor::ScheduleRelaunch()
{
    if (ScheduleAttempt(m_dwRelaunchDelayMs))
        m_dwRelaunchDelayMs = Doubled(m_dwRelaunchDelayMs, kLastRelaunchDelayMs);
}

// The next attempt after `delayMs`. When even that wait cannot be registered
// nothing is tried again until the stop: the record says so.
bool CAgentSupervisor::ScheduleAttempt(DWORD delayMs)
{
    if (!m_hRelaunchTimer)
        m_hRelaunchTimer.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HRESULT hr = m_hRelaunchTimer ? RegisterExitWait(&m_hAgentWait, m_hRelaunchTimer.Get(), &ExitCallback, this,
                                                           delayMs, WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE)
                                        : HResultFromLastError();
    if (SUCCEEDED(hr))
        return true;
    Write(EventKind::ExitWaitFailed,
          FormatText(L"==> StartProcess: end_fail-3.[err=%lu]", static_cast<unsigned long>(HRESULT_CODE(hr))));
    return false;
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
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, directory,
                        &startup, &info))
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
// briefly away (an update) must not pick a shorter program found then. The
// agent is created suspended and runs only once it is in its tree.
HRESULT CAgentSupervisor::LaunchAgent()
{
    if (!m_bLaunchLineFixed)
        m_launchLine = QuoteLongestProgram(m_settings.cmd, &IsProgramFile);
    const wchar_t* directory = m_settings.dir.empty() ? nullptr : m_settings.dir.c_str();
    CProcessInformation process;
    DWORD error = CreateAgentProcessInEitherView(m_launchLine, directory, process);
    if (error == ERROR_SUCCESS)
    {
        PutIntoTree(process.process.Get(), false);
        if (ResumeThread(process.thread.Get()) == static_cast<DWORD>(-1))
        {
            error = GetLastError();
            TerminateProcess(process.process.Get(), kTerminatedExitCode);
            m_hAgentJob.Reset();
        }
    }
    if (error != ERROR_SUCCESS)
    {
        Write(EventKind::LaunchFailed, FormatText(L"==> StartProcess: end_fail-1.[err=%lu]", error));
        return HResultFromError(error);
    }
    m_hAgentProcess = std::move(process.process);
    m_agentStartMs = GetTickCount64();
    m_status.AgentStarted(GetProcessId(m_hAgentProcess.Get()), m_hAgentProcess.Get());
    m_bLaunchLineFixed = true;
    return S_OK;
}

void CAgentSupervisor::Stop(const std::function<void()>& reportProgress)
{
    Hold hold = EndSupervision();
    if (hold.process)
        StopAgent(hold.process.Get(), reportProgress);
    if (hold.job && reportProgress)
        reportProgress();
    EndTree(hold.job.Get());
    WriteUnwrittenEnds();
}

// No relaunch starts after this, no callback runs once it returns, and the
// hold is the caller's.
CAgentSupervisor::Hold CAgentSupervisor::EndSupervision()
{
    InterlockedExchange(&m_bStopping, TRUE);
    Hold hold;
    {
        CExclusiveLock lock(m_lock);
        hold.process = std::move(m_hAgentProcess);
        hold.job = std::move(m_hAgentJob);
    }
    ReleaseExitWait(&m_hAgentWait);
    return hold;
}

// The ends counted since the last record, so that a crash loop's last
// minute is not lost at the stop. Only the stop comes here, after every
// callback has ended.
void CAgentSupervisor::WriteUnwrittenEnds()
{
    AgentEndRecord record;
    bool bUnwritten = false;
    {
        CExclusiveLock lock(m_lock);
        bUnwritten = m_endLog.TakeUnwritten(GetTickCount64(), record);
    }
    if (bUnwritten)
        Write(record.kind, record.text);
}

// Asks the agent to end; terminates it when the line was not delivered or it
// did not end in time. The socket is closed before the termination.
void CAgentSupervisor::StopAgent(HANDLE process, const std::function<void()>& reportProgress) const
{
    if (FAILED(AskAgentToEnd(process, reportProgress)))
        TerminateProcess(process, kTerminatedExitCode);
}

// The connection is bounded on its own (a port whose listener never
// completes it cannot hold the stop; a healthy one completes it at once) and
// a refused one is tried again within that bound (the agent may be starting
// and not listen yet), unless the agent has ended meanwhile. The agent has
// its full 3000 ms from the moment the line was sent.
HRESULT CAgentSupervisor::AskAgentToEnd(HANDLE process, const std::function<void()>& reportProgress) const
{
    sockaddr_in address;
    HRESULT hr = Ravn::ResolveAddress("127.0.0.1", m_settings.port, address);
    if (FAILED(hr))
        return hr;
    const ULONGLONG deadline = GetTickCount64() + kConnectTimeoutMs;
    std::unique_ptr<Ravn::CTcpSocket> socket;
    for (;;)
    {
        socket = std::make_unique<Ravn::CTcpSocket>();
        const ULONGLONG now = GetTickCount64();
        const DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        hr = socket->OpenStream();
        if (SUCCEEDED(hr))
            hr = socket->Connect(address, remaining);
        if (hr != HResultFromError(WSAECONNREFUSED) || remaining <= kConnectRetryMs ||
            WaitForSingleObject(process, kConnectRetryMs) != WAIT_TIMEOUT)
            break;
    }
    DWORD sent = 0;
    if (SUCCEEDED(hr))
        hr = socket->Send(kShutdownLine, kShutdownLineBytes, sent);
    if (SUCCEEDED(hr) && reportProgress)
        reportProgress();
    if (SUCCEEDED(hr) && !WaitWithProgress(process, kAgentEndTimeoutMs, reportProgress))
        hr = E_FAIL;
    return hr;
}
