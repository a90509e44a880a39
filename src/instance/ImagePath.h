// The service's command line, which carries the instance settings back to
// the host at every start.
#pragma once

#include <windows.h>

#include <string>

// Escapes a value for a double-quoted stretch so that the platform's
// command-line splitting gives it back exactly: a double quote becomes \",
// and backslashes are doubled where they stand before a quote or at the end.
// A value without double quotes or trailing backslashes is unchanged.
std::wstring EscapeQuotedValue(const std::wstring& value);

// "\"<program>\" /port=<port> /agent=\"<agent>\" /cmd=\"<cmd>\"".
std::wstring BuildImagePath(const std::wstring& program, USHORT port, const std::wstring& agent,
                            const std::wstring& cmd);
