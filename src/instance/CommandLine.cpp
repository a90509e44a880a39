#include "instance/CommandLine.h"


#include <shellapi.h>

#include <cwchar>
#include <memory>

#include "registrar/PerUserFlag.h"
#include "runtime/ZeltAgentSvcModule.h"

namespace {

// A double quote toggles the quoted state unless an odd run of backslashes
// escapes it, as the platform splits command lines.
bool IsEscapedQuote(const wchar_t* quote, const wchar_t* start)
{
    size_t backslashes = 0;
    for (const wchar_t* p = quote; p > start && p[-1] == L'\\'; --p)
        ++backslashes;
    return backslashes % 2 == 1;
}

wchar_t UpperChar(wchar_t c)
{
    return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

bool IsWordEnd(wchar_t c)
{
    return c == L'\0' || c == L' ' || c == L'\t';
}

wchar_t FoldAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

struct LocalFreeDeleter
{
    void operator()(LPWSTR* argv) const { LocalFree(argv); }
};

}  // namespace

const wchar_t* FindNextSwitch(const wchar_t* position, bool& bInQuotes)
{
    const wchar_t* start = position;
    for (const wchar_t* p = position; *p != L'\0'; p = CharNextW(p))
    {
        if (*p == L'"' && !IsEscapedQuote(p, start))
            bInQuotes = !bInQuotes;
        else if ((*p == L'-' || *p == L'/') && !bInQuotes)
            return p + 1;
    }
    return nullptr;
}

int CompareSwitchWord(const wchar_t* position, const wchar_t* name)
{
    for (;; ++position, ++name)
    {
        const wchar_t word = IsWordEnd(*position) ? L'\0' : UpperChar(*position);
        const wchar_t expected = UpperChar(*name);
        if (word != expected)
            return word < expected ? -1 : 1;
        if (word == L'\0')
            return 0;
    }
}

bool StartsWithAsciiNoCase(const wchar_t* text, const wchar_t* prefix)
{
    for (; *prefix != L'\0'; ++text, ++prefix)
    {
        if (FoldAscii(*text) != FoldAscii(*prefix))
            return false;
    }
    return true;
}

bool CZeltAgentSvcModule::ParseArguments(const wchar_t* commandLine, HRESULT& result)
{
    const bool bRemoval = ReadInstanceSwitches(commandLine);
    if (!SetServiceName())
    {
        result = E_INVALIDARG;
        return false;
    }
    if (!num.empty() && bRemoval)
    {
        result = UninstallService() ? S_OK : E_FAIL;
        return false;
    }
    BuildSummary();
    if (!bRemoval && (port == 0 || agent.empty()))
    {
        result = E_INVALIDARG;
        return false;
    }
    return RunRegistrationPass(commandLine, result) && RunServicePass(commandLine, result);
}

// The instance pass: returns whether an argument asked for removal.
bool CZeltAgentSvcModule::ReadInstanceSwitches(const wchar_t* commandLine)
{
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(CommandLineToArgvW(commandLine, &count));
    if (!argv)
        return false;  // a line that cannot be split carries no instance switch
    bool bRemoval = false;
    for (int i = 0; i < count; ++i)
    {
        const wchar_t* argument = argv.get()[i];
        if (argument[0] != L'/' && argument[0] != L'-')
            continue;
        const wchar_t* rest = argument + 1;
        if (StartsWithAsciiNoCase(rest, L"port="))
            port = static_cast<USHORT>(wcstol(rest + 5, nullptr, 10));
        else if (StartsWithAsciiNoCase(rest, L"agent="))
            agent = rest + 6;
        else if (StartsWithAsciiNoCase(rest, L"cmd="))
            cmd = rest + 4;
        else if (StartsWithAsciiNoCase(rest, L"num="))
            num = rest + 4;
        else if (StartsWithAsciiNoCase(rest, L"unregserver"))
            bRemoval = true;
    }
    return bRemoval;
}

// "%s-%s" of the base name and the number; false when that does not fit the
// 255 units of the service name.
bool CZeltAgentSvcModule::SetServiceName()
{
    if (num.empty())
        return true;
    wchar_t baseName[kServiceNameUnits] = L"";
    LoadStringW(g_pBaseRecord != nullptr ? g_pBaseRecord->m_hInstResource : GetModuleHandleW(nullptr),
                IDS_SERVICENAME, baseName, kServiceNameUnits);
    const std::wstring name = std::wstring(baseName) + L"-" + num;
    if (name.size() > kServiceNameUnits - 1)
        return false;
    wmemcpy(m_serviceName, name.c_str(), name.size() + 1);
    return true;
}

void CZeltAgentSvcModule::BuildSummary()
{
    summary = L"\ndir=[" + dir + L"]\nport=[" + std::to_wstring(port) + L"]\nagent=[" + agent +
              L"]\nnum=[" + num + L"]\nservice=[" + m_serviceName + L"]\ncmd=[" + cmd + L"]";
}

// Returns false (finish the process) when a registration switch was found.
bool CZeltAgentSvcModule::RunRegistrationPass(const wchar_t* commandLine, HRESULT& result)
{
    result = S_OK;
    bool bInQuotes = false;
    for (const wchar_t* p = FindNextSwitch(commandLine, bInQuotes); p != nullptr; p = FindNextSwitch(p, bInQuotes))
    {
        if (CompareSwitchWord(p, L"UnregServer") == 0)
        {
            result = UnregisterServer();
            return false;
        }
        if (CompareSwitchWord(p, L"RegServer") == 0)
        {
            result = RegisterServer(false);
            return false;
        }
        if (CompareSwitchWord(p, L"UnregServerPerUser") == 0)
        {
            g_bPerUserRegistration = true;
            result = UnregisterServer();
            return false;
        }
        if (CompareSwitchWord(p, L"RegServerPerUser") == 0)
        {
            g_bPerUserRegistration = true;
            result = RegisterServer(false);
            return false;
        }
    }
    return true;
}

// Returns false (finish the process) when "Service" asked for installation.
bool CZeltAgentSvcModule::RunServicePass(const wchar_t* commandLine, HRESULT& result)
{
    result = S_OK;
    bool bInQuotes = false;
    for (const wchar_t* p = FindNextSwitch(commandLine, bInQuotes); p != nullptr; p = FindNextSwitch(p, bInQuotes))
    {
        if (CompareSwitchWord(p, L"Service") == 0)
        {
            result = RegisterServer(true);
            return false;
        }
    }
    return true;
}

HRESULT CZeltAgentSvcModule::RegisterServer(bool bService)
{
    HRESULT hr = RegisterAppId(bService);
    if (SUCCEEDED(hr))
        hr = RegisterComClasses(true, nullptr);
    return hr;
}

HRESULT CZeltAgentSvcModule::UnregisterServer()
{
    HRESULT hr = UnregisterComClasses(true, nullptr);
    if (SUCCEEDED(hr))
        hr = RemoveAppId();
    return hr;
}
