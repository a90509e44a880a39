#include "agent/ExitWait.h"

void ReleaseExitWait(HANDLE volatile* pSlot)
{
    HANDLE wait = InterlockedExchangePointer(const_cast<HANDLE*>(pSlot), nullptr);
    if (wait != nullptr && !UnregisterWaitEx(wait, INVALID_HANDLE_VALUE))
        GetLastError();
}
