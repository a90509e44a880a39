#include "registrar/ScriptParser.h"

#include <oleauto.h>

#include <cstring>

#include "registrar/PerUserFlag.h"
#include "registrar/RegObject.h"

namespace {

// The per-user rewrite turns "HKCR {" into "HKCU { Software { Classes {".
const wchar_t kUserRootOpening[] = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
const wchar_t kUserRootClosing[] = L"\r\n\t}\r\n}\r\n";

// Where the per-user rewrite stands, read the way the tokenizer reads: brace
// depth outside quotes, whether the text is inside a quoted token, whether
// the next unit starts a token (at the start, after a blank, after a closing
// quote), and whether a rewritten root block is still open. Replacement
// values are not tracked: they are inserted as they are.
struct RewriteState
{
    int depth = 0;
    bool bQuoted = false;
    bool bTokenStart = true;
    bool bOpen = false;
};

// One character as the platform steps over it (a base unit with its
// combining marks), always at least one unit and never past the NUL.
LPCWSTR NextCharacter(LPCWSTR cursor)
{
    LPCWSTR next = CharNextW(cursor);
    LPCWSTR step = cursor + 1;
    while (step < next && *step != L'\0')
        ++step;
    return step;
}

// True where the text holds the root name "HKCR" (exact case) as a token of
// its own outside every block.
bool IsUserRootToken(LPCWSTR cursor, const RewriteState& state)
{
    return state.depth == 0 && !state.bQuoted && state.bTokenStart && wcsncmp(cursor, L"HKCR", 4) == 0 &&
           (cursor[4] == L'\0' || ScriptParser::IsBlank(cursor[4]));
}

// Opens a rewrite at a root token "HKCR". False when the output cannot grow.
bool RewriteUserRoot(LPCWSTR& cursor, RewriteState& state, ExpansionBuffer& output)
{
    if (!IsUserRootToken(cursor, state))
        return true;
    cursor += 4;
    state.bOpen = true;
    return output.Append(kUserRootOpening);
}

// Inside a quoted token: a doubled quote stays quoted (the cursor is left on
// its second quote with the first already written); any other quote closes
// the token, and the next unit starts a new one.
bool TrackQuotedText(LPCWSTR& cursor, RewriteState& state, ExpansionBuffer& output)
{
    if (*cursor != L'\'')
        return true;
    if (cursor[1] == L'\'')
        return output.Append(++cursor, 1);
    state.bQuoted = false;
    state.bTokenStart = true;
    return true;
}

// Tracks quotes and braces; closes the rewritten block at its last brace. A
// quote opens a quoted token only where a token starts: inside a bare token
// it is an ordinary character, as the tokenizer reads it.
bool TrackUserRootBlock(LPCWSTR& cursor, RewriteState& state, ExpansionBuffer& output)
{
    if (state.bQuoted)
        return TrackQuotedText(cursor, state, output);
    const bool bTokenStart = state.bTokenStart;
    state.bTokenStart = ScriptParser::IsBlank(*cursor);
    if (*cursor == L'\'')
        state.bQuoted = bTokenStart;
    else if (*cursor == L'{')
        ++state.depth;
    else if (*cursor == L'}' && --state.depth == 0 && state.bOpen)
    {
        state.bOpen = false;
        return output.Append(kUserRootClosing);
    }
    return true;
}

}  // namespace

bool IsSameName(LPCWSTR left, LPCWSTR right)
{
    return CompareStringOrdinal(left, -1, right, -1, TRUE) == CSTR_EQUAL;
}

ScriptParser::ScriptParser(CRegObject& registrar) : m_registrar(registrar) {}

HRESULT ScriptParser::ExpandScript(LPCWSTR script, std::unique_ptr<wchar_t[]>* pExpanded)
{
    if (pExpanded == nullptr)
        return E_POINTER;
    pExpanded->reset();
    if (script == nullptr)
        return E_POINTER;
    ExpansionBuffer output;
    if (!output.Allocate(wcslen(script)))
        return E_OUTOFMEMORY;
    const bool bPerUser = g_bPerUserRegistration;
    RewriteState state;
    LPCWSTR cursor = script;
    while (*cursor != L'\0')
    {
        if (bPerUser)
        {
            if (!RewriteUserRoot(cursor, state, output))
                return E_OUTOFMEMORY;
            if (*cursor == L'\0')
                break;  // the text ended right after the root name
            if (!TrackUserRootBlock(cursor, state, output))
                return E_OUTOFMEMORY;
        }
        if (*cursor == L'%')
        {
            const HRESULT hr = ExpandReplacement(cursor, output);
            if (FAILED(hr))
                return hr;
            ++cursor;
            continue;
        }
        LPCWSTR next = NextCharacter(cursor);
        if (!output.Append(cursor, next - cursor))
            return E_OUTOFMEMORY;
        cursor = next;
    }
    *pExpanded = output.Detach();
    return S_OK;
}

// At a percent sign: writes one percent sign for a doubled one, else the value
// of the name up to the next percent sign. Leaves the cursor on the last
// percent sign read.
HRESULT ScriptParser::ExpandReplacement(LPCWSTR& cursor, ExpansionBuffer& output)
{
    ++cursor;
    if (*cursor == L'%')
        return output.Append(cursor, 1) ? S_OK : E_OUTOFMEMORY;
    LPCWSTR end = wcschr(cursor, L'%');
    if (end == nullptr)
        return DISP_E_EXCEPTION;
    const size_t length = end - cursor;
    if (length > kMaxReplacementNameUnits)
        return E_FAIL;
    wchar_t name[kMaxReplacementNameUnits + 1];
    memcpy(name, cursor, length * sizeof(wchar_t));
    name[length] = L'\0';
    LPCWSTR value = m_registrar.FindReplacement(name);
    if (value == nullptr)
        return DISP_E_EXCEPTION;
    if (!output.Append(value))
        return E_OUTOFMEMORY;
    cursor = end;
    return S_OK;
}

bool ScriptParser::IsBlank(wchar_t unit)
{
    return unit == L'\t' || unit == L'\n' || unit == L'\r' || unit == L' ';
}

void ScriptParser::SkipBlanks()
{
    while (IsBlank(*m_pCursor))
        ++m_pCursor;
}

namespace {

// Copies one character; false when it would leave no room for the NUL
// within the token buffer.
bool CopyCharacter(LPCWSTR& cursor, LPWSTR token, size_t& position)
{
    LPCWSTR next = NextCharacter(cursor);
    const size_t units = next - cursor;
    if (position + units + 1 >= kTokenUnits)
        return false;
    memcpy(token + position, cursor, units * sizeof(wchar_t));
    position += units;
    cursor = next;
    return true;
}

}  // namespace

HRESULT ScriptParser::ReadToken(LPWSTR token)
{
    SkipBlanks();
    if (*m_pCursor == L'\0')
        return DISP_E_EXCEPTION;
    return *m_pCursor == L'\'' ? ReadQuotedToken(token) : ReadBareToken(token);
}

// Two quotes in a row stand for one; a quote followed by anything else closes.
HRESULT ScriptParser::ReadQuotedToken(LPWSTR token)
{
    LPCWSTR cursor = m_pCursor + 1;
    size_t position = 0;
    for (;;)
    {
        if (*cursor == L'\0')
            return DISP_E_EXCEPTION;
        if (*cursor == L'\'')
        {
            if (cursor[1] != L'\'')
                break;
            ++cursor;
        }
        if (!CopyCharacter(cursor, token, position))
            return DISP_E_EXCEPTION;
    }
    token[position] = L'\0';
    m_pCursor = cursor + 1;
    return S_OK;
}

HRESULT ScriptParser::ReadBareToken(LPWSTR token)
{
    LPCWSTR cursor = m_pCursor;
    size_t position = 0;
    while (*cursor != L'\0' && !IsBlank(*cursor))
    {
        if (!CopyCharacter(cursor, token, position))
            return DISP_E_EXCEPTION;
    }
    token[position] = L'\0';
    m_pCursor = cursor;
    return S_OK;
}

// Reads past "= type value" when the token holds "="; the token buffer then
// holds the token after the clause.
HRESULT ScriptParser::SkipValueClause(LPWSTR token)
{
    if (token[0] != L'=')
        return S_OK;
    HRESULT hr = ReadToken(token);
    if (FAILED(hr))
        return hr;
    SkipBlanks();
    if (!EnsureWalkBuffers())
        return E_OUTOFMEMORY;
    hr = ReadToken(m_pValueText.get());
    if (FAILED(hr))
        return hr;
    return ReadToken(token);
}

bool ScriptParser::EnsureWalkBuffers()
{
    if (!m_pValueName)
        m_pValueName.reset(new (std::nothrow) wchar_t[kTokenUnits]);
    if (!m_pValueText)
        m_pValueText.reset(new (std::nothrow) wchar_t[kTokenUnits]);
    return m_pValueName && m_pValueText;
}

HKEY ScriptParser::RootKeyFromName(LPCWSTR name)
{
    static const struct
    {
        const wchar_t* name;
        HKEY key;
    } kRoots[] = {
        {L"HKCR", HKEY_CLASSES_ROOT},
        {L"HKCU", HKEY_CURRENT_USER},
        {L"HKLM", HKEY_LOCAL_MACHINE},
        {L"HKU", HKEY_USERS},
        {L"HKPD", HKEY_PERFORMANCE_DATA},
        {L"HKDD", HKEY_DYN_DATA},
        {L"HKCC", HKEY_CURRENT_CONFIG},
        {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKEY_USERS", HKEY_USERS},
        {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
        {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const auto& root : kRoots)
    {
        if (IsSameName(name, root.name))
            return root.key;
    }
    return nullptr;
}

bool ScriptParser::ParseValueType(LPCWSTR name, ValueKind& kind)
{
    static const struct
    {
        const wchar_t* letter;
        ValueKind kind;
    } kTypes[] = {
        {L"S", ValueKind::Text},
        {L"M", ValueKind::TextList},
        {L"D", ValueKind::Number},
        {L"B", ValueKind::Binary},
    };
    for (const auto& type : kTypes)
    {
        if (IsSameName(name, type.letter))
        {
            kind = type.kind;
            return true;
        }
    }
    return false;
}

BYTE ScriptParser::HexDigitValue(wchar_t unit)
{
    if (unit >= L'0' && unit <= L'9')
        return static_cast<BYTE>(unit - L'0');
    if (unit >= L'A' && unit <= L'F')
        return static_cast<BYTE>(unit - L'A' + 10);
    if (unit >= L'a' && unit <= L'f')
        return static_cast<BYTE>(unit - L'a' + 10);
    return 0;
}

// Backslash and digit zero separate items; the list ends with two NULs.
void ScriptParser::EncodeTextList(LPCWSTR token, LPWSTR list)
{
    size_t out = 0;
    while (*token != L'\0')
    {
        if (token[0] == L'\\' && token[1] == L'0')
        {
            list[out++] = L'\0';
            token += 2;
        }
        else
        {
            list[out++] = *token++;
        }
    }
    list[out++] = L'\0';
    list[out] = L'\0';
}

HRESULT ScriptParser::DecodeBinary(LPCWSTR token, BYTE* bytes, DWORD& byteCount)
{
    const size_t digits = wcslen(token);
    if (digits % 2 != 0)
        return E_FAIL;
    for (size_t i = 0; i < digits; i += 2)
        bytes[i / 2] = static_cast<BYTE>(HexDigitValue(token[i]) << 4 | HexDigitValue(token[i + 1]));
    byteCount = static_cast<DWORD>(digits / 2);
    return S_OK;
}

// A text that is no number is refused rather than stored as some number.
HRESULT ScriptParser::ConvertNumber(LPCWSTR token, DWORD& number)
{
    ULONG value = 0;
    const HRESULT hr = VarUI4FromStr(const_cast<OLECHAR*>(token), 0, 0, &value);
    if (FAILED(hr))
        return hr;
    number = value;
    return S_OK;
}
