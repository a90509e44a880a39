#include <winsock2.h>

#include "support/HostTestSupport.h"

#include <tlhelp32.h>

#include <atomic>
#include <mutex>
#include <sstream>

#include "base/EventLog.h"
#include "support/TestSupport.h"

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition())
    {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(10);
    }
    return true;
}

long long NowMicroseconds()
{
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart / frequency.QuadPart * 1000000 + counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

std::vector<DWORD> FindProcesses(const std::wstring& imageName)
{
    std::vector<DWORD> ids;
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
    {
        if (CompareStringOrdinal(imageName.c_str(), -1, entry.szExeFile, -1, TRUE) == CSTR_EQUAL)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

void KillProcesses(const wchar_t* imageName)
{
    for (DWORD id : FindProcesses(imageName))
    {
        CKernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
        if (!process)
            continue;
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), 10000);
    }
}

CAgentLog::CAgentLog()
{
    static std::atomic<int> counter{0};
    m_path = TestProgramDirectory() + L"\\agentlog-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter) + L".txt";
    DeleteFileW(m_path.c_str());
}

CAgentLog::~CAgentLog()
{
    DeleteFileW(m_path.c_str());
}

std::vector<std::string> CAgentLog::Lines() const
{
    std::vector<std::string> lines;
    std::istringstream stream(ReadFileText(m_path));
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

std::vector<DWORD> CAgentLog::StartedIds() const
{
    std::vector<DWORD> ids;
    for (const std::string& line : Lines())
        if (line.rfind("start pid=", 0) == 0)
            ids.push_back(static_cast<DWORD>(std::stoul(line.substr(10))));
    return ids;
}

std::string CAgentLog::ReceivedHex() const
{
    std::string hex;
    for (const std::string& line : Lines())
        if (line.rfind("recv ", 0) == 0)
            hex += line.substr(5);
    return hex;
}

size_t CAgentLog::Count(const std::string& prefix) const
{
    size_t count = 0;
    for (const std::string& line : Lines())
        if (line.rfind(prefix, 0) == 0)
            ++count;
    return count;
}

bool CAgentLog::WaitForCount(const std::string& prefix, size_t count, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Count(prefix) >= count; }, timeoutMs);
}

std::wstring DemoAgentCommand(const CAgentLog& log, USHORT port, const std::wstring& options)
{
    std::wstring line = BuiltProgramPath(kDemoAgentName) + L" --port=" + std::to_wstring(port) + L" --log=" + log.Path();
    if (!options.empty())
        line += L" " + options;
    return line;
}

CScopedService::CScopedService(const std::wstring& name, const std::wstring& commandLine)
    : m_manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
{
    if (!m_manager)
        return;
    // A service left behind by an interrupted run would block the creation.
    CServiceHandle stale(OpenServiceW(m_manager.Get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (stale)
    {
        SERVICE_STATUS status;
        ControlService(stale.Get(), SERVICE_CONTROL_STOP, &status);
        DeleteService(stale.Get());
    }
    m_service.Reset(CreateServiceW(m_manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                   commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

CScopedService::~CScopedService()
{
    if (!m_service)
        return;
    SERVICE_STATUS status{};
    if (QueryServiceStatus(m_service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED)
    {
        ControlService(m_service.Get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(SERVICE_STOPPED, 15000);
    }
    DeleteService(m_service.Get());
}

SERVICE_STATUS CScopedService::Query() const
{
    SERVICE_STATUS status{};
    QueryServiceStatus(m_service.Get(), &status);
    return status;
}

bool CScopedService::WaitForState(DWORD state, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Query().dwCurrentState == state; }, timeoutMs);
}

std::wstring HostCommandLine(USHORT port, const std::wstring& agent, const std::wstring& cmd, const std::wstring& host)
{
    return L"\"" + host + L"\" /port=" + std::to_wstring(port) + L" /agent=\"" + agent +
           L"\" /cmd=\"" + cmd + L"\"";
}

ProgramResult RunHostByHand(const CAgentLog& log)
{
    const USHORT port = FindFreePort();
    return RunProgram(HostCommandLine(port, kDemoAgentName, DemoAgentCommand(log, port)));
}

namespace {

std::mutex s_eventMutex;
std::vector<CEventLogCapture::Record> s_events;

void CaptureRecord(const wchar_t* sourceName, WORD level, DWORD eventId, const wchar_t* message)
{
    std::lock_guard<std::mutex> lock(s_eventMutex);
    s_events.push_back({sourceName, message, level, eventId});
}

}  // namespace

CEventLogCapture::CEventLogCapture()
{
    std::lock_guard<std::mutex> lock(s_eventMutex);
    s_events.clear();
    g_pfnWriteEventRecord = &CaptureRecord;
}

CEventLogCapture::~CEventLogCapture()
{
    g_pfnWriteEventRecord = &WriteEventRecord;
}

std::vector<CEventLogCapture::Record> CEventLogCapture::Records() const
{
    std::lock_guard<std::mutex> lock(s_eventMutex);
    return s_events;
}

std::vector<std::wstring> CEventLogCapture::Messages() const
{
    std::vector<std::wstring> messages;
    for (const Record& record : Records())
        messages.push_back(record.message);
    return messages;
}

CHostProcess::CHostProcess(const std::wstring& commandLine)
{
    static std::atomic<int> counter{0};
    m_outputPath = TestProgramDirectory() + L"\\hostout-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(++counter) + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    CFileHandle output(CreateFileW(m_outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   &inherit, CREATE_ALWAYS, 0, nullptr));
    if (!output)
        return;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.Get();
    startup.hStdError = output.Get();
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return;
    m_process.Adopt(info);
    m_dwThreadId = info.dwThreadId;
}

CHostProcess::~CHostProcess()
{
    if (m_process.process && WaitForSingleObject(m_process.process.Get(), 0) == WAIT_TIMEOUT)
    {
        TerminateProcess(m_process.process.Get(), 0xDEAD);
        WaitForSingleObject(m_process.process.Get(), 10000);
    }
    DeleteFileW(m_outputPath.c_str());
}

bool CHostProcess::PostQuit() const
{
    // The host's thread may not have its message queue yet: try until it has.
    return WaitUntil([&] { return PostThreadMessageW(m_dwThreadId, WM_QUIT, 0, 0) != FALSE; }, 10000);
}

bool CHostProcess::Wait(DWORD timeoutMs) const
{
    return WaitForSingleObject(m_process.process.Get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD CHostProcess::ExitCode() const
{
    DWORD code = 0;
    GetExitCodeProcess(m_process.process.Get(), &code);
    return code;
}

std::string CHostProcess::Output() const
{
    return ReadFileText(m_outputPath);
}
