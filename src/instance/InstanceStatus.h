// What a running instance publishes about its agent, and the reading of what
// every installed instance is doing. The record lies in a volatile key under
// the service's own key (HKLM\SYSTEM\CurrentControlSet\Services\<name>\Status):
// written only by the service, gone at the system's next start, and readable
// by whoever may read the service's key, whose access list it inherits.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "instance/InstanceSettings.h"
#include "instance/ServiceManager.h"
#include "registrar/RegistryKey.h"

struct PublishedStatus
{
    DWORD agentProcessId = 0;      // 0: no agent is held
    std::wstring agentImage;       // the agent's image file, as full a path as could be read
    ULONGLONG agentSince = 0;      // its launch or adoption, UTC as a FILETIME
    DWORD starts = 0;              // launches and adoptions since the service started
    bool bEnded = false;           // an agent has ended by itself since then: the last end
    bool bExitCodeKnown = false;
    DWORD lastExitCode = 0;
    ULONGLONG lastRanMs = 0;
    ULONGLONG lastEndTime = 0;     // UTC as a FILETIME
    bool bProbed = false;          // a check of the control port has been counted
    bool bProbeAnswered = false;   // the last counted check got a connection
    ULONGLONG probeAnswerSince = 0; // the first counted check that gave that answer, UTC as a FILETIME
};

// The parameters stored in the service's Parameters key
// (HKLM\SYSTEM\CurrentControlSet\Services\<name>\Parameters) over
// `parameters`: a value that is missing, of another type or out of its
// bounds leaves the one given. False when the key cannot be read.
bool ReadStoredParameters(const std::wstring& serviceName, InstanceParameters& parameters);
// Writes every parameter into that key, creating it under the service's key,
// which must exist. A Windows error.
LONG WriteStoredParameters(const std::wstring& serviceName, const InstanceParameters& parameters);

// The running service's side: one key, written whole at each change.
class CStatusKey
{
public:
    // Creates the key anew and empty (a crashed run may have left one); a
    // Windows error when it cannot, and nothing is published then.
    LONG Create(const std::wstring& serviceName);
    // Writes the record: the values of what is not known are removed.
    void Publish(const PublishedStatus& status);
    // Writes the probe's two values alone.
    void PublishProbe(const PublishedStatus& status);
    // Removes the key, at the service's stop.
    void Remove();

private:
    std::wstring m_serviceName;
    RegistryKey m_key;
};

// The record a running service published; false when there is none.
bool ReadPublishedStatus(const std::wstring& serviceName, PublishedStatus& status);

// One installed instance as the status report shows it.
struct InstanceStatus
{
    std::wstring serviceName;
    DWORD state = SERVICE_STOPPED;  // SERVICE_RUNNING, ...
    USHORT port = 0;                // read from its command line as the host reads its own
    bool bPublished = false;        // a record of a service that is not stopped
    PublishedStatus published;
    InstanceParameters parameters;  // as stored, defaults where none are
};

// The installed instances of this host (named `baseName` or `baseName-...`),
// sorted by name, or only `onlyName` when that is not empty; an instance
// that is not installed is not listed. Needs only the rights every
// authenticated user has.
HRESULT CollectInstanceStatus(IServiceManager& services, const std::wstring& baseName, const std::wstring& onlyName,
                              std::vector<InstanceStatus>& instances);
