#include "base/Console.h"

#include <string>
#include <vector>

#include "base/Handles.h"

namespace {

bool IsConsole(HANDLE output)
{
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) != FALSE;
}

// A console takes UTF-16 as it is, whatever its code page. True when the
// whole line was written.
bool WriteConsoleLine(HANDLE console, const wchar_t* text)
{
    const std::wstring line = std::wstring(text) + L"\r\n";
    DWORD written = 0;
    return WriteConsoleW(console, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

}  // namespace

bool WriteStandardOutputLine(const wchar_t* text)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE)
        return false;
    if (IsConsole(output))
        return WriteConsoleLine(output, text);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return false;
    // Bytes, not a narrow string: the program holds no other narrow text,
    // and a narrow string brings its whole library instantiation (about 33 KB).
    std::vector<char> line(static_cast<size_t>(bytes));
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, line.data(), bytes, nullptr, nullptr) != bytes)
        return false;
    line[static_cast<size_t>(bytes) - 1] = '\n';  // the NUL's place takes the line feed
    DWORD written = 0;
    return WriteFile(output, line.data(), static_cast<DWORD>(bytes), &written, nullptr) &&
           written == static_cast<DWORD>(bytes);
}

void PrintLine(const wchar_t* text)
{
    if (WriteStandardOutputLine(text) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    const CFileHandle console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (console)
        WriteConsoleLine(console.Get(), text);
}
