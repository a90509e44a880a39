// The walk: applies an expanded registration script to the registry, root
// block by root block, in register or unregister direction.
#include <cwchar>
#include <new>

#include "base/Result.h"
#include "registrar/RegistryKey.h"
#include "registrar/ScriptParser.h"

namespace {

// Counts the nesting of blocks for the depth limit.
class CDepthGuard
{
public:
    explicit CDepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~CDepthGuard() { --m_depth; }
    CDepthGuard(const CDepthGuard&) = delete;
    CDepthGuard& operator=(const CDepthGuard&) = delete;

private:
    int& m_depth;
};

bool IsOpeningBrace(LPCWSTR token)
{
    return token[0] == L'{' && token[1] == L'\0';
}

// A key token names exactly one child: no path, and not empty (an empty name
// would address the parent itself).
bool IsChildKeyName(LPCWSTR token)
{
    return token[0] != L'\0' && wcschr(token, L'\\') == nullptr;
}

HRESULT StoreTextList(HKEY key, LPCWSTR valueName, LPCWSTR token)
{
    std::unique_ptr<wchar_t[]> list(new (std::nothrow) wchar_t[wcslen(token) + 2]);
    if (!list)
        return HResultFromError(ERROR_OUTOFMEMORY);
    ScriptParser::EncodeTextList(token, list.get());
    return HResultFromError(WriteTextListValue(key, valueName, list.get()));
}

HRESULT StoreBinary(HKEY key, LPCWSTR valueName, LPCWSTR token)
{
    BYTE bytes[kTokenUnits / 2];
    DWORD byteCount = 0;
    const HRESULT hr = ScriptParser::DecodeBinary(token, bytes, byteCount);
    if (FAILED(hr))
        return hr;
    return HResultFromError(RegSetValueExW(key, valueName, 0, REG_BINARY, bytes, byteCount));
}

HRESULT StoreValue(HKEY key, LPCWSTR valueName, ValueKind kind, LPCWSTR token)
{
    switch (kind)
    {
    case ValueKind::Text:
        return HResultFromError(WriteTextValue(key, valueName, token));
    case ValueKind::TextList:
        return StoreTextList(key, valueName, token);
    case ValueKind::Number:
    {
        DWORD number = 0;
        const HRESULT hr = ScriptParser::ConvertNumber(token, number);
        return FAILED(hr) ? hr : HResultFromError(WriteNumberValue(key, valueName, number));
    }
    case ValueKind::Binary:
        return StoreBinary(key, valueName, token);
    }
    return DISP_E_EXCEPTION;
}

// Deletes a value through a second handle to its key; an absent value is fine.
HRESULT DeleteValue(HKEY parent, LPCWSTR valueName)
{
    RegistryKey key;
    LONG error = key.OpenKey(parent, nullptr, KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return HResultFromError(error);
    error = RegDeleteValueW(key.Handle(), valueName);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        return HResultFromError(error);
    return S_OK;
}

std::unique_ptr<wchar_t[]> CopyName(LPCWSTR name)
{
    const size_t units = wcslen(name) + 1;
    std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[units]);
    if (copy)
        wmemcpy(copy.get(), name, units);
    return copy;
}

}  // namespace

bool IsRemovableKey(LPCWSTR name)
{
    static const wchar_t* const kProtected[] = {
        L"AppID", L"CLSID",    L"Component Categories", L"FileType", L"Interface", L"Hardware",
        L"Mime",  L"SAM",      L"SECURITY",             L"SYSTEM",   L"Software",  L"TypeLib",
    };
    if (name == nullptr || name[0] == L'\0')
        return false;
    for (const wchar_t* protectedName : kProtected)
    {
        if (IsSameName(name, protectedName))
            return false;
    }
    return true;
}

HRESULT ScriptParser::ApplyScript(LPCWSTR script, bool bRegister, CRegistryJournal* pKept)
{
    std::unique_ptr<wchar_t[]> expanded;
    HRESULT hr = ExpandScript(script, &expanded);
    if (FAILED(hr))
        return hr;
    std::unique_ptr<wchar_t[]> token(new (std::nothrow) wchar_t[kTokenUnits]);
    if (!token || !EnsureWalkBuffers())
        return E_OUTOFMEMORY;
    m_journal.Clear();
    m_pCursor = expanded.get();
    hr = ApplyRootBlocks(token.get(), bRegister);
    m_pCursor = nullptr;  // the expanded text goes away with this call
    if (FAILED(hr))
        m_journal.Undo();  // best effort: its result does not change the outcome
    else if (pKept != nullptr)
        pKept->Append(std::move(m_journal));
    m_journal.Clear();
    return hr;
}

// The root blocks in order, until the first failure. The journal's records
// are allocated: running out of memory ends the walk like any failure.
HRESULT ScriptParser::ApplyRootBlocks(LPWSTR token, bool bRegister)
{
    try
    {
        HRESULT hr = S_OK;
        while (SUCCEEDED(hr) && *m_pCursor != L'\0')
        {
            hr = ApplyRootBlock(token, bRegister);
            SkipBlanks();
        }
        return hr;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT ScriptParser::ApplyRootBlock(LPWSTR token, bool bRegister)
{
    HRESULT hr = ReadToken(token);
    if (FAILED(hr))
        return hr;
    m_hRoot = RootKeyFromName(token);
    m_keyPath.clear();
    if (m_hRoot == nullptr)
        return DISP_E_EXCEPTION;
    if (FAILED(hr = ReadToken(token)))
        return hr;
    return token[0] == L'{' ? ApplyKeyBlock(token, m_hRoot, bRegister, false) : DISP_E_EXCEPTION;
}

HRESULT ScriptParser::ApplyKeyBlock(LPWSTR token, HKEY parent, bool bRegister, bool bSkip)
{
    if (m_nDepth >= kMaxBlockDepth)
        return DISP_E_EXCEPTION;
    if (!EnsureWalkBuffers())
        return E_OUTOFMEMORY;
    CDepthGuard depth(m_nDepth);
    HRESULT hr = ReadToken(token);
    RegistryKey current;  // kept from entry to entry, closed when the block ends
    while (SUCCEEDED(hr) && token[0] != L'}')
        hr = ApplyEntry(token, parent, current, bRegister, bSkip);
    return hr;
}

// Applies the entry that starts with the token; on return the token buffer
// holds the token after the entry.
HRESULT ScriptParser::ApplyEntry(LPWSTR token, HKEY parent, RegistryKey& current, bool bRegister, bool bSkip)
{
    HRESULT hr = S_OK;
    const bool bDelete = IsSameName(token, L"Delete");
    if (bDelete || IsSameName(token, L"ForceRemove"))
    {
        if (FAILED(hr = ReadToken(token)))
            return hr;
        if (bRegister)
        {
            if (FAILED(hr = ApplyForcedRemoval(token, parent)))
                return hr;
            if (bDelete)
            {
                if (FAILED(hr = ReadToken(token)) || FAILED(hr = SkipValueClause(token)))
                    return hr;
                return SkipBlock(token);
            }
        }
    }
    bool bDeletable = true;
    if (IsSameName(token, L"NoRemove"))
    {
        bDeletable = false;
        if (FAILED(hr = ReadToken(token)))
            return hr;
    }
    if (IsSameName(token, L"val"))
        return ApplyValueEntry(token, parent, bRegister, bSkip, bDeletable);
    if (!IsChildKeyName(token))
        return DISP_E_EXCEPTION;
    return bRegister ? RegisterKey(token, parent, current) : UnregisterKey(token, parent, current, bSkip, bDeletable);
}

// Deletes the named tree before it is written again (ForceRemove) or instead
// (Delete); protected names are never deleted. The tree is noted first, so
// that a failed registration can put it back. An absent key is the usual
// case and no failure; any other failure of the removal is one.
HRESULT ScriptParser::ApplyForcedRemoval(LPWSTR token, HKEY parent)
{
    if (!IsChildKeyName(token))
        return DISP_E_EXCEPTION;
    if (!IsRemovableKey(token))
        return S_OK;
    CKeyImage tree;
    LONG error = ReadKeyImage(parent, token, tree);
    if (error == ERROR_SUCCESS)
    {
        m_journal.NoteTreeRemoved(m_hRoot, std::wstring(m_keyPath), std::move(tree));
        error = RemoveKeyTreeUnder(parent, token, 0);
    }
    return error == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromError(error);
}

HRESULT ScriptParser::RegisterKey(LPWSTR token, HKEY parent, RegistryKey& current)
{
    std::wstring path = JoinKeyPath(m_keyPath, token);
    HRESULT hr = OpenOrCreateKey(token, parent, current, path);
    if (SUCCEEDED(hr))
        hr = ReadToken(token);
    if (SUCCEEDED(hr) && token[0] == L'=')
        hr = WriteValue(current.Handle(), nullptr, token, path);
    if (FAILED(hr) || !IsOpeningBrace(token))
        return hr;
    m_keyPath.swap(path);  // the block's entries lie below this key
    hr = ApplyKeyBlock(token, current.Handle(), true, false);
    m_keyPath.swap(path);
    return FAILED(hr) ? hr : ReadToken(token);
}

// Opens the key for writing, else for reading, else creates it. A key this
// run creates is noted; room for the note is made before the create, so
// that a created key is never left out.
HRESULT ScriptParser::OpenOrCreateKey(LPCWSTR name, HKEY parent, RegistryKey& current, const std::wstring& path)
{
    if (current.OpenKey(parent, name, KEY_READ | KEY_WRITE) == ERROR_SUCCESS ||
        current.OpenKey(parent, name, KEY_READ) == ERROR_SUCCESS)
        return S_OK;
    std::wstring createdPath(path);
    m_journal.Reserve();
    DWORD disposition = 0;
    const LONG error =
        current.CreateKey(parent, name, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &disposition);
    if (disposition == REG_CREATED_NEW_KEY)
        m_journal.NoteKeyCreated(m_hRoot, std::move(createdPath));
    return HResultFromError(error);
}

// Unregisters the key's block, then deletes the key when it is deletable and
// holds no child keys. An absent key makes its block skip.
HRESULT ScriptParser::UnregisterKey(LPWSTR token, HKEY parent, RegistryKey& current, bool bSkip, bool bDeletable)
{
    const LONG openError = bSkip ? ERROR_FILE_NOT_FOUND : current.OpenKey(parent, token, KEY_READ);
    const bool bChildSkip = openError != ERROR_SUCCESS;
    std::unique_ptr<wchar_t[]> name = CopyName(token);
    if (!name)
        return E_OUTOFMEMORY;
    HRESULT hr = ReadToken(token);
    if (SUCCEEDED(hr))
        hr = SkipValueClause(token);
    if (SUCCEEDED(hr) && IsOpeningBrace(token))
    {
        // A skipped block touches nothing, so its only failures are faults of
        // the text: they stop the walk, which would otherwise go on reading
        // from the middle of the block.
        hr = ApplyKeyBlock(token, bChildSkip ? nullptr : current.Handle(), false, bChildSkip);
        if (SUCCEEDED(hr))
            hr = ReadToken(token);
    }
    if (FAILED(hr) || openError == ERROR_FILE_NOT_FOUND)
        return hr;
    if (openError != ERROR_SUCCESS)
        return HResultFromError(openError);
    const bool bHasChildKeys = HasChildKeys(current.Handle());
    const LONG closeError = current.CloseKey();
    if (closeError != ERROR_SUCCESS)
        return HResultFromError(closeError);
    if (!bDeletable || bHasChildKeys)
        return S_OK;
    return HResultFromError(RemoveChildKeyUnder(parent, name.get(), 0));
}

HRESULT ScriptParser::ApplyValueEntry(LPWSTR token, HKEY parent, bool bRegister, bool bSkip, bool bDeletable)
{
    LPWSTR valueName = m_pValueName.get();
    HRESULT hr = ReadToken(valueName);
    if (SUCCEEDED(hr))
        hr = ReadToken(token);
    if (FAILED(hr))
        return hr;
    if (token[0] != L'=')
        return DISP_E_EXCEPTION;
    if (bRegister)
        hr = WriteValue(parent, valueName, token, m_keyPath);
    else
    {
        if (!bSkip && bDeletable)
            hr = DeleteValue(parent, valueName);
        if (SUCCEEDED(hr))
            hr = SkipValueClause(token);
    }
    return FAILED(hr) ? hr : SkipBlock(token);
}

// A block after a value or after a Delete entry belongs to no key of its own:
// it is read and nothing in it is applied.
HRESULT ScriptParser::SkipBlock(LPWSTR token)
{
    if (!IsOpeningBrace(token))
        return S_OK;
    const HRESULT hr = ApplyKeyBlock(token, nullptr, false, true);
    return FAILED(hr) ? hr : ReadToken(token);
}

HRESULT ScriptParser::WriteValue(HKEY key, LPCWSTR valueName, LPWSTR token, const std::wstring& keyPath)
{
    if (!EnsureWalkBuffers())
        return E_OUTOFMEMORY;
    HRESULT hr = ReadToken(token);
    if (FAILED(hr))
        return hr;
    ValueKind kind = ValueKind::Text;
    if (!ParseValueType(token, kind))
        return DISP_E_EXCEPTION;
    SkipBlanks();
    LPWSTR value = m_pValueText.get();
    if (FAILED(hr = ReadToken(value)) || FAILED(hr = NoteValueWrite(key, valueName, keyPath)) ||
        FAILED(hr = StoreValue(key, valueName, kind, value)))
        return hr;
    return ReadToken(token);
}

// Notes what the value holds (or that it is absent) before it is written.
HRESULT ScriptParser::NoteValueWrite(HKEY key, LPCWSTR valueName, const std::wstring& keyPath)
{
    CValueImage previous;
    const LONG error = ReadValueImage(key, valueName, previous);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        return HResultFromError(error);
    m_journal.NoteValueWritten(m_hRoot, std::wstring(keyPath), std::move(previous), error == ERROR_SUCCESS);
    return S_OK;
}
