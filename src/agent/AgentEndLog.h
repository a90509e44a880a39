// The records of the agent's ends. A steady crash loop must write about one
// record a minute, neither none nor one per end: the first end is written at
// once, later ends within a minute of the last record are only counted, and
// the next end after that minute (or the stop) writes the count. No timer is
// needed: the count waits for the next end or the stop.
#pragma once

#include <windows.h>

#include <string>

#include "base/EventLog.h"

// One end of the agent as the supervisor saw it.
struct AgentEnd
{
    DWORD exitCode = 0;
    ULONGLONG ranMs = 0;          // from its launch or adoption to its end
    DWORD relaunchDelayMs = 0;    // 0: relaunched at once
    bool bExitCodeKnown = true;   // false: the process could not be asked
    std::wstring lastWords{};     // its last output lines, quoted; empty: none kept
};

struct AgentEndRecord
{
    EventKind kind = EventKind::AgentEnded;
    std::wstring text;
};

class CAgentEndLog
{
public:
    static constexpr ULONGLONG kRecordIntervalMs = 60000;

    // True and the record to write for this end, or false when the end is
    // only counted.
    bool TakeEnd(ULONGLONG nowMs, const AgentEnd& end, AgentEndRecord& record);
    // At the stop: true and the record of the ends counted but not written.
    bool TakeUnwritten(ULONGLONG nowMs, AgentEndRecord& record);

private:
    bool m_bWritten = false;
    ULONGLONG m_lastWrittenMs = 0;
    DWORD m_dwUnwritten = 0;
    AgentEnd m_lastUnwritten;
};

// "0.5", "4", "1.5": whole seconds without a fraction, else one decimal.
std::wstring FormatSeconds(ULONGLONG ms);
