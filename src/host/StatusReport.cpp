#include "host/StatusReport.h"

#include "agent/AgentEndLog.h"
#include "base/DataFolder.h"
#include "base/Text.h"

namespace {

constexpr ULONGLONG kFileTimeUnitsPerMs = 10000;

const wchar_t* StateWord(DWORD state)
{
    switch (state)
    {
    case SERVICE_STOPPED:
        return L"stopped";
    case SERVICE_START_PENDING:
        return L"start_pending";
    case SERVICE_STOP_PENDING:
        return L"stop_pending";
    case SERVICE_RUNNING:
        return L"running";
    case SERVICE_CONTINUE_PENDING:
        return L"continue_pending";
    case SERVICE_PAUSE_PENDING:
        return L"pause_pending";
    case SERVICE_PAUSED:
        return L"paused";
    default:
        return L"unknown";
    }
}

SYSTEMTIME ToSystemTime(ULONGLONG fileTime)
{
    FILETIME time{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    SYSTEMTIME utc{};
    FileTimeToSystemTime(&time, &utc);
    return utc;
}

// "2026-12-09 20:01:02" in the machine's time zone.
std::wstring LocalTimeText(ULONGLONG fileTime)
{
    const SYSTEMTIME utc = ToSystemTime(fileTime);
    SYSTEMTIME local = utc;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        local = utc;
    return FormatText(L"%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                      local.wMinute, local.wSecond);
}

// ISO 8601 in UTC: "2026-12-09T19:01:02Z".
std::wstring UtcTimeText(ULONGLONG fileTime)
{
    const SYSTEMTIME utc = ToSystemTime(fileTime);
    return FormatText(L"%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute,
                      utc.wSecond);
}

ULONGLONG MsBetween(ULONGLONG earlier, ULONGLONG later)
{
    return later > earlier ? (later - earlier) / kFileTimeUnitsPerMs : 0;
}

// "0.9 s" and "12.3 s" as the records of the agent's ends write them; from a
// minute on the two largest units: "3 min 4 s", "1 h 2 min", "2 d 3 h".
std::wstring DurationText(ULONGLONG ms)
{
    const ULONGLONG seconds = ms / 1000;
    if (seconds < 60)
        return FormatSeconds(ms) + L" s";
    const ULONGLONG units[] = {seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60};
    const wchar_t* names[] = {L"d", L"h", L"min", L"s"};
    size_t first = 0;
    while (units[first] == 0)
        ++first;
    return FormatText(L"%I64u %s %I64u %s", units[first], names[first], units[first + 1], names[first + 1]);
}

void AppendAgent(std::wstring& line, const InstanceStatus& instance, ULONGLONG now)
{
    const PublishedStatus& status = instance.published;
    if (!instance.bPublished || status.agentProcessId == 0)
    {
        line += L"no agent";
        return;
    }
    line += FormatText(L"agent %lu (", status.agentProcessId);
    line += status.agentImage;
    line += L") since ";
    line += LocalTimeText(status.agentSince);
    line += L" (";
    line += DurationText(MsBetween(status.agentSince, now));
    line += L")";
}

void AppendEnd(std::wstring& line, const PublishedStatus& status)
{
    line += FormatText(L", %lu starts, ", status.starts);
    if (!status.bEnded)
    {
        line += L"no end yet";
        return;
    }
    line += status.bExitCodeKnown ? FormatText(L"last end: exit code 0x%08lX", status.lastExitCode)
                                  : std::wstring(L"last end: exit code unknown");
    line += L" after ";
    line += DurationText(status.lastRanMs);
    line += L" at ";
    line += LocalTimeText(status.lastEndTime);
}

// The file the agent's output goes to, or empty when it is off:
// "agent.log" in the instance's folder under %ProgramData%.
std::wstring OutputFile(const InstanceStatus& instance)
{
    if (instance.parameters.values[kOutputParameter] == 0)
        return std::wstring();
    const std::wstring data = ReadProgramDataFolder();
    const std::wstring folder = data.empty() ? L"%ProgramData%" : data;
    return folder + kHostDataFolder + L"\\" + instance.serviceName + L"\\" + kOutputFileName;
}

// ", probing every 5 s (last answer: yes since ...)" or ", probing off", and
// ", output <file>" or ", output off".
void AppendSettings(std::wstring& line, const InstanceStatus& instance)
{
    const DWORD probeSeconds = instance.parameters.values[kProbeParameter];
    const PublishedStatus& status = instance.published;
    if (probeSeconds == 0)
        line += L", probing off";
    else
    {
        line += FormatText(L", probing every %lu s (last answer: ", probeSeconds);
        if (instance.bPublished && status.bProbed)
            line += (status.bProbeAnswered ? L"yes since " : L"none since ") + LocalTimeText(status.probeAnswerSince);
        else
            line += L"not checked yet";
        line += L")";
    }
    const std::wstring output = OutputFile(instance);
    line += L", output ";
    line += output.empty() ? L"off" : output.c_str();
}

// A JSON string: quotes, backslashes, control and non-ASCII characters
// escaped (UTF-16 units as \uXXXX, a surrogate pair as its two units).
std::wstring JsonString(const std::wstring& text)
{
    std::wstring json = L"\"";
    for (const wchar_t c : text)
    {
        if (c == L'"' || c == L'\\')
            json += L'\\';
        if (c < 0x20 || c > 0x7E)
            json += FormatText(L"\\u%04x", static_cast<unsigned>(c));
        else
            json += c;
    }
    return json += L'"';
}

// `"name":value` after the members before it; an empty value is null.
void AppendMember(std::wstring& json, const wchar_t* name, const std::wstring& value)
{
    json += json.size() > 1 ? L",\"" : L"\"";
    json += name;
    json += L"\":";
    json += value.empty() ? L"null" : value.c_str();
}

// The number, or nothing (null) when not known.
std::wstring JsonNumber(bool bKnown, ULONGLONG value)
{
    return bKnown ? FormatText(L"%I64u", value) : std::wstring();
}

std::wstring JsonTime(bool bKnown, ULONGLONG fileTime)
{
    return bKnown ? JsonString(UtcTimeText(fileTime)) : std::wstring();
}

std::wstring JsonObject(const InstanceStatus& instance, ULONGLONG now)
{
    const PublishedStatus& status = instance.published;
    const bool bAgent = instance.bPublished && status.agentProcessId != 0;
    const bool bEnded = instance.bPublished && status.bEnded;
    std::wstring json = L"{";
    AppendMember(json, L"service", JsonString(instance.serviceName));
    AppendMember(json, L"state", JsonString(StateWord(instance.state)));
    AppendMember(json, L"port", JsonNumber(true, instance.port));
    AppendMember(json, L"agentPid", JsonNumber(bAgent, status.agentProcessId));
    AppendMember(json, L"agentImage", bAgent ? JsonString(status.agentImage) : std::wstring());
    AppendMember(json, L"agentSince", JsonTime(bAgent, status.agentSince));
    AppendMember(json, L"agentRunMs", JsonNumber(bAgent, MsBetween(status.agentSince, now)));
    AppendMember(json, L"starts", JsonNumber(instance.bPublished, status.starts));
    AppendMember(json, L"lastExitCode", JsonNumber(bEnded && status.bExitCodeKnown, status.lastExitCode));
    AppendMember(json, L"lastRunMs", JsonNumber(bEnded, status.lastRanMs));
    AppendMember(json, L"lastEndTime", JsonTime(bEnded, status.lastEndTime));
    const DWORD probeSeconds = instance.parameters.values[kProbeParameter];
    const bool bProbed = probeSeconds != 0 && instance.bPublished && status.bProbed;
    AppendMember(json, L"probeSeconds", JsonNumber(true, probeSeconds));
    AppendMember(json, L"probeAnswered", bProbed ? std::wstring(status.bProbeAnswered ? L"true" : L"false") : std::wstring());
    AppendMember(json, L"probeAnswerSince", JsonTime(bProbed, status.probeAnswerSince));
    const std::wstring output = OutputFile(instance);
    AppendMember(json, L"outputFile", output.empty() ? std::wstring() : JsonString(output));
    return json += L'}';
}

bool RunsItsAgent(const InstanceStatus& instance)
{
    return instance.bPublished && instance.published.agentProcessId != 0;
}

}  // namespace

void CStatusPublisher::Start(const std::wstring& serviceName, const std::wstring& agentName)
{
    m_agentName = agentName;
    m_status = PublishedStatus();
    if (m_key.Create(serviceName) == ERROR_SUCCESS)
        m_key.Publish(m_status);
}

// The image is read from the process where its rights allow; an adopted
// agent opened with fewer rights shows the name it was found by.
void CStatusPublisher::AgentStarted(DWORD processId, HANDLE process)
{
    wchar_t image[MAX_PATH * 2];
    DWORD length = ARRAYSIZE(image);
    m_status.agentProcessId = processId;
    m_status.agentImage = QueryFullProcessImageNameW(process, 0, image, &length) ? std::wstring(image, length)
                                                                                 : m_agentName;
    m_status.agentSince = CurrentFileTime();
    ++m_status.starts;
    m_status.bProbed = false;  // each agent is judged on its own checks
    m_key.Publish(m_status);
}

void CStatusPublisher::AgentEnded(const AgentEnd& end)
{
    m_status.agentProcessId = 0;
    m_status.agentImage.clear();
    m_status.agentSince = 0;
    m_status.bEnded = true;
    m_status.bExitCodeKnown = end.bExitCodeKnown;
    m_status.lastExitCode = end.exitCode;
    m_status.lastRanMs = end.ranMs;
    m_status.lastEndTime = CurrentFileTime();
    m_key.Publish(m_status);
}

// Written when the answer changes only: a check that answers as the last
// one did costs no write.
void CStatusPublisher::AgentProbed(bool bAnswered)
{
    if (m_status.bProbed && m_status.bProbeAnswered == bAnswered)
        return;
    m_status.bProbed = true;
    m_status.bProbeAnswered = bAnswered;
    m_status.probeAnswerSince = CurrentFileTime();
    m_key.PublishProbe(m_status);
}

void CStatusPublisher::Stop()
{
    m_key.Remove();
}

std::wstring FormatStatusLine(const InstanceStatus& instance, ULONGLONG now)
{
    std::wstring line = instance.serviceName;
    line += FormatText(L": %s, port %hu, ", StateWord(instance.state), instance.port);
    AppendAgent(line, instance, now);
    if (instance.bPublished)
        AppendEnd(line, instance.published);
    AppendSettings(line, instance);
    return line;
}

std::wstring FormatStatusJson(const std::vector<InstanceStatus>& instances, ULONGLONG now)
{
    std::wstring json = L"[";
    for (const InstanceStatus& instance : instances)
    {
        if (json.size() > 1)
            json += L',';
        json += JsonObject(instance, now);
    }
    return json += L']';
}

HRESULT StatusExitCode(const std::vector<InstanceStatus>& instances)
{
    if (instances.empty())
        return 2;
    for (const InstanceStatus& instance : instances)
    {
        if (!RunsItsAgent(instance))
            return 1;
    }
    return 0;
}

ULONGLONG CurrentFileTime()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}
