#include "instance/Messages.h"

MessageBoxFunction g_pfnMessageBox = &MessageBoxW;

void ShowMessage(LPCWSTR serviceName, UINT id, LPCWSTR builtInText)
{
    wchar_t text[1024];
    // The program's own image carries the host's strings.
    if (LoadStringW(GetModuleHandleW(nullptr), id, text, ARRAYSIZE(text)) <= 0)
        lstrcpynW(text, builtInText, ARRAYSIZE(text));
    g_pfnMessageBox(nullptr, text, serviceName, MB_OK);
}
