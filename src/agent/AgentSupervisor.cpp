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
// The agent's tree. The instance has one job object for its run, named
// after the instance under Global\ and open to the system and
// administrators only. A launched agent is created inside it where process
// creation can put it there (Windows 10 and later); elsewhere it is created
// suspended, put into the job and only then resumed. Either way every
// process it starts is in the job from its first instruction. The job is
// never made to kill on close: if the host itself dies, the agent must live
// on, to be adopted by the next start of the service, which finds the job
// by its name and takes it over with all that is in it. A named object
// keeps its name only while a handle to it is open, so the agent is given
// a handle to its own job (it can only wait on it): the name lives as long
// as the agent. Once the agent has ended (by itself, on its line, or
// terminated), the job's processes are terminated and the job's own count
// of active processes is awaited (bounded) before anything else happens:
// before the search for a process to adopt, so that a child of the same
// image is never adopted in the agent's place, and before STOPPED is
// reported. No CREATE_BREAKAWAY_FROM_JOB: where the host itself runs in a
// job that forbids breaking away, it would make every launch fail; nested
// jobs let the instance's job sit inside the host's.
//
// Windows Sockets must come before windows.h.
#include "agent/Socket.h"

#include "agent/AgentSupervisor.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include <sddl.h>

#include "agent/AgentOutput.h"
#include "agent/ExitWait.h"
#include "agent/ProgramPath.h"
#include "base/ExclusiveLock.h"
#include "base/Result.h"
#include "base/Text.h"

UpdateAttributeFunction g_pfnUpdateProcThreadAttribute = &UpdateProcThreadAttribute;

namespace {

const char kShutdownLine[] = "shutdown\n";
constexpr DWORD kShutdownLineBytes = sizeof(kShutdownLine) - 1;
// Each connection attempt is bounded on its own, and a refused or
// unanswered one is tried again within the budget: the agent may be
// starting and not listen yet, or its listen queue may be full for a
// moment. A refused attempt is tried again after a pause; one that ran out
// its bound at once.
constexpr DWORD kConnectAttemptMs = 200;
constexpr DWORD kConnectRetryMs = 50;
// How often a waiting stop reports progress.
constexpr DWORD kProgressSliceMs = 500;
// Once the agent's tree has ended every writer of its output is gone and
// the pipe breaks as soon as the host has read what is left; a process that
// left the tree with a copy of the handle cannot hold the end longer.
constexpr DWORD kOutputDrainMs = 500;
// The stop writes no end record and has its bound: what the pipe still
// holds once the tree has ended is read at once, else left.
constexpr DWORD kStopOutputDrainMs = 100;
// The letter's rights, and those to put an adopted agent into a job and read
// its exit code.
constexpr DWORD kAgentAccess = SYNCHRONIZE | PROCESS_TERMINATE;
constexpr DWORD kAdoptedAgentAccess = kAgentAccess | PROCESS_SET_QUOTA | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr UINT kTerminatedExitCode = 1;
// The longest pause between two readings of the job's count of processes.
constexpr DWORD kTreePollMs = 16;
// The instance's job: full access for the system and administrators only.
const wchar_t kJobAccessList[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

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

DWORD RemainingMs(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// One connection attempt to the agent's port, bounded: the stop's attempts
// and the probe's checks are the same attempt.
HRESULT ConnectOnce(Ravn::CTcpSocket& socket, const sockaddr_in& address, DWORD timeoutMs)
{
    HRESULT hr = socket.OpenStream();
    if (SUCCEEDED(hr))
        hr = socket.Connect(address, timeoutMs);
    return hr;
}

// Waits for the process, calling `reportProgress` every slice; true when it
// ended within the time-out.
bool WaitWithProgress(HANDLE process, DWORD timeoutMs, const std::function<void()>& reportProgress)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        const DWORD remaining = RemainingMs(deadline);
        if (WaitForSingleObject(process, std::min(remaining, kProgressSliceMs)) != WAIT_TIMEOUT)
            return true;
        if (remaining <= kProgressSliceMs)
            return false;
        if (reportProgress)
            reportProgress();
    }
}

// Terminates every process of the job and waits (bounded) until the job
// counts no active process, calling `reportProgress` about every half
// second. The job's own count does not depend on process ids, which the
// system may give to new processes meanwhile. A job that cannot be read is
// not waited for.
void EndTree(HANDLE job, const std::function<void()>& reportProgress = nullptr,
             DWORD timeoutMs = CAgentSupervisor::kTreeEndTimeoutMs)
{
    if (job == nullptr)
        return;
    TerminateJobObject(job, kTerminatedExitCode);
    const ULONGLONG begin = GetTickCount64();
    ULONGLONG lastReport = begin;
    for (DWORD pollMs = 1;; pollMs = std::min(pollMs * 2, kTreePollMs))
    {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &counts, sizeof(counts), nullptr) ||
            counts.ActiveProcesses == 0)
            return;
        const ULONGLONG now = GetTickCount64();
        if (now - begin >= timeoutMs)
            return;
        if (reportProgress && now - lastReport >= kProgressSliceMs)
        {
            reportProgress();
            lastReport = now;
        }
        Sleep(pollMs);
    }
}

bool IsInJob(HANDLE process, HANDLE job)
{
    BOOL bInJob = FALSE;
    return job != nullptr && IsProcessInJob(process, job, &bInJob) && bInJob;
}

// The job's name for an instance: its service name with the letters A to Z
// folded (the service manager ignores their case, object names do not),
// under Global\ so that every session sees it. A name too long for an
// object name is cut and marked with a hash of the whole.
std::wstring InstanceJobName(const std::wstring& instance)
{
    const std::wstring prefix = L"Global\\ZeltAgentTree.";
    std::wstring name;
    UINT32 hash = 2166136261u;  // FNV-1a
    for (wchar_t c : instance)
    {
        const wchar_t folded = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        name += folded;
        hash = (hash ^ folded) * 16777619u;
    }
    const size_t room = MAX_PATH - 1 - prefix.size();
    if (name.size() > room)
        name = name.substr(0, room - 9) + FormatText(L".%08x", hash);
    return prefix + name;
}

// Creates the instance's job, or opens the one a host of the same instance
// left (`bExisted`). Without a name, or where a name under Global\ is refused
// (a program without the right to create global objects), the job is
// unnamed. The Windows error when no job can be made.
DWORD CreateInstanceJob(const std::wstring& instance, CKernelHandle& job, bool& bExisted)
{
    bExisted = false;
    PSECURITY_DESCRIPTOR converted = nullptr;
    if (!instance.empty() &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(kJobAccessList, SDDL_REVISION_1, &converted, nullptr))
    {
        const CLocalMemory descriptor(converted);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), converted, FALSE};
        SetLastError(ERROR_SUCCESS);
        const HANDLE named = CreateJobObjectW(&attributes, InstanceJobName(instance).c_str());
        bExisted = named != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
        job.Reset(named);
        if (job)
            return ERROR_SUCCESS;
    }
    job.Reset(CreateJobObjectW(nullptr, nullptr));
    return job ? ERROR_SUCCESS : GetLastError();
}

// Gives the process a handle to its job that allows waiting only, so that
// the job's name outlives the host. An adopted agent's handle lacks the
// right to receive handles: the process is opened with it for this alone.
// A process that cannot be given one is left as it is: the name then lives
// as long as the host.
void LendJobName(HANDLE process, HANDLE job)
{
    HANDLE lent = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), job, process, &lent, SYNCHRONIZE, FALSE, 0))
        return;
    const CKernelHandle receiver(OpenProcess(PROCESS_DUP_HANDLE, FALSE, GetProcessId(process)));
    if (receiver)
        DuplicateHandle(GetCurrentProcess(), job, receiver.Get(), &lent, SYNCHRONIZE, FALSE, 0);
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
    const HRESULT hr = StartProcess(false);
    if (hr == S_OK)
        StartProbing();
    return hr;
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
    OpenTree();
    AdoptRunningAgent();
    SettleTakenOverTree();
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
    if (m_pOutput)
    {
        m_pOutput->Drain(kOutputDrainMs);
        end.lastWords = m_pOutput->LastWords();
        m_pOutput.reset();
    }
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

// The instance's job, made or taken over once a run: a job that a host of
// the same instance left holds that host's agent and all it started.
void CAgentSupervisor::OpenTree()
{
    if (m_hAgentJob)
        return;
    m_dwTreeError = CreateInstanceJob(m_settings.instance, m_hAgentJob, m_bTreeTakenOver);
}

// A job taken over whose agent was not adopted holds the rest of a tree
// whose agent has ended: it ends now, as it would have at that agent's end.
void CAgentSupervisor::SettleTakenOverTree()
{
    if (!m_bTreeTakenOver)
        return;
    m_bTreeTakenOver = false;
    if (!m_hAgentProcess || !IsInJob(m_hAgentProcess.Get(), m_hAgentJob.Get()))
        EndTree(m_hAgentJob.Get());
}

// The first process of the agent's image name, opened to wait for,
// terminate and put into a job (or, where those rights are refused, with
// the first two only); none when none runs or it cannot be opened. A
// process of the image that is still suspended with its one thread is a
// launch whose host died before it ran the agent: it is ended, never
// adopted, and the search goes on.
void CAgentSupervisor::AdoptRunningAgent()
{
    m_hAgentProcess.Reset();
    for (const DWORD processId : FindProcessesByImageName(m_settings.agent.c_str()))
    {
        HANDLE process = OpenProcess(kAdoptedAgentAccess, FALSE, processId);
        if (process == nullptr)
            process = OpenProcess(kAgentAccess, FALSE, processId);
        if (process == nullptr)
            return;
        CKernelHandle found(process);
        if (!IsUnstartedLaunch(processId))
        {
            m_hAgentProcess = std::move(found);
            m_agentStartMs = GetTickCount64();
            m_status.AgentStarted(processId, m_hAgentProcess.Get());
            PutIntoTree(m_hAgentProcess.Get(), true);
            return;
        }
        TerminateProcess(found.Get(), kTerminatedExitCode);
        WaitForSingleObject(found.Get(), kTreeEndTimeoutMs);
    }
}

// A process already in a job that allows no nesting (or a job that cannot be
// made) stays outside: it is supervised as before, and one record says that
// what it starts is not ended with it (for each adoption; for launches once
// a run, since each relaunch would meet the same refusal). An adopted agent
// already in the instance's job (taken over) stays there.
void CAgentSupervisor::PutIntoTree(HANDLE process, bool bAdopted)
{
    DWORD error = m_dwTreeError;
    if (IsInJob(process, m_hAgentJob.Get()))
        return;
    if (m_hAgentJob && AssignProcessToJobObject(m_hAgentJob.Get(), process))
        LendJobName(process, m_hAgentJob.Get());
    else if (m_hAgentJob)
        error = GetLastError();
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

// The attribute that has process creation put the new process into jobs
// (Windows 10 and later), for a target that predates it.
const DWORD_PTR kJobListAttribute = ProcThreadAttributeValue(13, FALSE, TRUE, FALSE);

// A launch's attribute list: the job, and with output the handles the
// agent inherits. Without output the agent inherits nothing and keeps the
// creation flags it always had.
class CLaunchAttributes
{
public:
    CLaunchAttributes() = default;
    CLaunchAttributes(const CLaunchAttributes&) = delete;
    CLaunchAttributes& operator=(const CLaunchAttributes&) = delete;
    ~CLaunchAttributes()
    {
        if (m_pList != nullptr)
            DeleteProcThreadAttributeList(m_pList);
    }

    // Room for `count` attributes; false where the system has no lists.
    bool Initialize(DWORD count)
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, count, 0, &size);
        m_buffer.resize(size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_buffer.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list, count, 0, &size))
            return false;
        m_pList = list;
        return true;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return m_pList; }

    // The agent's standard handles, and the list that lets it inherit those
    // alone (a handle the host opens meanwhile for anything else stays
    // its own). The agent gets no console window: a hidden console, which
    // the console programs it starts share (their output goes where its
    // own goes) instead of each opening a window of its own.
    bool GiveStdHandles(const AgentStdHandles& handles, STARTUPINFOEXW& startup, DWORD& flags)
    {
        m_inherited[0] = handles.input;
        m_inherited[1] = handles.output;
        startup.lpAttributeList = m_pList;
        startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = handles.input;
        startup.StartupInfo.hStdOutput = handles.output;
        startup.StartupInfo.hStdError = handles.output;
        flags |= EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW;
        return UpdateProcThreadAttribute(m_pList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_inherited,
                                         sizeof(m_inherited), nullptr, nullptr) != FALSE;
    }

private:
    std::vector<BYTE> m_buffer;
    LPPROC_THREAD_ATTRIBUTE_LIST m_pList = nullptr;
    HANDLE m_inherited[2]{};
};

// Creates the process with the job in its attribute list, so that it starts
// inside the job. False when the system cannot take the attribute (before
// Windows 10) or refuses the process in the job: the caller then uses the
// suspended start.
bool CreateProcessInJob(wchar_t* commandLine, const wchar_t* directory, HANDLE job, const AgentStdHandles* pHandles,
                        PROCESS_INFORMATION& info, DWORD& error)
{
    CLaunchAttributes attributes;
    if (job == nullptr || !attributes.Initialize(pHandles != nullptr ? 2 : 1))
        return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = attributes.Get();
    DWORD flags = EXTENDED_STARTUPINFO_PRESENT;
    const bool bListed =
        g_pfnUpdateProcThreadAttribute(attributes.Get(), 0, kJobListAttribute, &job, sizeof(job), nullptr,
                                       nullptr) != FALSE &&
        (pHandles == nullptr || attributes.GiveStdHandles(*pHandles, startup, flags));
    const bool bCreated = bListed && CreateProcessW(nullptr, commandLine, nullptr, nullptr, pHandles != nullptr,
                                                    flags, nullptr, directory, &startup.StartupInfo, &info);
    error = bCreated ? ERROR_SUCCESS : GetLastError();
    // A program that is not there is not there for the suspended start either.
    return bCreated || (bListed && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND));
}

// Creates the process suspended, with its standard handles as in the job's
// start.
DWORD CreateSuspendedProcess(wchar_t* commandLine, const wchar_t* directory, const AgentStdHandles* pHandles,
                             PROCESS_INFORMATION& info)
{
    CLaunchAttributes attributes;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = pHandles != nullptr ? sizeof(startup) : sizeof(startup.StartupInfo);
    DWORD flags = CREATE_SUSPENDED;
    if (pHandles != nullptr && !(attributes.Initialize(1) && attributes.GiveStdHandles(*pHandles, startup, flags)))
        return GetLastError();
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, pHandles != nullptr, flags, nullptr, directory,
                        &startup.StartupInfo, &info))
        return GetLastError();
    return ERROR_SUCCESS;
}

// Creates the agent's process from a copy of the line (process creation may
// write into it): inside the job where the system can do that, else
// suspended (`bSuspended`), to be put into the job and resumed by the
// caller. The Windows error, or 0.
DWORD CreateAgentProcess(const std::wstring& line, const wchar_t* directory, HANDLE job,
                         const AgentStdHandles* pHandles, CProcessInformation& process, bool& bSuspended)
{
    PROCESS_INFORMATION info{};
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    DWORD error = ERROR_SUCCESS;
    bSuspended = !CreateProcessInJob(commandLine.data(), directory, job, pHandles, info, error);
    if (bSuspended)
        error = CreateSuspendedProcess(commandLine.data(), directory, pHandles, info);
    if (error == ERROR_SUCCESS)
        process.Adopt(info);
    return error;
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
DWORD CreateAgentProcessInEitherView(const std::wstring& line, const wchar_t* directory, HANDLE job,
                                     const AgentStdHandles* pHandles, CProcessInformation& process,
                                     bool& bSuspended)
{
    const DWORD error = CreateAgentProcess(line, directory, job, pHandles, process, bSuspended);
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || !IsRunningUnderWow64())
        return error;
    void* redirection = nullptr;
    if (!Wow64DisableWow64FsRedirection(&redirection))
        return error;
    const DWORD nativeError = CreateAgentProcess(line, directory, job, pHandles, process, bSuspended);
    Wow64RevertWow64FsRedirection(redirection);
    return nativeError == ERROR_SUCCESS ? ERROR_SUCCESS : error;
}

}  // namespace

// An unquoted program path with blanks is quoted up to the program it names,
// so that no shorter program on the way can run instead. The line is fixed
// by the first launch that succeeds: a relaunch while the agent's file is
// briefly away (an update) must not pick a shorter program found then. The
// agent runs only once it is in its tree.
HRESULT CAgentSupervisor::LaunchAgent()
{
    if (!m_bLaunchLineFixed)
        m_launchLine = QuoteLongestProgram(m_settings.cmd, &IsProgramFile);
    const wchar_t* directory = m_settings.dir.empty() ? nullptr : m_settings.dir.c_str();
    std::unique_ptr<CAgentOutput> output = OpenOutput();
    AgentStdHandles handles{};
    if (output)
        handles = output->StdHandles();
    CProcessInformation process;
    bool bSuspended = false;
    DWORD error = CreateAgentProcessInEitherView(m_launchLine, directory, m_hAgentJob.Get(),
                                                 output ? &handles : nullptr, process, bSuspended);
    if (error == ERROR_SUCCESS && !bSuspended)
        LendJobName(process.process.Get(), m_hAgentJob.Get());
    else if (error == ERROR_SUCCESS)
    {
        PutIntoTree(process.process.Get(), false);
        if (ResumeThread(process.thread.Get()) == static_cast<DWORD>(-1))
        {
            error = GetLastError();
            TerminateProcess(process.process.Get(), kTerminatedExitCode);
        }
    }
    if (error != ERROR_SUCCESS)
    {
        Write(EventKind::LaunchFailed, FormatText(L"==> StartProcess: end_fail-1.[err=%lu]", error));
        return HResultFromError(error);
    }
    if (output && output->BeginReading())
        m_pOutput = std::move(output);
    m_hAgentProcess = std::move(process.process);
    m_agentStartMs = GetTickCount64();
    m_status.AgentStarted(GetProcessId(m_hAgentProcess.Get()), m_hAgentProcess.Get());
    m_bLaunchLineFixed = true;
    return S_OK;
}

// The capture of the next launch's output; none when off, or (written) when
// it cannot be made: the agent is then launched without it.
std::unique_ptr<CAgentOutput> CAgentSupervisor::OpenOutput() const
{
    if (!m_settings.output.bOn)
        return nullptr;
    auto output = std::make_unique<CAgentOutput>(m_settings, m_writeTrace);
    const DWORD error = output->Open();
    if (error == ERROR_SUCCESS)
        return output;
    Write(EventKind::AgentOutputDropped,
          FormatText(L"Agent output not captured [err=%lu]; the agent is launched without it", error));
    return nullptr;
}

void CAgentSupervisor::Stop(const std::function<void()>& reportProgress, StopBudget budget)
{
    Hold hold = EndSupervision();
    if (hold.process)
        StopAgent(hold.process.Get(), reportProgress, budget.agentEndMs);
    if (hold.job && reportProgress)
        reportProgress();
    EndTree(hold.job.Get(), reportProgress, budget.treeEndMs);
    if (hold.output)
        hold.output->Drain(kStopOutputDrainMs);
    hold.output.reset();
    WriteUnwrittenEnds();
}

// No relaunch starts after this, no callback runs once it returns, and the
// hold is the caller's.
CAgentSupervisor::Hold CAgentSupervisor::EndSupervision()
{
    InterlockedExchange(&m_bStopping, TRUE);
    StopProbing();
    Hold hold;
    {
        CExclusiveLock lock(m_lock);
        hold.process = std::move(m_hAgentProcess);
        hold.job = std::move(m_hAgentJob);
        hold.output = std::move(m_pOutput);
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
void CAgentSupervisor::StopAgent(HANDLE process, const std::function<void()>& reportProgress,
                                 DWORD agentEndMs) const
{
    if (FAILED(AskAgentToEnd(process, reportProgress, agentEndMs)))
        TerminateProcess(process, kTerminatedExitCode);
}

// The connection is bounded on its own (a port whose listener never
// completes it cannot hold the stop; a healthy one completes it at once),
// and so is each attempt within it: where nothing listens yet, Windows does
// not refuse a loopback connection but sends its request again for about
// 2 s, and a full listen queue drops requests silently. An attempt that is
// refused or unanswered is therefore tried again within the budget, unless
// the agent has ended meanwhile. The agent has its full time (3000 ms, or a
// quick stop's) from the moment the line was sent.
HRESULT CAgentSupervisor::AskAgentToEnd(HANDLE process, const std::function<void()>& reportProgress,
                                        DWORD agentEndMs) const
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
        hr = ConnectOnce(*socket, address, std::min(RemainingMs(deadline), kConnectAttemptMs));
        const bool bRefused = hr == HResultFromError(WSAECONNREFUSED);
        if (!bRefused && hr != HResultFromError(WSAETIMEDOUT))
            break;
        const DWORD pauseMs = bRefused ? kConnectRetryMs : 0;
        if (RemainingMs(deadline) <= pauseMs || WaitForSingleObject(process, pauseMs) != WAIT_TIMEOUT)
            break;
    }
    DWORD sent = 0;
    if (SUCCEEDED(hr))
        hr = socket->SetBlocking(true);
    if (SUCCEEDED(hr))
        hr = socket->Send(kShutdownLine, kShutdownLineBytes, sent);
    if (SUCCEEDED(hr) && reportProgress)
        reportProgress();
    if (SUCCEEDED(hr) && !WaitWithProgress(process, agentEndMs, reportProgress))
        hr = E_FAIL;
    return hr;
}

// The probe. A check connects to the control port within one attempt's
// bound and closes at once, sending nothing. Checks within the agent's
// grace after its start (one interval and the connect budget: it may not
// listen yet) are not counted and begin the count anew, so that each agent,
// a relaunched one too, is judged on its own checks. The restart is the
// stop's (the line, its time, termination) without ending supervision: the
// exit wait then ends the tree, records the end and relaunches the agent
// under the usual rules. Checks that come while a restart runs (the timer
// goes on) are not counted. The stop cancels the timer and waits for a running
// check, its restart included, before it takes the agent over.
void CALLBACK CAgentSupervisor::ProbeCallback(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER)
{
    static_cast<CAgentSupervisor*>(context)->Probe();
}

void CAgentSupervisor::StartProbing()
{
    if (m_settings.probeSeconds == 0)
        return;
    const PTP_TIMER timer = CreateThreadpoolTimer(&ProbeCallback, this, nullptr);
    if (timer == nullptr)
        return;
    const DWORD periodMs = m_settings.probeSeconds * 1000;
    const LONGLONG due = -static_cast<LONGLONG>(periodMs) * 10000;  // relative, in 100 ns units
    FILETIME dueTime{static_cast<DWORD>(due), static_cast<DWORD>(static_cast<ULONGLONG>(due) >> 32)};
    CExclusiveLock lock(m_lock);
    if (m_bStopping)
    {
        CloseThreadpoolTimer(timer);
        return;
    }
    m_pProbeTimer = timer;
    SetThreadpoolTimer(timer, &dueTime, periodMs, 0);
}

void CAgentSupervisor::StopProbing()
{
    PTP_TIMER timer = nullptr;
    {
        CExclusiveLock lock(m_lock);
        std::swap(timer, m_pProbeTimer);
    }
    if (timer == nullptr)
        return;
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    CloseThreadpoolTimer(timer);
}

bool CAgentSupervisor::IsAnswering() const
{
    sockaddr_in address;
    Ravn::CTcpSocket socket;
    return SUCCEEDED(Ravn::ResolveAddress("127.0.0.1", m_settings.port, address)) &&
           SUCCEEDED(ConnectOnce(socket, address, kConnectAttemptMs));
}

void CAgentSupervisor::Probe()
{
    const ULONGLONG graceMs = m_settings.probeSeconds * 1000ULL + kConnectTimeoutMs;
    ULONGLONG agentStartMs = 0;
    {
        CExclusiveLock lock(m_lock);
        agentStartMs = m_agentStartMs;
        if (m_bStopping || !m_hAgentProcess || GetTickCount64() - agentStartMs < graceMs)
        {
            m_dwUnansweredProbes = 0;
            return;
        }
    }
    const bool bAnswered = IsAnswering();
    CKernelHandle process;
    {
        CExclusiveLock lock(m_lock);
        // A miss counts only while the process lives; an answer needs no look.
        if (m_bStopping || m_bProbeRestarting || !m_hAgentProcess || m_agentStartMs != agentStartMs ||
            (!bAnswered && HasEnded(m_hAgentProcess.Get())))
            return;
        m_status.AgentProbed(bAnswered);
        m_dwUnansweredProbes = bAnswered ? 0 : m_dwUnansweredProbes + 1;
        if (m_dwUnansweredProbes < kUnansweredProbeLimit)
            return;
        m_dwUnansweredProbes = 0;
        HANDLE copy = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), m_hAgentProcess.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return;
        process.Reset(copy);
        m_bProbeRestarting = true;
    }
    Write(EventKind::AgentNotAnswering,
          FormatText(L"Agent does not answer on port %hu (%lu checks in %lu s); restarting it", m_settings.port,
                     kUnansweredProbeLimit, kUnansweredProbeLimit * m_settings.probeSeconds));
    StopAgent(process.Get(), nullptr, kAgentEndTimeoutMs);
    CExclusiveLock lock(m_lock);
    m_bProbeRestarting = false;
}
