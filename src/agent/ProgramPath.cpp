#include "agent/ProgramPath.h"

#include <windows.h>

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

}  // namespace

std::wstring QuoteLongestProgram(const std::wstring& line, const std::function<bool(const std::wstring&)>& isProgram)
{
    if (line.empty() || line[0] == L'"')
        return line;
    const size_t firstBlank = line.find_first_of(L" \t");
    if (firstBlank == std::wstring::npos)
        return line;
    // Longest first; a stretch that ends in a blank is no candidate, since
    // path handling would drop the blank and find the shorter name.
    for (size_t end = line.size(); end > firstBlank; --end)
    {
        const bool bAtBlank = end == line.size() || IsBlank(line[end]);
        if (!bAtBlank || IsBlank(line[end - 1]))
            continue;
        const std::wstring candidate = line.substr(0, end);
        if (isProgram(candidate))
            return L"\"" + candidate + L"\"" + line.substr(end);
    }
    return line;
}

bool IsProgramFile(const std::wstring& name)
{
    wchar_t found[MAX_PATH];
    const DWORD length = SearchPathW(nullptr, name.c_str(), L".exe", MAX_PATH, found, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const DWORD attributes = GetFileAttributesW(found);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
