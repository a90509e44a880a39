#include "BenchSupport.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

std::wstring ParentOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash);
}

// The whole content of a file, read through Wine's Z: drive for /proc files
// (whose size the file system does not know).
std::string ReadWholeFile(const std::wstring& path)
{
    CKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

std::vector<std::wstring> NumericEntries(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if (entry.cFileName[0] != 0 && wcsspn(entry.cFileName, L"0123456789") == wcslen(entry.cFileName))
            names.push_back(entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

// The number after "name:" in a /proc text of "name: value" lines; 0 when absent.
unsigned long long FieldOf(const std::string& text, const std::string& name)
{
    const size_t at = text.find("\n" + name + ":");
    const size_t start = text.compare(0, name.size() + 1, name + ":") == 0 ? 0 : at;
    if (start == std::string::npos)
        return 0;
    return std::stoull(text.substr(text.find(':', start) + 1));
}

long long LogField(const std::string& line, const char* name)
{
    const size_t at = line.find(std::string(" ") + name + "=");
    return at == std::string::npos ? -1 : std::stoll(line.substr(at + strlen(name) + 2));
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::wstring BenchDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return ParentOf(std::wstring(path, length));
}

std::wstring BuildDirectory()
{
    return ParentOf(BenchDirectory());
}

CChildProcess::CChildProcess(const std::wstring& commandLine, const std::wstring& directory, DWORD flags)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info))
        return;
    CloseHandle(info.hThread);
    m_hProcess = CKernelHandle(info.hProcess);
}

CChildProcess::~CChildProcess()
{
    if (m_hProcess && WaitForSingleObject(m_hProcess.Get(), 0) == WAIT_TIMEOUT)
    {
        TerminateProcess(m_hProcess.Get(), 1);
        WaitForSingleObject(m_hProcess.Get(), 10000);
    }
}

bool CChildProcess::Wait(DWORD timeoutMs) const
{
    return m_hProcess && WaitForSingleObject(m_hProcess.Get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD CChildProcess::ExitCode() const
{
    DWORD code = 0;
    GetExitCodeProcess(m_hProcess.Get(), &code);
    return code;
}

DWORD RunToEnd(const std::wstring& commandLine, DWORD timeoutMs)
{
    CChildProcess program(commandLine, L"");
    if (!program.IsStarted())
        return GetLastError();
    return program.Wait(timeoutMs) ? program.ExitCode() : WAIT_TIMEOUT;
}

USHORT TakeSystemPort()
{
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    USHORT port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    closesocket(probe);
    return port;
}

bool SendShutdownLine(USHORT port)
{
    const SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool bSent = connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                       send(connection, "shutdown\n", 9, 0) == 9;
    closesocket(connection);
    return bSent;
}

CAgentLog::CAgentLog(const std::wstring& name)
    : m_name(L"benchlog-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name + L".txt"),
      m_path(BenchDirectory() + L"\\" + m_name)
{
    Clear();
}

CAgentLog::~CAgentLog()
{
    Clear();
}

std::vector<std::string> CAgentLog::Lines() const
{
    std::vector<std::string> lines;
    std::istringstream stream(ReadWholeFile(m_path));
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

size_t CAgentLog::Count(const char* prefix) const
{
    const std::vector<std::string> lines = Lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return StartsWith(line, prefix); });
}

bool CAgentLog::WaitForCount(const char* prefix, size_t count, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Count(prefix) >= count; }, timeoutMs, 50);
}

DWORD CAgentLog::LastStartedId() const
{
    DWORD id = 0;
    for (const std::string& line : Lines())
        if (StartsWith(line, "start "))
            id = static_cast<DWORD>(LogField(line, "pid"));
    return id;
}

void CAgentLog::Clear() const
{
    DeleteFileW(m_path.c_str());
}

std::wstring AgentCommandLine(const CAgentLog& log, const std::wstring& options)
{
    return BuildDirectory() + L"\\ZeltDemoAgent.exe --log=" + log.Path() + L" " + options;
}

std::vector<double> RelaunchIntervalsMs(const std::vector<std::string>& lines)
{
    std::vector<double> intervals;
    long long ended = -1;
    for (const std::string& line : lines)
    {
        if (StartsWith(line, "exit "))
            ended = LogField(line, "t");
        else if (StartsWith(line, "start ") && ended >= 0)
            intervals.push_back((LogField(line, "t") - ended) / 1000.0);
        if (StartsWith(line, "start "))
            ended = -1;
    }
    return intervals;
}

CSampleFigures SummariseSamples(std::vector<double> samples)
{
    CSampleFigures figures;
    figures.count = samples.size();
    if (samples.empty())
        return figures;
    std::sort(samples.begin(), samples.end());
    figures.median = samples.size() % 2 == 1 ? samples[samples.size() / 2]
                                              : (samples[samples.size() / 2 - 1] + samples[samples.size() / 2]) / 2;
    figures.p90 = samples[static_cast<size_t>(std::ceil(0.9 * samples.size())) - 1];
    return figures;
}

int FindUnixProcess(const std::wstring& imageName, const std::wstring& marker)
{
    const std::string image(imageName.begin(), imageName.end());
    const std::string mark(marker.begin(), marker.end());
    for (const std::wstring& pid : NumericEntries(L"Z:\\proc"))
    {
        // Wine shows a process's Windows command line as its Unix arguments.
        std::string arguments = ReadWholeFile(L"Z:\\proc\\" + pid + L"\\cmdline");
        const std::string first = arguments.substr(0, arguments.find('\0'));
        std::replace(arguments.begin(), arguments.end(), '\0', ' ');
        const bool bImage = first.size() >= image.size() && first.compare(first.size() - image.size(), image.size(), image) == 0;
        if (bImage && arguments.find(mark) != std::string::npos)
            return std::stoi(pid);
    }
    return 0;
}

bool ReadUnixFigures(int pid, CUnixFigures& figures)
{
    const std::wstring root = L"Z:\\proc\\" + std::to_wstring(pid);
    const std::string memory = ReadWholeFile(root + L"\\smaps_rollup");
    if (memory.empty())
        return false;
    figures = CUnixFigures{};
    figures.privateDirtyKiB = FieldOf(memory, "Private_Dirty");
    figures.privateCleanKiB = FieldOf(memory, "Private_Clean");
    figures.residentKiB = FieldOf(memory, "Rss");
    for (const std::wstring& task : NumericEntries(root + L"\\task"))
    {
        const std::wstring path = root + L"\\task\\" + task;
        const std::string status = ReadWholeFile(path + L"\\status");
        // The first field of schedstat is the thread's time on a CPU in nanoseconds.
        const std::string schedule = ReadWholeFile(path + L"\\schedstat");
        if (status.empty() || schedule.empty())
            continue;  // ended meanwhile
        CThreadFigures& thread = figures.threads[task];
        thread.switches = FieldOf(status, "voluntary_ctxt_switches") + FieldOf(status, "nonvoluntary_ctxt_switches");
        thread.cpuNs = std::stoull(schedule);
        const std::string name = ReadWholeFile(path + L"\\comm");
        thread.name = name.substr(0, name.find('\n'));
    }
    return true;
}

std::map<std::wstring, CThreadFigures> GrowthByThread(const CUnixFigures& before, const CUnixFigures& after)
{
    std::map<std::wstring, CThreadFigures> growth;
    for (const auto& [task, now] : after.threads)
    {
        const auto then = before.threads.find(task);
        const CThreadFigures start = then == before.threads.end() ? CThreadFigures{} : then->second;
        growth[task] = CThreadFigures{now.cpuNs - start.cpuNs, now.switches - start.switches, now.name};
    }
    return growth;
}

CThreadFigures GrowthBetween(const CUnixFigures& before, const CUnixFigures& after)
{
    CThreadFigures growth;
    for (const auto& [task, thread] : GrowthByThread(before, after))
    {
        growth.cpuNs += thread.cpuNs;
        growth.switches += thread.switches;
    }
    return growth;
}

bool IsWineThread(const CThreadFigures& thread)
{
    return StartsWith(thread.name, "wine_");
}

std::string ReadLoadAverage()
{
    const std::string text = ReadWholeFile(L"Z:\\proc\\loadavg");
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field)
        end = text.find(' ', end + 1);
    return text.substr(0, end);
}
