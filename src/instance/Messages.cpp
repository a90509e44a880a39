#include "instance/Messages.h"

#include "runtime/ModuleRecords.h"

MessageBoxFunction g_pfnMessageBox = &MessageBoxW;

void ShowMessage(LPCWSTR serviceName, UINT id, LPCWSTR builtInText)
{
    wchar_t text[1024];
    const HINSTANCE resources = g_pBaseRecord != nullptr ? g_pBaseRecord->m_hInstResource : GetModuleHandleW(nullptr);
    if (LoadStringW(resources, id, text, ARRAYSIZE(text)) <= 0)
        lstrcpynW(text, builtInText, ARRAYSIZE(text));
    g_pfnMessageBox(nullptr, text, serviceName, MB_OK);
}
