// The exit-wait slot: the registration that watches the agent process. The
// slot is only exchanged and compare-exchanged atomically; whoever takes a
// registration out of it owns it and is the only one to unregister it.
#pragma once

#include <windows.h>

#include <vector>

// The registration call: RegisterWaitForSingleObject, replaceable so that
// its failure, which cannot be provoked, can be tested.
using RegisterWaitFunction = BOOL(WINAPI*)(PHANDLE, HANDLE, WAITORTIMERCALLBACK, PVOID, ULONG, ULONG);
extern RegisterWaitFunction g_pfnRegisterWait;

// Registers a wait on `process` and publishes it in the slot if the slot is
// empty; E_UNEXPECTED (the new registration dropped) when it was occupied.
HRESULT RegisterExitWait(HANDLE volatile* pSlot, HANDLE process, WAITORTIMERCALLBACK callback, void* context,
                         DWORD timeoutMs, DWORD flags);

// Takes the registration out of the slot atomically and unregisters it. With
// INVALID_HANDLE_VALUE it returns only when no callback of it runs; a callback
// releasing its own registration passes null, as it cannot wait for itself.
void ReleaseExitWait(HANDLE volatile* pSlot, HANDLE completion = INVALID_HANDLE_VALUE);

// True and the id of the first process in the snapshot whose image name
// equals `imageName`, folding only the letters A to Z.
bool FindProcessByImageName(const wchar_t* imageName, DWORD& processId);

// The ids of every process whose image name equals `imageName`, in the
// snapshot's order.
std::vector<DWORD> FindProcessesByImageName(const wchar_t* imageName);

// True when the process has one thread and that thread is suspended: a
// process created suspended that never ran.
bool IsUnstartedLaunch(DWORD processId);

// Image-name comparison of the process search.
bool EqualsFoldingAsciiLetters(const wchar_t* left, const wchar_t* right);
