// The host's one diagnostic channel: information records in the event log
// under the module's service name, echoed to standard output when the
// process runs in place.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <functional>
#include <string>

// Formats at most 255 characters, writes them as one information record under
// the event source, and echoes them with a line feed when asked. Never fails
// towards its caller.
void WriteEventLogV(const wchar_t* sourceName, bool bEcho, const wchar_t* format, va_list args);

// Writes a ready-made text literally (cut at 255 characters, not echoed)
// under the event source.
void WriteEventText(const wchar_t* sourceName, const wchar_t* text);

// Writes one information record (category 0, event id 0, the message as its
// one string) under the event source; failures are silent.
void WriteEventRecord(const wchar_t* sourceName, const wchar_t* message);

// The record writer, replaceable by tests: Wine keeps no event-log records.
using EventRecordWriter = void (*)(const wchar_t* sourceName, const wchar_t* message);
extern EventRecordWriter g_pfnWriteEventRecord;

// Writes one failure trace line; the writer adds what it knows of the
// instance (its summary) and sends it on to the event log.
using TraceWriter = std::function<void(const std::wstring& line)>;

template <class TModule>
void WriteEventLog(TModule& module, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteEventLogV(module.m_serviceName, !module.m_bRunAsService, format, args);
    va_end(args);
}

// Writes a ready-made text literally (a '%' inside it is not a conversion)
// and releases it.
template <class TModule>
void WriteTrace(TModule& module, std::wstring&& text)
{
    const std::wstring owned(std::move(text));
    WriteEventLog(module, L"%s", owned.c_str());
}
