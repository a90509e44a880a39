#include "agent/ExitWait.h"

#include <tlhelp32.h>

#include "base/Handles.h"
#include "base/Result.h"

RegisterWaitFunction g_pfnRegisterWait = &RegisterWaitForSingleObject;

HRESULT RegisterExitWait(HANDLE volatile* pSlot, HANDLE process, WAITORTIMERCALLBACK callback, void* context,
                         DWORD timeoutMs, DWORD flags)
{
    HANDLE wait = nullptr;
    if (!g_pfnRegisterWait(&wait, process, callback, context, timeoutMs, flags))
        return HResultFromLastError();
    if (InterlockedCompareExchangePointer(pSlot, wait, nullptr) != nullptr)
    {
        UnregisterWaitEx(wait, nullptr);
        return E_UNEXPECTED;
    }
    return S_OK;
}

void ReleaseExitWait(HANDLE volatile* pSlot, HANDLE completion)
{
    HANDLE wait = InterlockedExchangePointer(pSlot, nullptr);
    // Inside the callback the call reports ERROR_IO_PENDING; either way the
    // registration is gone and nothing more can be done.
    if (wait != nullptr)
        UnregisterWaitEx(wait, completion);
}

namespace {

wchar_t FoldAsciiLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

bool EqualsFoldingAsciiLetters(const wchar_t* left, const wchar_t* right)
{
    for (; FoldAsciiLetter(*left) == FoldAsciiLetter(*right); ++left, ++right)
    {
        if (*left == L'\0')
            return true;
    }
    return false;
}

bool FindProcessByImageName(const wchar_t* imageName, DWORD& processId)
{
    const std::vector<DWORD> found = FindProcessesByImageName(imageName);
    if (found.empty())
        return false;
    processId = found.front();
    return true;
}

std::vector<DWORD> FindProcessesByImageName(const wchar_t* imageName)
{
    std::vector<DWORD> found;
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
    {
        if (EqualsFoldingAsciiLetters(imageName, entry.szExeFile))
            found.push_back(entry.th32ProcessID);
    }
    return found;
}

namespace {

// The thread's suspend count, read by suspending it and resuming it at
// once; 0 when it runs or cannot be opened.
DWORD ReadSuspendCount(DWORD threadId)
{
    CKernelHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId));
    if (!thread)
        return 0;
    const DWORD count = SuspendThread(thread.Get());
    if (count == static_cast<DWORD>(-1))
        return 0;
    ResumeThread(thread.Get());
    return count;
}

}  // namespace

// A launch's process is created with its first thread suspended; once it
// is resumed that thread runs (and the loader may start more), so a process
// of one suspended thread has not run yet.
bool IsUnstartedLaunch(DWORD processId)
{
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return false;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    DWORD threadId = 0;
    int threads = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
    {
        if (entry.th32OwnerProcessID == processId && ++threads == 1)
            threadId = entry.th32ThreadID;
    }
    return threads == 1 && ReadSuspendCount(threadId) > 0;
}
