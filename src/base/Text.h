// Short texts formatted in one place, with the C runtime's counted wide
// formatting: the same conversions as the event log's formats ("%s" takes a
// wide string). The runtime's other formatting paths bring a second printf,
// floating point included, into the program for nothing.
#pragma once

#include <windows.h>

#include <string>

// At most this many units are formatted; longer output is cut.
constexpr size_t kMaxFormattedUnits = 511;

std::wstring FormatText(const wchar_t* format, ...);

// "<words>: <system text> (0x%08X)": the words of a failure followed by the
// system's own text for `hr` (FormatMessage; a Windows error inside an
// HRESULT is looked up by its code) with the system's full stop kept and its
// line break dropped, and the code. Words that already end in a full stop
// (a trace line's "end_fail-N.") are followed by a blank instead of the
// colon. Without a system text: "<words> (0x%08X)".
std::wstring DescribeError(const wchar_t* words, HRESULT hr);
