#include "instance/Elevation.h"

#include "base/Handles.h"

ElevationCheck g_pfnIsProcessElevated = &IsProcessElevated;

bool IsProcessElevated()
{
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
        return true;
    const CKernelHandle token(opened);
    TOKEN_ELEVATION elevation{};
    DWORD bytes = 0;
    if (!GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &bytes))
        return true;
    return elevation.TokenIsElevated != 0;
}
