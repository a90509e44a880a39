// Static start-up of the process, in this order: the base record, the COM
// record and the module object (the C runtime's heap, which backs every text,
// exists before all of them). They are destroyed in reverse order at exit.
#include "host/ProcessEntry.h"

namespace {
CBaseRecord s_baseRecord;
CComRecord s_comRecord;
CZeltAgentSvcModule s_module;
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    return RunProcessEntry(s_module, GetCommandLineW(), GetStartupShowCommand());
}
