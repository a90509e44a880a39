#include <winsock2.h>

#include "support/SystemSupport.h"

#include <vector>

#include "base/Handles.h"
#include "resources/Guids.h"

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

std::wstring AppIdKeyPath()
{
    return std::wstring(L"AppID\\") + ZELT_APPID_TEXT;
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
