// The program an agent command line names. Process creation splits an
// unquoted program path at blanks and tries each stretch up to a blank as a
// program, shortest first: "C:\Tools Dir\agent.exe --x" would run
// C:\Tools.exe if that file existed.
#pragma once

#include <functional>
#include <string>

// When the line's first token is unquoted and the line holds blanks: the
// longest stretch that ends at a blank (or the whole line) and names a
// program, quoted, followed by the rest of the line unchanged, provided that
// stretch is longer than the first token. Otherwise the line as it is.
std::wstring QuoteLongestProgram(const std::wstring& line, const std::function<bool(const std::wstring&)>& isProgram);

// True when the name, searched as process creation searches a program (the
// extension ".exe" added when it has none), finds a file, not a directory.
bool IsProgramFile(const std::wstring& name);
