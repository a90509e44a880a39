#include "SetupArguments.h"

#include "instance/ImagePath.h"

namespace {

// One argument between double quotes, escaped as the host escapes the
// values of its own image path.
std::wstring QuotedSwitch(const wchar_t* name, const std::wstring& value)
{
    return L" \"/" + std::wstring(name) + L"=" + EscapeQuotedValue(value) + L"\"";
}

}  // namespace

std::wstring BuildInstallArguments(const std::wstring& port, const std::wstring& agent, const std::wstring& cmd,
                                   const std::wstring& num)
{
    return L"/Service" + QuotedSwitch(L"port", port) + QuotedSwitch(L"agent", agent) + QuotedSwitch(L"cmd", cmd) +
           QuotedSwitch(L"num", num);
}

std::wstring BuildRemovalArguments(const std::wstring& num)
{
    return L"/unregserver" + QuotedSwitch(L"num", num);
}
