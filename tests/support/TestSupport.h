// Helpers shared by the test programs: where the built programs lie, running
// a program and reading its exit code and output, scoped module objects.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/ModuleRecords.h"

// Directory of the running test program, without a trailing backslash.
std::wstring TestProgramDirectory();

// Path of a program built beside the host (one directory above the tests).
std::wstring BuiltProgramPath(const wchar_t* fileName);

struct ProgramResult
{
    DWORD exitCode = 0;
    std::string output;  // standard output and standard error together
    bool finished = false;
};

// Runs a command line, collects its output and waits at most `timeoutMs`;
// a program still running then is terminated and `finished` stays false.
ProgramResult RunProgram(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// Runs the built host with `arguments` and returns its full exit code; 0xDEAD
// when it had to be terminated after `timeoutMs`.
DWORD RunHost(const std::wstring& arguments, DWORD timeoutMs = 60000);
// The same, with its output.
ProgramResult RunHostWithOutput(const std::wstring& arguments, DWORD timeoutMs = 60000);

// The text a failure of the Windows error `error` carries after its words,
// by the README's rule: the system's message (FormatMessage) without its
// closing line break, and the HRESULT in hexadecimal:
// "<words>: <message> (0x8007xxxx)".
std::wstring FailureText(const std::wstring& words, DWORD error);
// The same after a trace line's words, which end in their own full stop:
// "==> Step: end_fail-N. <message> (0x8007xxxx)".
std::wstring TraceFailureText(const std::wstring& traceWords, DWORD error);

// The process-wide records that static start-up builds in the real program.
class CScopedRecords
{
public:
    CScopedRecords() : m_base(std::make_unique<CBaseRecord>()), m_com(std::make_unique<CComRecord>()) {}

private:
    std::unique_ptr<CBaseRecord> m_base;
    std::unique_ptr<CComRecord> m_com;
};

// The whole content of a file that other processes may still be writing;
// empty when it cannot be opened.
std::string ReadFileText(const std::wstring& path);

// The arguments the platform's splitting (CommandLineToArgvW) makes of a
// command line.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
