#include "instance/InstanceStatus.h"

#include <cwchar>

#include "base/Result.h"
#include "instance/InstanceSettings.h"

namespace {

constexpr const wchar_t* kAgentProcessId = L"AgentProcessId";
constexpr const wchar_t* kAgentImage = L"AgentImage";
constexpr const wchar_t* kAgentSince = L"AgentSince";
constexpr const wchar_t* kStarts = L"Starts";
constexpr const wchar_t* kLastExitCode = L"LastExitCode";
constexpr const wchar_t* kLastRunMs = L"LastRunMs";
constexpr const wchar_t* kLastEndTime = L"LastEndTime";
constexpr const wchar_t* kProbeAnswered = L"ProbeAnswered";
constexpr const wchar_t* kProbeAnswerSince = L"ProbeAnswerSince";

constexpr const wchar_t* kStatusKeyName = L"Status";
constexpr const wchar_t* kParametersKeyName = L"Parameters";

std::wstring ServiceKeyPath(const std::wstring& serviceName)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
}

std::wstring StatusKeyPath(const std::wstring& serviceName)
{
    return ServiceKeyPath(serviceName) + L"\\" + kStatusKeyName;
}

void WriteDword(HKEY key, const wchar_t* name, DWORD value, bool bKnown)
{
    if (bKnown)
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    else
        RegDeleteValueW(key, name);
}

void WriteQword(HKEY key, const wchar_t* name, ULONGLONG value, bool bKnown)
{
    if (bKnown)
        RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    else
        RegDeleteValueW(key, name);
}

// A value of exactly this type and size; false when missing or of another.
bool ReadFixed(HKEY key, const wchar_t* name, DWORD expectedType, void* value, DWORD size)
{
    DWORD type = 0;
    DWORD bytes = size;
    return RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
           type == expectedType && bytes == size;
}

bool ReadText(HKEY key, const wchar_t* name, std::wstring& text)
{
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    std::wstring read(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read[0]), &bytes) != ERROR_SUCCESS)
        return false;
    read.resize(wcsnlen(read.c_str(), bytes / sizeof(wchar_t)));
    text.swap(read);
    return true;
}

InstanceStatus ReadInstance(IServiceManager& services, SC_HANDLE manager, const std::wstring& name)
{
    InstanceStatus instance;
    instance.serviceName = name;
    CServiceHandle service;
    if (FAILED(services.OpenServiceEntry(manager, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG, service)))
        return instance;
    SERVICE_STATUS status{};
    if (SUCCEEDED(services.QueryStatus(service.Get(), status)))
        instance.state = status.dwCurrentState;
    std::wstring imagePath;
    if (SUCCEEDED(services.QueryImagePath(service.Get(), imagePath)))
        instance.port = ReadInstanceSettings(imagePath.c_str()).port;
    ReadStoredParameters(name, instance.parameters);
    // A record left by a service that ended without its stop tells nothing.
    if (instance.state != SERVICE_STOPPED)
        instance.bPublished = ReadPublishedStatus(name, instance.published);
    return instance;
}

// The instance names among the services, sorted; only `onlyName` when given
// and installed.
HRESULT ListInstanceNames(IServiceManager& services, SC_HANDLE manager, const std::wstring& baseName,
                          const std::wstring& onlyName, std::vector<std::wstring>& names)
{
    if (!onlyName.empty())
    {
        CServiceHandle service;
        const HRESULT hr = services.OpenServiceEntry(manager, onlyName.c_str(), SERVICE_QUERY_STATUS, service);
        if (SUCCEEDED(hr))
            names.push_back(onlyName);
        return hr == HResultFromError(ERROR_SERVICE_DOES_NOT_EXIST) ? S_OK : hr;
    }
    std::vector<std::wstring> all;
    const HRESULT hr = services.ListServices(manager, all);
    if (FAILED(hr))
        return hr;
    for (std::wstring& name : all)
    {
        if (IsInstanceName(name, baseName))
            names.push_back(std::move(name));
    }
    // A few names: sorted in place, without the general sort's code.
    for (size_t i = 1; i < names.size(); ++i)
    {
        for (size_t j = i; j > 0 && _wcsicmp(names[j - 1].c_str(), names[j].c_str()) > 0; --j)
            names[j - 1].swap(names[j]);
    }
    return S_OK;
}

}  // namespace

// The service's key must exist: the status never creates it.
LONG CStatusKey::Create(const std::wstring& serviceName)
{
    m_serviceName = serviceName;
    Remove();
    RegistryKey service;
    const LONG error = service.OpenKey(HKEY_LOCAL_MACHINE, ServiceKeyPath(serviceName).c_str(), KEY_CREATE_SUB_KEY);
    if (error != ERROR_SUCCESS)
        return error;
    return m_key.CreateKey(service.Handle(), kStatusKeyName, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE);
}

void CStatusKey::Publish(const PublishedStatus& status)
{
    const HKEY key = m_key.Handle();
    if (key == nullptr)
        return;
    const bool bAgent = status.agentProcessId != 0;
    WriteDword(key, kAgentProcessId, status.agentProcessId, bAgent);
    if (bAgent)
        RegSetValueExW(key, kAgentImage, 0, REG_SZ, reinterpret_cast<const BYTE*>(status.agentImage.c_str()),
                       static_cast<DWORD>((status.agentImage.size() + 1) * sizeof(wchar_t)));
    else
        RegDeleteValueW(key, kAgentImage);
    WriteQword(key, kAgentSince, status.agentSince, bAgent);
    WriteDword(key, kStarts, status.starts, true);
    WriteDword(key, kLastExitCode, status.lastExitCode, status.bEnded && status.bExitCodeKnown);
    WriteQword(key, kLastRunMs, status.lastRanMs, status.bEnded);
    WriteQword(key, kLastEndTime, status.lastEndTime, status.bEnded);
    PublishProbe(status);
}

void CStatusKey::PublishProbe(const PublishedStatus& status)
{
    const HKEY key = m_key.Handle();
    if (key == nullptr)
        return;
    WriteDword(key, kProbeAnswered, status.bProbeAnswered, status.bProbed);
    WriteQword(key, kProbeAnswerSince, status.probeAnswerSince, status.bProbed);
}

// Deleted by its path, so that a key a previous run left goes too.
void CStatusKey::Remove()
{
    m_key.CloseKey();
    RegistryKey service;
    if (!m_serviceName.empty() &&
        service.OpenKey(HKEY_LOCAL_MACHINE, ServiceKeyPath(m_serviceName).c_str(), KEY_READ | KEY_WRITE) ==
            ERROR_SUCCESS)
        service.RemoveKeyTree(kStatusKeyName);
}

bool ReadPublishedStatus(const std::wstring& serviceName, PublishedStatus& status)
{
    RegistryKey key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, StatusKeyPath(serviceName).c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    PublishedStatus read;
    const HKEY handle = key.Handle();
    if (!ReadFixed(handle, kStarts, REG_DWORD, &read.starts, sizeof(read.starts)))
        return false;
    if (ReadFixed(handle, kAgentProcessId, REG_DWORD, &read.agentProcessId, sizeof(read.agentProcessId)))
    {
        ReadText(handle, kAgentImage, read.agentImage);
        ReadFixed(handle, kAgentSince, REG_QWORD, &read.agentSince, sizeof(read.agentSince));
    }
    read.bEnded = ReadFixed(handle, kLastEndTime, REG_QWORD, &read.lastEndTime, sizeof(read.lastEndTime));
    if (read.bEnded)
    {
        ReadFixed(handle, kLastRunMs, REG_QWORD, &read.lastRanMs, sizeof(read.lastRanMs));
        read.bExitCodeKnown = ReadFixed(handle, kLastExitCode, REG_DWORD, &read.lastExitCode, sizeof(read.lastExitCode));
    }
    DWORD answered = 0;
    read.bProbed = ReadFixed(handle, kProbeAnswerSince, REG_QWORD, &read.probeAnswerSince, sizeof(read.probeAnswerSince)) &&
                   ReadFixed(handle, kProbeAnswered, REG_DWORD, &answered, sizeof(answered));
    read.bProbeAnswered = answered != 0;
    status = std::move(read);
    return true;
}

bool ReadStoredParameters(const std::wstring& serviceName, InstanceParameters& parameters)
{
    RegistryKey key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, (ServiceKeyPath(serviceName) + L"\\" + kParametersKeyName).c_str(),
                    KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    for (size_t i = 0; i < kParameterCount; ++i)
    {
        const auto parameter = static_cast<InstanceParameter>(i);
        DWORD value = 0;
        if (ReadFixed(key.Handle(), ParameterValueName(parameter), REG_DWORD, &value, sizeof(value)) &&
            IsParameterInBounds(parameter, value))
            parameters.values[i] = value;
    }
    return true;
}

LONG WriteStoredParameters(const std::wstring& serviceName, const InstanceParameters& parameters)
{
    RegistryKey service;
    LONG error = service.OpenKey(HKEY_LOCAL_MACHINE, ServiceKeyPath(serviceName).c_str(), KEY_CREATE_SUB_KEY);
    RegistryKey key;
    if (error == ERROR_SUCCESS)
        error = key.CreateKey(service.Handle(), kParametersKeyName, nullptr, 0, KEY_SET_VALUE);
    for (size_t i = 0; i < kParameterCount && error == ERROR_SUCCESS; ++i)
        error = RegSetValueExW(key.Handle(), ParameterValueName(static_cast<InstanceParameter>(i)), 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&parameters.values[i]), sizeof(DWORD));
    return error;
}

HRESULT CollectInstanceStatus(IServiceManager& services, const std::wstring& baseName, const std::wstring& onlyName,
                              std::vector<InstanceStatus>& instances)
{
    CServiceHandle manager;
    HRESULT hr = services.OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE, manager);
    std::vector<std::wstring> names;
    if (SUCCEEDED(hr))
        hr = ListInstanceNames(services, manager.Get(), baseName, onlyName, names);
    if (FAILED(hr))
        return hr;
    std::vector<InstanceStatus> read;
    for (const std::wstring& name : names)
        read.push_back(ReadInstance(services, manager.Get(), name));
    instances.swap(read);
    return S_OK;
}
