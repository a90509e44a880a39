// Token operations over the raw command line, used by the registration and
// service passes.
#pragma once

#include <windows.h>

// The position just after the next '-' or '/' at or behind `position`, or
// null when the text ends first. A '-' or '/' inside a double-quoted stretch
// (by the platform's splitting rules) is part of a value and does not count.
// `bInQuotes` carries the quote state from one call to the next.
const wchar_t* FindNextSwitch(const wchar_t* position, bool& bInQuotes);

// Compares the word at `position` (ended by NUL, blank or tab) with `name`,
// both upper-cased with CharUpperW: 0 when equal, else -1 or 1 as the first
// differing characters compare.
int CompareSwitchWord(const wchar_t* position, const wchar_t* name);

// True when `text` begins with `prefix`, folding only the ASCII letters.
bool StartsWithAsciiNoCase(const wchar_t* text, const wchar_t* prefix);
// True when `text` is `word`, folding only the ASCII letters.
bool EqualsAsciiNoCase(const wchar_t* text, const wchar_t* word);
