// Registration scripts: the expansion pass, the tokenizer, the value encoders
// and the walk that applies an expanded script to the registry.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

#include "registrar/ExpansionBuffer.h"
#include "registrar/RegistryJournal.h"
#include "registrar/RegistryKey.h"

class CRegObject;

// The kinds of value a script can write, by their type letters S, M, D, B.
enum class ValueKind
{
    Text,
    TextList,
    Number,
    Binary
};

// One token, including its NUL, fits in this many units.
constexpr size_t kTokenUnits = 4096;

// The longest replacement name between two percent signs.
constexpr size_t kMaxReplacementNameUnits = 31;

// Blocks nest at most this deep: the registry's own depth limit. Deeper text
// is refused before it can exhaust the stack.
constexpr int kMaxBlockDepth = 512;

class ScriptParser
{
public:
    explicit ScriptParser(CRegObject& registrar);
    ScriptParser(const ScriptParser&) = delete;
    ScriptParser& operator=(const ScriptParser&) = delete;

    // Replaces the names between percent signs and, for per-user registration,
    // moves root blocks of HKCR under HKCU\Software\Classes. The result slot is
    // cleared first and receives the expanded text on success.
    HRESULT ExpandScript(LPCWSTR script, std::unique_ptr<wchar_t[]>* pExpanded);

    // Tokenizer over the text at the cursor. `token` holds kTokenUnits units.
    void SetCursor(LPCWSTR cursor) { m_pCursor = cursor; }
    void SkipBlanks();
    HRESULT ReadToken(LPWSTR token);
    HRESULT SkipValueClause(LPWSTR token);

    // The walk: applies a script in register or unregister direction. A
    // registration that fails is taken back whole: every change the run made
    // is undone, the last first. A registration that succeeds hands its
    // changes to `pKept`, when given, so that its caller can take them back
    // when a later step of its own fails.
    HRESULT ApplyScript(LPCWSTR script, bool bRegister, CRegistryJournal* pKept = nullptr);
    HRESULT ApplyKeyBlock(LPWSTR token, HKEY parent, bool bRegister, bool bSkip);
    // `keyPath` names `key` below the current root, for the undo journal.
    HRESULT WriteValue(HKEY key, LPCWSTR valueName, LPWSTR token, const std::wstring& keyPath);

    static bool IsBlank(wchar_t unit);
    static HKEY RootKeyFromName(LPCWSTR name);
    static bool ParseValueType(LPCWSTR name, ValueKind& kind);
    static BYTE HexDigitValue(wchar_t unit);

    // Value encoders. The list buffer holds wcslen(token) + 2 units; the byte
    // buffer wcslen(token) / 2 bytes.
    static void EncodeTextList(LPCWSTR token, LPWSTR list);
    static HRESULT DecodeBinary(LPCWSTR token, BYTE* bytes, DWORD& byteCount);
    static HRESULT ConvertNumber(LPCWSTR token, DWORD& number);

private:
    HRESULT ExpandReplacement(LPCWSTR& cursor, ExpansionBuffer& output);
    HRESULT ReadQuotedToken(LPWSTR token);
    HRESULT ReadBareToken(LPWSTR token);
    HRESULT ApplyRootBlocks(LPWSTR token, bool bRegister);
    HRESULT ApplyRootBlock(LPWSTR token, bool bRegister);
    HRESULT ApplyEntry(LPWSTR token, HKEY parent, RegistryKey& current, bool bRegister, bool bSkip);
    HRESULT RegisterKey(LPWSTR token, HKEY parent, RegistryKey& current);
    HRESULT OpenOrCreateKey(LPCWSTR name, HKEY parent, RegistryKey& current, const std::wstring& path);
    HRESULT NoteValueWrite(HKEY key, LPCWSTR valueName, const std::wstring& keyPath);
    HRESULT UnregisterKey(LPWSTR token, HKEY parent, RegistryKey& current, bool bSkip, bool bDeletable);
    HRESULT ApplyValueEntry(LPWSTR token, HKEY parent, bool bRegister, bool bSkip, bool bDeletable);
    HRESULT ApplyForcedRemoval(LPWSTR token, HKEY parent);
    HRESULT SkipBlock(LPWSTR token);
    bool EnsureWalkBuffers();

    CRegObject& m_registrar;
    LPCWSTR m_pCursor = nullptr;
    int m_nDepth = 0;
    // Buffers of the walk for a value name and a value text; no entry nests
    // inside their use, so one of each serves the whole walk.
    std::unique_ptr<wchar_t[]> m_pValueName;
    std::unique_ptr<wchar_t[]> m_pValueText;
    // Where a registration stands: the root of the block being applied and
    // the path below it of the key whose block is read; and what it changed.
    HKEY m_hRoot = nullptr;
    std::wstring m_keyPath;
    CRegistryJournal m_journal;
};

// Compares two names ignoring case, ordinally.
bool IsSameName(LPCWSTR left, LPCWSTR right);

// False for the names that forced removal must never delete.
bool IsRemovableKey(LPCWSTR name);
