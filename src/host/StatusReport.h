// "/status": what each installed instance is doing, as lines or as one JSON
// array, and the running service's side that publishes its agent's status.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "agent/AgentStatus.h"
#include "instance/InstanceStatus.h"

// Publishes what the supervisor tells under the service's key, for the life
// of a service run. Not started (a run in place, a service key that cannot
// be written), it publishes nothing.
class CStatusPublisher : public IAgentStatus
{
public:
    // Starts the run's record; `agentName` stands for the image when the
    // agent's own path cannot be read.
    void Start(const std::wstring& serviceName, const std::wstring& agentName);
    void AgentStarted(DWORD processId, HANDLE process) override;
    void AgentEnded(const AgentEnd& end) override;
    void AgentProbed(bool bAnswered) override;
    // Removes the record: the service stops.
    void Stop();

private:
    CStatusKey m_key;
    PublishedStatus m_status;
    std::wstring m_agentName;
};

// One line for an instance at `now` (UTC, as a FILETIME): name, state, port,
// the agent (id, image, since when in local time and for how long), the
// starts and the last end.
std::wstring FormatStatusLine(const InstanceStatus& instance, ULONGLONG now);

// The instances as one JSON array of flat objects, ASCII only (every other
// character escaped), so that any reader's code page reads it alike.
std::wstring FormatStatusJson(const std::vector<InstanceStatus>& instances, ULONGLONG now);

// 0 when every instance runs its agent, 1 when one does not, 2 when there is
// none.
HRESULT StatusExitCode(const std::vector<InstanceStatus>& instances);

// The system's time, UTC as a FILETIME.
ULONGLONG CurrentFileTime();
