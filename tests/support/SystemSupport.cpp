#include <winsock2.h>

#include "support/SystemSupport.h"

#include <algorithm>
#include <vector>

#include "base/Handles.h"
#include "resources/Guids.h"

CServiceHandle OpenTestService(const std::wstring& name, DWORD access)
{
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return CServiceHandle(OpenServiceW(manager.Get(), name.c_str(), access));
}

bool QueryServiceConfiguration(const std::wstring& name, ServiceConfiguration& configuration)
{
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service)
        return false;
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed))
        return false;
    configuration.serviceType = config->dwServiceType;
    configuration.startType = config->dwStartType;
    configuration.imagePath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
    configuration.displayName = config->lpDisplayName != nullptr ? config->lpDisplayName : L"";
    return true;
}

void RemoveServiceIfPresent(const std::wstring& name, DWORD timeoutMs)
{
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const CServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service)
        return;
    SERVICE_STATUS status{};
    if (ControlService(service.Get(), SERVICE_CONTROL_STOP, &status) || GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
    {
        for (DWORD waited = 0; waited < timeoutMs; waited += 50)
        {
            if (!QueryServiceStatus(service.Get(), &status) || status.dwCurrentState == SERVICE_STOPPED)
                break;
            Sleep(50);
        }
    }
    DeleteService(service.Get());
}

bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs)
{
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CServiceHandle service(OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    for (DWORD waited = 0; waited < timeoutMs; waited += 50)
    {
        if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == state)
            return true;
        Sleep(50);
    }
    return false;
}

bool WaitForServiceGone(const std::wstring& name, DWORD timeoutMs)
{
    ServiceConfiguration configuration;
    for (DWORD waited = 0; waited < timeoutMs; waited += 50)
    {
        if (!QueryServiceConfiguration(name, configuration))
            return true;
        Sleep(50);
    }
    return false;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY opened = nullptr;
    const LONG error = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened);
    const CKeyHandle key(opened);
    return error == ERROR_SUCCESS;
}

bool ReadText(HKEY root, const std::wstring& path, const wchar_t* valueName, std::wstring& text)
{
    wchar_t buffer[2048];
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(root, path.c_str(), valueName, RRF_RT_REG_SZ, &type, buffer, &bytes) != ERROR_SUCCESS)
        return false;
    text.assign(buffer);
    return true;
}

DWORD ReadNumber(HKEY root, const std::wstring& path, const wchar_t* valueName)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    return RegGetValueW(root, path.c_str(), valueName, RRF_RT_REG_DWORD, nullptr, &value, &bytes) == ERROR_SUCCESS
               ? value
               : 0xFFFFFFFF;
}

std::vector<std::wstring> ReadTextList(HKEY root, const std::wstring& path, const wchar_t* valueName)
{
    std::vector<std::wstring> items;
    wchar_t buffer[2048] = {};
    DWORD bytes = sizeof(buffer) - 2 * sizeof(wchar_t);
    if (RegGetValueW(root, path.c_str(), valueName, RRF_RT_REG_MULTI_SZ, nullptr, buffer, &bytes) != ERROR_SUCCESS)
        return items;
    for (const wchar_t* item = buffer; *item != L'\0'; item += wcslen(item) + 1)
        items.emplace_back(item);
    return items;
}

void DeleteTree(HKEY root, const std::wstring& path)
{
    RegDeleteTreeW(root, path.c_str());
    RegDeleteKeyW(root, path.c_str());
}

namespace {

std::wstring HexBytes(const BYTE* data, DWORD bytes)
{
    std::wstring hex;
    for (DWORD i = 0; i < bytes; ++i)
    {
        hex += L"0123456789ABCDEF"[data[i] >> 4];
        hex += L"0123456789ABCDEF"[data[i] & 15];
    }
    return hex;
}

void AddValueLines(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines)
{
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[16384];
        DWORD nameUnits = 16384;
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>(data.size());
        const LONG error = RegEnumValueW(key, i, name, &nameUnits, nullptr, &type, data.data(), &bytes);
        if (error == ERROR_MORE_DATA)
        {
            data.resize(bytes);
            --i;
            continue;
        }
        if (error != ERROR_SUCCESS)
            break;
        lines.push_back(L"value " + path + L" | " + std::wstring(name, nameUnits) + L" | " + std::to_wstring(type) +
                        L" | " + HexBytes(data.data(), bytes));
    }
}

void AddKeyLines(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines)
{
    lines.push_back(L"key " + path);
    AddValueLines(key, path, lines);
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD nameUnits = 256;
        if (RegEnumKeyExW(key, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY opened = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        {
            lines.push_back(L"unreadable " + path + L"\\" + name);
            continue;
        }
        const CKeyHandle child(opened);
        AddKeyLines(child.Get(), path + L"\\" + name, lines);
    }
}

}  // namespace

std::vector<std::wstring> SnapshotKey(HKEY root, const std::wstring& path)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return {L"absent " + path};
    const CKeyHandle key(opened);
    std::vector<std::wstring> lines;
    AddKeyLines(key.Get(), path, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::wstring> ServiceNames()
{
    std::vector<std::wstring> names;
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    DWORD needed = 0;
    DWORD count = 0;
    EnumServicesStatusExW(manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_TYPE_ALL, SERVICE_STATE_ALL, nullptr, 0,
                          &needed, &count, nullptr, nullptr);
    std::vector<BYTE> buffer(needed);
    if (!EnumServicesStatusExW(manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_TYPE_ALL, SERVICE_STATE_ALL,
                               buffer.data(), needed, &needed, &count, nullptr, nullptr))
        return {L"<services not listed: " + std::to_wstring(GetLastError()) + L">"};
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        names.emplace_back(services[i].lpServiceName);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring AppIdKeyPath()
{
    return std::wstring(L"AppID\\") + ZELT_APPID_TEXT;
}

std::wstring EventSourceKeyPath(const std::wstring& name)
{
    const std::wstring sources = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
    return name.empty() ? sources : sources + L"\\" + name;
}

USHORT FindFreePort()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    int length = sizeof(address);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    WSACleanup();
    return ntohs(address.sin_port);
}
