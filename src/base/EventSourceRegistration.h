// Registration of the host's event sources in the Application log, so that
// Event Viewer finds the message table that renders their records.
#pragma once

#include <windows.h>

#include <string>

// Registers `sourceName` as a source of the Application log (HKLM
// SYSTEM\CurrentControlSet\Services\EventLog\Application\<name>) with
// EventMessageFile (REG_EXPAND_SZ) naming `messageFile`, the program that
// carries the message table, and TypesSupported (REG_DWORD) the levels the
// host writes at. An earlier registration of the source is overwritten.
// E_INVALIDARG for an empty name or one with a backslash.
HRESULT RegisterEventLogSource(const wchar_t* sourceName, const wchar_t* messageFile);

// The source's key below HKEY_LOCAL_MACHINE.
std::wstring EventLogSourceKeyPath(const wchar_t* sourceName);

// Removes the source's key; a source that is not registered, or a name that
// no source can carry, counts as removed (and nothing else is touched).
HRESULT UnregisterEventLogSource(const wchar_t* sourceName);
