#include "instance/CommandLine.h"

#include <cwchar>

namespace {

// A double quote toggles the quoted state unless an odd run of backslashes
// escapes it, as the platform splits command lines.
bool IsEscapedQuote(const wchar_t* quote, const wchar_t* start)
{
    size_t backslashes = 0;
    for (const wchar_t* p = quote; p > start && p[-1] == L'\\'; --p)
        ++backslashes;
    return backslashes % 2 == 1;
}

wchar_t UpperChar(wchar_t c)
{
    return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

bool IsWordEnd(wchar_t c)
{
    return c == L'\0' || c == L' ' || c == L'\t';
}

wchar_t FoldAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

const wchar_t* FindNextSwitch(const wchar_t* position, bool& bInQuotes)
{
    const wchar_t* start = position;
    for (const wchar_t* p = position; *p != L'\0'; p = CharNextW(p))
    {
        if (*p == L'"' && !IsEscapedQuote(p, start))
            bInQuotes = !bInQuotes;
        else if ((*p == L'-' || *p == L'/') && !bInQuotes)
            return p + 1;
    }
    return nullptr;
}

int CompareSwitchWord(const wchar_t* position, const wchar_t* name)
{
    for (;; ++position, ++name)
    {
        const wchar_t word = IsWordEnd(*position) ? L'\0' : UpperChar(*position);
        const wchar_t expected = UpperChar(*name);
        if (word != expected)
            return word < expected ? -1 : 1;
        if (word == L'\0')
            return 0;
    }
}

bool StartsWithAsciiNoCase(const wchar_t* text, const wchar_t* prefix)
{
    for (; *prefix != L'\0'; ++text, ++prefix)
    {
        if (FoldAscii(*text) != FoldAscii(*prefix))
            return false;
    }
    return true;
}

bool EqualsAsciiNoCase(const wchar_t* text, const wchar_t* word)
{
    return StartsWithAsciiNoCase(text, word) && text[wcslen(word)] == L'\0';
}
