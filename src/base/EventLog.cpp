#include "base/EventLog.h"

#include <cstdio>

#include "base/Handles.h"

EventRecordWriter g_pfnWriteEventRecord = &WriteEventRecord;

namespace {

constexpr size_t kMessageUnits = 256;

// One write call per line keeps concurrent writers' lines whole. The text
// goes out as UTF-8 so that any name survives a redirected output.
void EchoToStandardOutput(const wchar_t* text)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE)
        return;
    char line[kMessageUnits * 3 + 1];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, line, sizeof(line) - 1, nullptr, nullptr);
    if (bytes <= 0)
        return;
    line[bytes - 1] = '\n';  // the NUL's place takes the line feed
    DWORD written = 0;
    WriteFile(output, line, static_cast<DWORD>(bytes), &written, nullptr);
}

}  // namespace

void WriteEventLogV(const wchar_t* sourceName, bool bEcho, const wchar_t* format, va_list args)
{
    wchar_t message[kMessageUnits];
    _vsnwprintf(message, kMessageUnits - 1, format, args);
    message[kMessageUnits - 1] = L'\0';

    if (bEcho)
        EchoToStandardOutput(message);
    g_pfnWriteEventRecord(sourceName, message);
}

namespace {

void WriteEventLogTo(const wchar_t* sourceName, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteEventLogV(sourceName, false, format, args);
    va_end(args);
}

}  // namespace

void WriteEventText(const wchar_t* sourceName, const wchar_t* text)
{
    WriteEventLogTo(sourceName, L"%s", text);
}

void WriteEventRecord(const wchar_t* sourceName, const wchar_t* message)
{
    CEventSourceHandle source(RegisterEventSourceW(nullptr, sourceName));
    if (!source)
        return;
    LPCWSTR strings[1] = {message};
    ReportEventW(source.Get(), EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
}
