// The exit-wait slot: the registration that watches the agent process.
#pragma once

#include <windows.h>

// Takes the registration out of the slot atomically and unregisters it,
// waiting until no callback of it runs.
void ReleaseExitWait(HANDLE volatile* pSlot);
