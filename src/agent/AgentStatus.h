// What the supervisor tells, as it goes, about the agent it holds, for
// whoever asks the instance what it is doing. The calls come under the
// supervisor's lock, from the starting thread or the wait pool: each is
// quick and fails silently.
#pragma once

#include <windows.h>

#include "agent/AgentEndLog.h"

class IAgentStatus
{
public:
    virtual ~IAgentStatus() = default;
    // An agent was launched or adopted, and is held from now on.
    virtual void AgentStarted(DWORD processId, HANDLE process) = 0;
    // The agent held ended by itself (not by the stop).
    virtual void AgentEnded(const AgentEnd& end) = 0;
    // A counted check of the agent's control port got a connection or not.
    virtual void AgentProbed(bool /*bAnswered*/) {}
};
