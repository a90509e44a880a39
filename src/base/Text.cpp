#include "base/Text.h"

#include <cstdarg>
#include <cstdio>

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
