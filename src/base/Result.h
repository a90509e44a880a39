// HRESULT conventions of the host: the one rule that turns Windows and
// Windows Sockets error codes into HRESULTs.
#pragma once

#include <windows.h>

// A code at or below zero stands as it is; any other becomes 0x8007xxxx
// with the code's low 16 bits.
inline HRESULT HResultFromError(DWORD error)
{
    const LONG code = static_cast<LONG>(error);
    return code <= 0 ? static_cast<HRESULT>(code)
                     : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

// For BOOL-returning calls: read the last error at once, before any clean-up
// can overwrite it.
inline HRESULT HResultFromLastError()
{
    return HResultFromError(GetLastError());
}
