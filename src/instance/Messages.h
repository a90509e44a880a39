// Messages shown to the administrator when installation or removal fails,
// and the one line a failed command prints.
#pragma once

#include <windows.h>

#include <string>

#define IDS_CANNOT_OPEN_MANAGER 55306
#define IDS_CANNOT_CREATE_SERVICE 55307
#define IDS_CANNOT_OPEN_SERVICE 55308
#define IDS_CANNOT_DELETE_SERVICE 55309
#define IDS_CANNOT_STOP_SERVICE 55310
#define IDS_NOT_ELEVATED 55311

// The message box function, replaceable by tests (no display under test).
using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
extern MessageBoxFunction g_pfnMessageBox;

// Shows the string resource `id` (or `builtInText` when the program holds
// none) followed by the system's text for `cause` and its code, in a modal
// box without owner, captioned with the service name. On a window station
// that no user sees, the text is written to the event log under the service
// name instead.
void ShowMessage(LPCWSTR serviceName, UINT id, LPCWSTR builtInText, HRESULT cause);

// Shows the message of a failed step and returns its cause, for the step's
// caller to return.
HRESULT ShowFailure(LPCWSTR serviceName, UINT id, LPCWSTR builtInText, HRESULT cause);

// The process carries out one command: the first failure it tells of (a
// box's text, a trace line without the settings) is what its console line
// says. Later notes are dropped.
void NoteFailure(const std::wstring& text);
// The first note, emptied; empty when there was none.
std::wstring TakeFirstFailure();
