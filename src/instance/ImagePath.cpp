#include "instance/ImagePath.h"

#include "base/Text.h"

std::wstring EscapeQuotedValue(const std::wstring& value)
{
    std::wstring escaped;
    escaped.reserve(value.size() + 2);
    size_t backslashes = 0;
    for (const wchar_t c : value)
    {
        if (c == L'\\')
        {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote escape it, so they must be doubled.
        escaped.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        escaped += c;
    }
    // The closing quote follows: trailing backslashes are doubled too.
    escaped.append(backslashes * 2, L'\\');
    return escaped;
}

std::wstring BuildImagePath(const std::wstring& program, USHORT port, const std::wstring& agent,
                            const std::wstring& cmd)
{
    return L"\"" + program + L"\" /port=" + FormatText(L"%hu", port) + L" /agent=\"" + EscapeQuotedValue(agent) +
           L"\" /cmd=\"" + EscapeQuotedValue(cmd) + L"\"";
}
