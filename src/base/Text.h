// Short texts formatted in one place, with the C runtime's counted wide
// formatting: the same conversions as the event log's formats ("%s" takes a
// wide string). The runtime's other formatting paths bring a second printf,
// floating point included, into the program for nothing.
#pragma once

#include <string>

// At most this many units are formatted; longer output is cut.
constexpr size_t kMaxFormattedUnits = 511;

std::wstring FormatText(const wchar_t* format, ...);
