#include "base/EventLog.h"

#include <cstdio>

#include "base/Console.h"
#include "base/Handles.h"

EventRecordWriter g_pfnWriteEventRecord = &WriteEventRecord;

namespace {

constexpr size_t kMessageUnits = 1024;

}  // namespace

WORD EventLevel(EventKind kind)
{
    switch (kind)
    {
    case EventKind::ServiceStarted:
    case EventKind::ServiceStopped:
    case EventKind::AgentEnded:
        return EVENTLOG_INFORMATION_TYPE;
    case EventKind::BadServiceRequest:
    case EventKind::AgentEndedDelayed:
    case EventKind::AgentOutsideTree:
    case EventKind::AgentNotAnswering:
    case EventKind::AgentOutputDropped:
        return EVENTLOG_WARNING_TYPE;
    case EventKind::HandlerNotInstalled:
    case EventKind::RegistrationFailed:
    case EventKind::RunFailed:
    case EventKind::LaunchFailed:
    case EventKind::InstallationFailed:
    case EventKind::ExitWaitFailed:
        break;
    }
    return EVENTLOG_ERROR_TYPE;
}

void WriteEventLogV(const wchar_t* sourceName, EventKind kind, bool bEcho, const wchar_t* format, va_list args)
{
    wchar_t message[kMessageUnits];
    _vsnwprintf(message, kMessageUnits - 1, format, args);
    message[kMessageUnits - 1] = L'\0';

    if (bEcho)
        WriteStandardOutputLine(message);
    g_pfnWriteEventRecord(sourceName, EventLevel(kind), static_cast<DWORD>(kind), message);
}

namespace {

void WriteEventLogTo(const wchar_t* sourceName, EventKind kind, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteEventLogV(sourceName, kind, false, format, args);
    va_end(args);
}

}  // namespace

void WriteEventText(const wchar_t* sourceName, EventKind kind, const wchar_t* text)
{
    WriteEventLogTo(sourceName, kind, L"%s", text);
}

void WriteEventRecord(const wchar_t* sourceName, WORD level, DWORD eventId, const wchar_t* message)
{
    CEventSourceHandle source(RegisterEventSourceW(nullptr, sourceName));
    if (!source)
        return;
    LPCWSTR strings[1] = {message};
    ReportEventW(source.Get(), level, 0, eventId, nullptr, 1, 0, strings, nullptr);
}
