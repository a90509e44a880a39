// The host's one diagnostic channel: records in the event log under the
// module's service name, echoed to standard output when the process runs in
// place. Each kind of record has its own event id and level, so that
// monitoring can filter on either.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <functional>
#include <string>

// The kinds of record, numbered as the event ids of the program's message
// table (every id renders its one string exactly). Id 0 is what earlier
// versions wrote for every record; the table keeps rendering it.
enum class EventKind : DWORD
{
    ServiceStarted = 1,       // Information
    ServiceStopped = 2,       // Information
    HandlerNotInstalled = 3,  // Error
    BadServiceRequest = 4,    // Warning
    RegistrationFailed = 5,   // Error: "==> RegisterAppId: end_fail-N."
    RunFailed = 6,            // Error: "==> PreMessageLoop: end_fail-N."
    LaunchFailed = 7,         // Error: "==> StartProcess: end_fail-N."
    InstallationFailed = 8,   // Error: an installation or removal message written in place of a box
    AgentEnded = 9,           // Information: the agent ended and is relaunched at once
    AgentEndedDelayed = 10,   // Warning: the agent ended soon after its start; the relaunch waits
    AgentOutsideTree = 11,    // Warning: an adopted agent could not join the instance's process tree
    ExitWaitFailed = 12,      // Error: the agent's end could not be watched
    AgentNotAnswering = 13,   // Warning: the agent's control port did not answer its checks; it is restarted
    AgentOutputDropped = 14,  // Warning: the agent's output could not be kept (read on, not written)
};

// EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE or EVENTLOG_ERROR_TYPE.
WORD EventLevel(EventKind kind);

// Formats at most 1023 characters (an end record with the agent's last
// words takes about 550), writes them as one record of that kind
// under the event source, and echoes them with a line feed when asked. Never
// fails towards its caller.
void WriteEventLogV(const wchar_t* sourceName, EventKind kind, bool bEcho, const wchar_t* format, va_list args);

// Writes a ready-made text literally (cut at 1023 characters, not echoed)
// under the event source.
void WriteEventText(const wchar_t* sourceName, EventKind kind, const wchar_t* text);

// Writes one record (category 0, the level and event id given, the message
// as its one string) under the event source; failures are silent.
void WriteEventRecord(const wchar_t* sourceName, WORD level, DWORD eventId, const wchar_t* message);

// The record writer, replaceable by tests: Wine keeps no event-log records.
using EventRecordWriter = void (*)(const wchar_t* sourceName, WORD level, DWORD eventId, const wchar_t* message);
extern EventRecordWriter g_pfnWriteEventRecord;

// Writes one record of a layer that knows no module (the agent's
// supervisor, say); the writer adds what it knows of the instance and sends
// it on to the event log.
using TraceWriter = std::function<void(EventKind kind, const std::wstring& line)>;

template <class TModule>
void WriteEventLog(TModule& module, EventKind kind, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteEventLogV(module.m_serviceName, kind, !module.m_bRunAsService, format, args);
    va_end(args);
}

// Writes a ready-made text literally (a '%' inside it is not a conversion)
// and releases it.
template <class TModule>
void WriteTrace(TModule& module, EventKind kind, std::wstring&& text)
{
    const std::wstring owned(std::move(text));
    WriteEventLog(module, kind, L"%s", owned.c_str());
}
