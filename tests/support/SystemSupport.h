// Helpers for tests that work with the real service manager and registry:
// reading what installation wrote and removing it again.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/Handles.h"

struct ServiceConfiguration
{
    DWORD serviceType = 0;
    DWORD startType = 0;
    std::wstring imagePath;
    std::wstring displayName;
};

// The service of that name opened for `access`; empty when it cannot be.
CServiceHandle OpenTestService(const std::wstring& name, DWORD access);

// False when no service of that name exists (any more).
bool QueryServiceConfiguration(const std::wstring& name, ServiceConfiguration& configuration);

// Stops (waiting up to `timeoutMs` for the stop) and deletes a service;
// nothing happens when it does not exist.
void RemoveServiceIfPresent(const std::wstring& name, DWORD timeoutMs = 20000);

// Waits until the service reports `state`; false when it did not in time.
bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs = 30000);

// Waits until the service manager has forgotten the service.
bool WaitForServiceGone(const std::wstring& name, DWORD timeoutMs = 20000);

bool KeyExists(HKEY root, const std::wstring& path);

// The text of a REG_SZ value; false when the key or value is missing.
bool ReadText(HKEY root, const std::wstring& path, const wchar_t* valueName, std::wstring& text);

// The number of a REG_DWORD value; 0xFFFFFFFF when the key or value is missing.
DWORD ReadNumber(HKEY root, const std::wstring& path, const wchar_t* valueName);

// The items of a REG_MULTI_SZ value; empty when missing.
std::vector<std::wstring> ReadTextList(HKEY root, const std::wstring& path, const wchar_t* valueName);

void DeleteTree(HKEY root, const std::wstring& path);

// Every key and value below root\path, one sorted line each: a key's path as
// stored; a value's key path, name, type and bytes in hexadecimal. One
// "absent" line when the key does not exist.
std::vector<std::wstring> SnapshotKey(HKEY root, const std::wstring& path);

// The names of every service the service manager knows, sorted.
std::vector<std::wstring> ServiceNames();

// A loopback port that nothing listens on at the moment of the call, as the
// system hands it out.
USHORT FindFreePort();

// HKEY_CLASSES_ROOT\AppID\{module AppID}.
std::wstring AppIdKeyPath();

// The Application log's key for the event source `name`, below
// HKEY_LOCAL_MACHINE; with no name, the key that holds every source.
std::wstring EventSourceKeyPath(const std::wstring& name = L"");
