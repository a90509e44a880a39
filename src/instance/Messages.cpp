#include "instance/Messages.h"

#include "base/EventLog.h"
#include "base/Text.h"

MessageBoxFunction g_pfnMessageBox = &MessageBoxW;

namespace {

std::wstring s_firstFailure;

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

void ShowMessage(LPCWSTR serviceName, UINT id, LPCWSTR builtInText, HRESULT cause)
{
    wchar_t words[1024];
    // The program's own image carries the host's strings.
    if (LoadStringW(GetModuleHandleW(nullptr), id, words, ARRAYSIZE(words)) <= 0)
        lstrcpynW(words, builtInText, ARRAYSIZE(words));
    const std::wstring text = DescribeError(words, cause);
    NoteFailure(text);
    // A box that no one can see would wait for ever, and the installation
    // with it: the message goes to the event log instead.
    if (CanShowMessageBox())
        g_pfnMessageBox(nullptr, text.c_str(), serviceName, MB_OK);
    else
        WriteEventText(serviceName, EventKind::InstallationFailed, text.c_str());
}

HRESULT ShowFailure(LPCWSTR serviceName, UINT id, LPCWSTR builtInText, HRESULT cause)
{
    ShowMessage(serviceName, id, builtInText, cause);
    return cause;
}

void NoteFailure(const std::wstring& text)
{
    if (s_firstFailure.empty())
        s_firstFailure = text;
}

std::wstring TakeFirstFailure()
{
    std::wstring text;
    text.swap(s_firstFailure);
    return text;
}
