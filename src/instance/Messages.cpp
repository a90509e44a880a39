#include "instance/Messages.h"

#include "base/EventLog.h"

MessageBoxFunction g_pfnMessageBox = &MessageBoxW;

namespace {

// True unless the process's window station is one that no user sees: that
// of a service, or of an installer's action run as the system account.
bool CanShowMessageBox()
{
    USEROBJECTFLAGS flags{};
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), nullptr))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void ShowMessage(LPCWSTR serviceName, UINT id, LPCWSTR builtInText)
{
    wchar_t text[1024];
    // The program's own image carries the host's strings.
    if (LoadStringW(GetModuleHandleW(nullptr), id, text, ARRAYSIZE(text)) <= 0)
        lstrcpynW(text, builtInText, ARRAYSIZE(text));
    // A box that no one can see would wait for ever, and the installation
    // with it: the message goes to the event log instead.
    if (CanShowMessageBox())
        g_pfnMessageBox(nullptr, text, serviceName, MB_OK);
    else
        WriteEventText(serviceName, EventKind::InstallationFailed, text);
}
