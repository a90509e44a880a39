#include <winsock2.h>

#include "ReliabilitySupport.h"

#include <tlhelp32.h>

#include <cstring>

#include "base/Handles.h"
#include "instance/ImagePath.h"
#include "resources/Guids.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"


double ElapsedMs(long long sinceMicroseconds)
{
    return static_cast<double>(NowMicroseconds() - sinceMicroseconds) / 1000.0;
}

std::wstring CopyDemoAgent(const std::wstring& imageName)
{
    const std::wstring path = BuiltProgramPath(imageName.c_str());
    CopyFileW(BuiltProgramPath(L"ZeltDemoAgent.exe").c_str(), path.c_str(), FALSE);
    return path;
}

std::wstring TestFilePath(const std::wstring& name)
{
    return TestProgramDirectory() + L"\\" + name;
}

size_t CountLines(const std::string& text, const std::string& prefix)
{
    size_t count = 0;
    for (size_t at = 0; at < text.size();)
    {
        if (text.compare(at, prefix.size(), prefix) == 0)
            ++count;
        const size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return count;
}

bool WaitForFileText(const std::wstring& path, const std::string& text, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 20)
    {
        if (ReadFileText(path).find(text) != std::string::npos)
            return true;
        if (waited >= timeoutMs)
            return false;
        Sleep(20);
    }
}

bool WaitForNoProcess(const std::wstring& imageName, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 20)
    {
        if (FindProcesses(imageName).empty())
            return true;
        if (waited >= timeoutMs)
            return false;
        Sleep(20);
    }
}

void TerminateProcesses(const std::wstring& imageName)
{
    for (const DWORD id : FindProcesses(imageName))
    {
        CKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (process && TerminateProcess(process.Get(), 0xDEAD))
            WaitForSingleObject(process.Get(), 5000);
    }
}

namespace {

struct SystemHandleEntry
{
    ULONG ownerId;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    void* object;
    ULONG access;
};

struct SystemHandleList
{
    ULONG count;
    SystemHandleEntry entries[1];
};

using QuerySystemInformationFunction = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

bool CountHandles(DWORD processId, DWORD& count)
{
    const auto query = reinterpret_cast<QuerySystemInformationFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return false;
    std::vector<BYTE> buffer(1 << 16);
    LONG status;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return false;
    const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
    count = 0;
    for (ULONG i = 0; i < list->count; ++i)
        count += list->entries[i].ownerId == processId ? 1 : 0;
    return true;
}

DWORD CountThreads(DWORD processId)
{
    DWORD count = 0;
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
        count += entry.th32OwnerProcessID == processId ? 1 : 0;
    return count;
}

unsigned long ReadStatusKiB(const std::string& status, const char* field)
{
    const size_t at = status.find(field);
    return at == std::string::npos ? 0 : std::stoul(status.substr(at + strlen(field)));
}

// The /proc status of the Unix process whose command line holds the mark.
std::string FindUnixStatus(const std::string& mark)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE)
        return std::string();
    std::string status;
    do
    {
        if (found.cFileName[0] < L'0' || found.cFileName[0] > L'9')
            continue;
        const std::wstring folder = std::wstring(L"Z:\\proc\\") + found.cFileName;
        std::string commandLine = ReadFileText(folder + L"\\cmdline");
        if (commandLine.find(mark) != std::string::npos && commandLine.find("ZeltAgentSvc.exe") != std::string::npos)
            status = ReadFileText(folder + L"\\status");
    } while (status.empty() && FindNextFileW(search, &found));
    FindClose(search);
    return status;
}

}  // namespace

bool ReadProcessFigures(DWORD processId, const std::string& commandLineMark, ProcessFigures& figures)
{
    if (!CountHandles(processId, figures.handles))
        return false;
    figures.threads = CountThreads(processId);
    // This process's own Unix process is /proc/self.
    const std::string status = commandLineMark.empty() ? ReadFileText(L"Z:\\proc\\self\\status")
                                                       : FindUnixStatus(commandLineMark);
    figures.residentKiB = ReadStatusKiB(status, "VmRSS:");
    figures.dataKiB = ReadStatusKiB(status, "VmData:");
    return figures.threads > 0 && !status.empty();
}

std::wstring CTestInstance::InstallArguments(USHORT port, const std::wstring& agent, const std::wstring& cmd) const
{
    return L"/Service /port=" + std::to_wstring(port) + L" " + QuoteArgument(L"/agent=" + agent) + L" " +
           QuoteArgument(L"/cmd=" + cmd) + L" " + QuoteArgument(L"/num=" + m_num);
}

DWORD CTestInstance::Install(USHORT port, const std::wstring& agent, const std::wstring& cmd) const
{
    return RunHost(InstallArguments(port, agent, cmd));
}

bool CTestInstance::Start() const
{
    CServiceHandle service = OpenTestService(ServiceName(), SERVICE_START);
    return service && StartServiceW(service.Get(), 0, nullptr);
}

bool CTestInstance::RequestStop() const
{
    CServiceHandle service = OpenTestService(ServiceName(), SERVICE_STOP);
    SERVICE_STATUS status{};
    return service && ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
}

DWORD CTestInstance::QueryState(DWORD* pProcessId, DWORD* pExitCode) const
{
    CServiceHandle service = OpenTestService(ServiceName(), SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof(status), &needed))
        return 0;
    if (pProcessId != nullptr)
        *pProcessId = status.dwProcessId;
    if (pExitCode != nullptr)
        *pExitCode = status.dwWin32ExitCode;
    return status.dwCurrentState;
}

bool CTestInstance::WaitForState(DWORD state, DWORD timeoutMs) const
{
    const long long start = NowMicroseconds();
    for (;;)
    {
        if (QueryState() == state)
            return true;
        if (ElapsedMs(start) >= timeoutMs)
            return false;
        Sleep(5);
    }
}

void CTestInstance::Remove() const
{
    if (QueryState() == 0)
        return;
    if (RequestStop())
        WaitForState(SERVICE_STOPPED, 20000);
    RunHost(L"/unregserver " + QuoteArgument(L"/num=" + m_num));
    WaitForServiceGone(ServiceName());
}

std::wstring QuoteArgument(const std::wstring& value)
{
    return L"\"" + EscapeQuotedValue(value) + L"\"";
}
