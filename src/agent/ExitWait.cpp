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
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
    {
        if (EqualsFoldingAsciiLetters(imageName, entry.szExeFile))
        {
            processId = entry.th32ProcessID;
            return true;
        }
    }
    return false;
}
