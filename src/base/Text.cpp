#include "base/Text.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

std::wstring FormatText(const wchar_t* format, ...)
{
    wchar_t text[kMaxFormattedUnits + 1];
    va_list args;
    va_start(args, format);
    const int units = _vsnwprintf(text, kMaxFormattedUnits, format, args);
    va_end(args);
    text[kMaxFormattedUnits] = L'\0';
    return units < 0 ? std::wstring(text) : std::wstring(text, static_cast<size_t>(units));
}

namespace {

// The system's text for the code, without the line break that ends every
// system message ("...\r\n"); empty when the system has none.
std::wstring ReadSystemText(HRESULT hr)
{
    const DWORD code = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
    wchar_t text[512];
    DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                 ARRAYSIZE(text), nullptr);
    while (units > 0 && (text[units - 1] == L'\r' || text[units - 1] == L'\n' || text[units - 1] == L' '))
        --units;
    return std::wstring(text, units);
}

}  // namespace

std::wstring DescribeError(const wchar_t* words, HRESULT hr)
{
    const std::wstring systemText = ReadSystemText(hr);
    const size_t wordUnits = wcslen(words);
    const wchar_t* separator = wordUnits > 0 && words[wordUnits - 1] == L'.' ? L" " : L": ";
    const unsigned long code = static_cast<unsigned long>(hr);
    if (systemText.empty())
        return FormatText(L"%s (0x%08lX)", words, code);
    return FormatText(L"%s%s%s (0x%08lX)", words, separator, systemText.c_str(), code);
}
