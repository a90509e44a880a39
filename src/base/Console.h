// Lines for the person who ran a command. The host is a windowless program:
// it has no console of its own, and cmd.exe gives it none.
#pragma once

#include <windows.h>

// Writes the text and a line feed, as UTF-8, to standard output when it is
// a pipe or a file (one write, so that concurrent writers' lines stay whole);
// a console gets the text as it is. False when there is no standard output
// or the line could not be written whole (a closed pipe, a full disk).
bool WriteStandardOutputLine(const wchar_t* text);

// Prints one line on standard output when the process has one and the write
// succeeds, else on the console of the program that started it (cmd.exe,
// say), which the process attaches to first; nothing when there is neither.
void PrintLine(const wchar_t* text);
