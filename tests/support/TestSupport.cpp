#include "support/TestSupport.h"

#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "base/Handles.h"

std::wstring TestProgramDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.rfind(L'\\'));
}

std::wstring BuiltProgramPath(const wchar_t* fileName)
{
    const std::wstring tests = TestProgramDirectory();
    return tests.substr(0, tests.rfind(L'\\')) + L"\\" + fileName;
}

namespace {

std::string ReadAll(HANDLE pipe)
{
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

struct PipeReader
{
    HANDLE pipe;
    std::string text;
};

DWORD WINAPI ReadPipeThread(void* parameter)
{
    auto* reader = static_cast<PipeReader*>(parameter);
    reader->text = ReadAll(reader->pipe);
    return 0;
}

}  // namespace

ProgramResult RunProgram(const std::wstring& commandLine, DWORD timeoutMs)
{
    ProgramResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return result;
    CKernelHandle reader(readEnd);
    CKernelHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return result;
    CProcessInformation process;
    process.Adopt(info);
    writer.Reset();

    // Read on a helper thread so that a program that never ends cannot block us.
    PipeReader state{reader.Get(), {}};
    CKernelHandle thread(CreateThread(nullptr, 0, &ReadPipeThread, &state, 0, nullptr));
    if (WaitForSingleObject(process.process.Get(), timeoutMs) == WAIT_OBJECT_0)
        result.finished = true;
    else
        TerminateProcess(process.process.Get(), 0xDEAD);
    WaitForSingleObject(process.process.Get(), INFINITE);
    GetExitCodeProcess(process.process.Get(), &result.exitCode);
    if (WaitForSingleObject(thread.Get(), 10000) != WAIT_OBJECT_0)
        CancelSynchronousIo(thread.Get());
    WaitForSingleObject(thread.Get(), INFINITE);
    result.output = state.text;
    return result;
}

DWORD RunHost(const std::wstring& arguments, DWORD timeoutMs)
{
    const ProgramResult result = RunHostWithOutput(arguments, timeoutMs);
    return result.finished ? result.exitCode : 0xDEAD;
}

ProgramResult RunHostWithOutput(const std::wstring& arguments, DWORD timeoutMs)
{
    return RunProgram(L"\"" + BuiltProgramPath(L"ZeltAgentSvc.exe") + L"\" " + arguments, timeoutMs);
}

namespace {

// "<message> (0x8007xxxx)".
std::wstring SystemMessageAndCode(DWORD error)
{
    wchar_t message[512] = L"";
    const DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                       message, ARRAYSIZE(message), nullptr);
    std::wstring text(message, units);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0)
        text.resize(text.size() - 2);
    wchar_t code[16];
    _snwprintf(code, ARRAYSIZE(code), L"0x%08lX", 0x80070000ul | (error & 0xFFFFul));
    return text + L" (" + code + L")";
}

}  // namespace

std::wstring FailureText(const std::wstring& words, DWORD error)
{
    return words + L": " + SystemMessageAndCode(error);
}

std::wstring TraceFailureText(const std::wstring& traceWords, DWORD error)
{
    return traceWords + L" " + SystemMessageAndCode(error);
}

std::string ReadFileText(const std::wstring& path)
{
    std::string text;
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(units, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine)
{
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
    if (argv == nullptr)
        return {};
    std::vector<std::wstring> arguments(argv, argv + count);
    LocalFree(argv);
    return arguments;
}
