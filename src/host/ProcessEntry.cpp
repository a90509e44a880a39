#include "host/ProcessEntry.h"

int GetStartupShowCommand()
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}

int RunProcessEntry(CZeltAgentSvcModule& module, const wchar_t* commandLine, int showCommand)
{
    if (g_bInitFailed)
        return -1;
    HRESULT result = S_OK;
    if (module.ParseArguments(commandLine, result))
        return module.StartModule(showCommand);
    return static_cast<int>(result);
}
