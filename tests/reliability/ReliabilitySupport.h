// Helpers of the reliability tests: agent copies under image names of their
// own, installed instances driven through the service manager, the host's
// process figures, and a clock shared with the demo agent's log.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "base/Handles.h"
#include "support/HostTestSupport.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

// Performance counter in microseconds: the demo agent logs the same clock.
double ElapsedMs(long long sinceMicroseconds);

// Copies the demo agent beside the host under `imageName`; returns its path.
std::wstring CopyDemoAgent(const std::wstring& imageName);
// Path of a file in the test program's directory.
std::wstring TestFilePath(const std::wstring& name);

size_t CountLines(const std::string& text, const std::string& prefix);
// Waits until the file holds `text`; false after `timeoutMs`.
bool WaitForFileText(const std::wstring& path, const std::string& text, DWORD timeoutMs);

// Waits until no process of the image name runs; false after `timeoutMs`.
bool WaitForNoProcess(const std::wstring& imageName, DWORD timeoutMs);
void TerminateProcesses(const std::wstring& imageName);

// Figures of a running host. Wine keeps a process's handles in its server
// and its memory in the Unix process that runs it, so the handles are
// counted in the system's handle list and the memory is read from the Unix
// process (found by a mark in its command line, or /proc/self for this
// process when the mark is empty) through /proc.
struct ProcessFigures
{
    DWORD handles = 0;
    DWORD threads = 0;
    unsigned long residentKiB = 0;  // VmRSS
    unsigned long dataKiB = 0;      // VmData: heap and private mappings
};
bool ReadProcessFigures(DWORD processId, const std::string& commandLineMark, ProcessFigures& figures);

// One installed instance of the host, driven through the service manager.
class CTestInstance
{
public:
    explicit CTestInstance(std::wstring num) : m_num(std::move(num)) {}
    ~CTestInstance() { Remove(); }
    CTestInstance(const CTestInstance&) = delete;
    CTestInstance& operator=(const CTestInstance&) = delete;

    std::wstring ServiceName() const { return L"ZeltAgentSvc-" + m_num; }
    const std::wstring& Num() const { return m_num; }
    // The host's /Service command line for this instance.
    std::wstring InstallArguments(USHORT port, const std::wstring& agent, const std::wstring& cmd) const;
    DWORD Install(USHORT port, const std::wstring& agent, const std::wstring& cmd) const;
    bool Start() const;
    bool RequestStop() const;
    // The current state, 0 when the service cannot be queried.
    DWORD QueryState(DWORD* pProcessId = nullptr, DWORD* pExitCode = nullptr) const;
    bool WaitForState(DWORD state, DWORD timeoutMs) const;
    // Stops the service (if it runs), removes it with the host's removal
    // command and waits until the service manager has forgotten it.
    void Remove() const;

private:
    std::wstring m_num;
};

// The command-line argument that the platform's splitting (CommandLineToArgvW)
// gives back as `value`: the value escaped as the installer escapes it, in
// double quotes.
std::wstring QuoteArgument(const std::wstring& value);
