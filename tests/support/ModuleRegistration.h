// The module's registration in the test prefix's registry: the AppID entries
// (machine-wide and per user), the type library and the event source. Tests
// that change any of it save it first and put it back when they end.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// The keys that make up the module's registration, each with everything
// below it.
std::vector<std::pair<HKEY, std::wstring>> ModuleRegistrationKeys();

// Deletes every key of the module's registration.
void RemoveModuleRegistration();

// The module's registration as it was when the object was made: copied aside
// whole and removed, so that the test starts without it, and put back, key
// for key and value for value, when the object goes. Objects may nest.
class CSavedModuleRegistration
{
public:
    CSavedModuleRegistration();
    ~CSavedModuleRegistration();
    CSavedModuleRegistration(const CSavedModuleRegistration&) = delete;
    CSavedModuleRegistration& operator=(const CSavedModuleRegistration&) = delete;

private:
    std::wstring m_copies;      // under HKEY_CURRENT_USER
    std::vector<bool> m_bSaved;  // per key of ModuleRegistrationKeys()
};

// Writes the module's AppID key, with an empty "LocalService" (service mode)
// or without it (the host runs in place); false when it cannot be written.
bool WriteAppIdKey(bool bLocalService);

// The module's AppID key for the life of the object, over a saved
// registration that comes back afterwards.
class CScopedAppIdKey
{
public:
    explicit CScopedAppIdKey(bool bLocalService) : m_bCreated(WriteAppIdKey(bLocalService)) {}
    bool IsCreated() const { return m_bCreated; }

private:
    CSavedModuleRegistration m_saved;  // made before the key is written
    bool m_bCreated;
};
