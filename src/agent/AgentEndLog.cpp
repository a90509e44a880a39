#include "agent/AgentEndLog.h"

#include "base/Text.h"

namespace {

EventKind KindOf(const AgentEnd& end)
{
    return end.relaunchDelayMs == 0 ? EventKind::AgentEnded : EventKind::AgentEndedDelayed;
}

// "; last output: "config file not found"", or nothing.
std::wstring DescribeLastWords(const AgentEnd& end)
{
    return end.lastWords.empty() ? std::wstring() : L"; last output: " + end.lastWords;
}

// "exit code 0x00000001 after 0.2 s"
std::wstring DescribeEnd(const AgentEnd& end)
{
    const std::wstring code = end.bExitCodeKnown ? FormatText(L"exit code 0x%08lX", end.exitCode)
                                                 : std::wstring(L"exit code unknown");
    return code + FormatText(L" after %lu.%lu s", static_cast<unsigned long>(end.ranMs / 1000),
                             static_cast<unsigned long>(end.ranMs % 1000 / 100));
}

std::wstring DescribeRelaunch(const AgentEnd& end)
{
    return end.relaunchDelayMs == 0 ? std::wstring(L"relaunched at once")
                                    : L"relaunched in " + FormatSeconds(end.relaunchDelayMs) + L" s";
}

}  // namespace

std::wstring FormatSeconds(ULONGLONG ms)
{
    const unsigned long seconds = static_cast<unsigned long>(ms / 1000);
    const unsigned long tenths = static_cast<unsigned long>(ms % 1000 / 100);
    return tenths == 0 ? FormatText(L"%lu", seconds) : FormatText(L"%lu.%lu", seconds, tenths);
}

bool CAgentEndLog::TakeEnd(ULONGLONG nowMs, const AgentEnd& end, AgentEndRecord& record)
{
    if (m_bWritten && nowMs - m_lastWrittenMs < kRecordIntervalMs)
    {
        ++m_dwUnwritten;
        m_lastUnwritten = end;
        return false;
    }
    record.kind = KindOf(end);
    record.text = L"Agent ended (" + DescribeEnd(end) + L"); " + DescribeRelaunch(end);
    if (m_dwUnwritten != 0)
        record.text += FormatText(L"; %lu more ends in the last %s s", m_dwUnwritten,
                                  FormatSeconds(nowMs - m_lastWrittenMs).c_str());
    record.text += DescribeLastWords(end);
    m_bWritten = true;
    m_lastWrittenMs = nowMs;
    m_dwUnwritten = 0;
    return true;
}

bool CAgentEndLog::TakeUnwritten(ULONGLONG nowMs, AgentEndRecord& record)
{
    if (m_dwUnwritten == 0)
        return false;
    record.kind = KindOf(m_lastUnwritten);
    record.text = FormatText(L"%lu more agent ends in the last %s s (the last: ", m_dwUnwritten,
                             FormatSeconds(nowMs - m_lastWrittenMs).c_str()) +
                  DescribeEnd(m_lastUnwritten) + DescribeLastWords(m_lastUnwritten) + L")";
    m_lastWrittenMs = nowMs;
    m_dwUnwritten = 0;
    return true;
}
