#include "InstanceDiscovery.h"

#include <shellapi.h>

#include "base/Handles.h"
#include "base/Result.h"
#include "base/Text.h"

namespace {

// The program an image path starts with.
std::wstring FirstArgument(const std::wstring& commandLine)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine.c_str(), &count);
    if (arguments == nullptr)
        return std::wstring();
    std::wstring first = count > 0 ? arguments[0] : L"";
    LocalFree(arguments);
    return first;
}

// Reads the service of an instance's name; S_FALSE when it runs another
// program, or is gone since the list was read.
HRESULT ReadInstance(IServiceManager& services, SC_HANDLE manager, const std::wstring& name, const std::wstring& host,
                     SetupInstance& instance, std::wstring& failure)
{
    CServiceHandle service;
    SERVICE_STATUS status{};
    HRESULT hr = services.OpenServiceEntry(manager, name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS, service);
    if (hr == HResultFromError(ERROR_SERVICE_DOES_NOT_EXIST))
        return S_FALSE;
    if (SUCCEEDED(hr) && SUCCEEDED(hr = services.QueryImagePath(service.Get(), instance.imagePath)))
        hr = services.QueryStatus(service.Get(), status);
    if (FAILED(hr))
    {
        failure = DescribeError((L"could not read the service " + name).c_str(), hr);
        return hr;
    }
    instance.bRunning = status.dwCurrentState != SERVICE_STOPPED;
    return CompareStringOrdinal(FirstArgument(instance.imagePath).c_str(), -1, host.c_str(), -1, TRUE) == CSTR_EQUAL
               ? S_OK
               : S_FALSE;
}

}  // namespace

HRESULT FindInstances(IServiceManager& services, const std::wstring& host, std::vector<SetupInstance>& instances,
                      std::wstring& failure)
{
    instances.clear();
    CServiceHandle manager;
    std::vector<std::wstring> names;
    HRESULT hr = services.OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE, manager);
    if (FAILED(hr))
    {
        failure = DescribeError(L"could not open the service manager", hr);
        return hr;
    }
    if (FAILED(hr = services.ListServices(manager.Get(), names)))
    {
        failure = DescribeError(L"could not list the services", hr);
        return hr;
    }
    for (const std::wstring& name : names)
    {
        SetupInstance instance;
        if (!ReadInstanceNumber(name, instance.num))
            continue;
        hr = ReadInstance(services, manager.Get(), name, host, instance, failure);
        if (FAILED(hr))
            return hr;
        if (hr == S_OK)
            instances.push_back(instance);
    }
    return S_OK;
}
