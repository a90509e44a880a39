// Helpers for the tests of the running host: the demo agent and its log, a
// service entry, processes by image name and the event-log seam. Each owner removes what it created, also on failure.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

constexpr const wchar_t* kDemoAgentName = L"ZeltDemoAgent.exe";

// Polls `condition` every 10 ms; false when `timeoutMs` passed first. Only a
// bound that catches hangs, never a timing check.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 20000);

// The performance counter in microseconds, as the demo agent logs it.
long long NowMicroseconds();

// Ids of the running processes with this image name (exact, case folded).
std::vector<DWORD> FindProcesses(const std::wstring& imageName);
// Terminates every process of this image name and waits for each to end.
void KillProcesses(const wchar_t* imageName);

// Ends every demo agent when created and again when destroyed, so that a
// test leaves none behind, also when a check aborts it.
class CAgentReaper
{
public:
    CAgentReaper() { KillProcesses(kDemoAgentName); }
    ~CAgentReaper() { KillProcesses(kDemoAgentName); }
    CAgentReaper(const CAgentReaper&) = delete;
    CAgentReaper& operator=(const CAgentReaper&) = delete;
};

// A demo agent log file of its own, deleted at the end.
class CAgentLog
{
public:
    CAgentLog();
    ~CAgentLog();
    CAgentLog(const CAgentLog&) = delete;
    CAgentLog& operator=(const CAgentLog&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::vector<std::string> Lines() const;
    // Process ids of the "start" lines, in order.
    std::vector<DWORD> StartedIds() const;
    // All bytes of the "recv" lines, in hex.
    std::string ReceivedHex() const;
    size_t Count(const std::string& prefix) const;
    bool WaitForCount(const std::string& prefix, size_t count, DWORD timeoutMs = 20000) const;

private:
    std::wstring m_path;
};

// The demo agent's command line with its full path and a log.
std::wstring DemoAgentCommand(const CAgentLog& log, USHORT port, const std::wstring& options = L"");

// A service entry of the host with the command line the installer writes;
// stopped and deleted at the end.
class CScopedService
{
public:
    CScopedService(const std::wstring& name, const std::wstring& commandLine);
    ~CScopedService();
    CScopedService(const CScopedService&) = delete;
    CScopedService& operator=(const CScopedService&) = delete;

    SC_HANDLE Get() const { return m_service.Get(); }
    SERVICE_STATUS Query() const;
    // Waits for `state`; false when it did not come within the bound.
    bool WaitForState(DWORD state, DWORD timeoutMs = 30000) const;

private:
    CServiceHandle m_manager;
    CServiceHandle m_service;
};

// The host's command line as the installer writes it, for the built host or
// the copy at `host`.
std::wstring HostCommandLine(USHORT port, const std::wstring& agent, const std::wstring& cmd,
                             const std::wstring& host = BuiltProgramPath(L"ZeltAgentSvc.exe"));

// Runs that command line by hand, outside the service manager, with a
// listening demo agent that logs to `log` on a port of the system's choice.
ProgramResult RunHostByHand(const CAgentLog& log);

// Collects the records that reach the event log, for in-process tests.
class CEventLogCapture
{
public:
    struct Record
    {
        std::wstring source;
        std::wstring message;
        WORD level;      // EVENTLOG_*_TYPE
        DWORD eventId;
    };

    CEventLogCapture();
    ~CEventLogCapture();
    CEventLogCapture(const CEventLogCapture&) = delete;
    CEventLogCapture& operator=(const CEventLogCapture&) = delete;
    std::vector<Record> Records() const;
    std::vector<std::wstring> Messages() const;
};

// The host started in place with its output going to a file; terminated at
// the end if it still runs.
class CHostProcess
{
public:
    explicit CHostProcess(const std::wstring& commandLine);
    ~CHostProcess();
    CHostProcess(const CHostProcess&) = delete;
    CHostProcess& operator=(const CHostProcess&) = delete;

    bool IsStarted() const { return static_cast<bool>(m_process.process); }
    HANDLE Process() const { return m_process.process.Get(); }
    // Posts the quit message that ends the in-place message loop.
    bool PostQuit() const;
    // Waits for the end; false when the bound passed first.
    bool Wait(DWORD timeoutMs = 30000) const;
    DWORD ExitCode() const;
    std::string Output() const;

private:
    std::wstring m_outputPath;
    CProcessInformation m_process;
    DWORD m_dwThreadId = 0;
};
