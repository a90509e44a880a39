// The registry read that chooses between service mode and running in place.
#pragma once

#include <windows.h>

// Opens HKEY_CLASSES_ROOT\AppID\<appId> for reading and tells whether it holds
// a "LocalService" value readable as a string. Returns the error of opening
// either key (ERROR_SUCCESS when both opened); both keys are closed on return.
LONG ReadServiceMode(const wchar_t* appId, bool& bRunAsService);

// True when `key` holds `name` as REG_SZ or REG_EXPAND_SZ that fits 260 units,
// has an even byte length and ends with a NUL unit.
bool QueryTextValue(HKEY key, const wchar_t* name);
