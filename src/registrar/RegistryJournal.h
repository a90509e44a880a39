// The undo journal of one registration: every change the walk makes to the
// registry, recorded as it is made, so that a registration that fails can be
// taken back to exactly the registry it found.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A value as it stood: its name, type and bytes.
struct CValueImage
{
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// A key as it stood: its stored name, its values and its subkeys.
struct CKeyImage
{
    std::wstring name;
    std::vector<CValueImage> values;
    std::vector<CKeyImage> subkeys;
};

// Reads the value `name` of `key` (null: the default value); the image
// carries the name even when the value is absent (ERROR_FILE_NOT_FOUND).
LONG ReadValueImage(HKEY key, LPCWSTR name, CValueImage& image);

// Reads the subkey `name` of `parent` with everything below it, under the
// name the registry stores (its case may differ from `name`).
LONG ReadKeyImage(HKEY parent, LPCWSTR name, CKeyImage& image);

// Joins a key path below a root and a child name.
std::wstring JoinKeyPath(const std::wstring& path, LPCWSTR name);

// Keys are named by a predefined root and a path below it, so that an entry
// stays valid after the walk has closed its handles. Allocations may throw
// std::bad_alloc; the walk turns that into E_OUTOFMEMORY and undoes what it
// noted. A value write or a removal is noted before it is made; a created
// key after, into room made by Reserve before the create, so that a key once
// created is always noted.
class CRegistryJournal
{
public:
    void Reserve();
    // A key that this run created (the full path below the root).
    void NoteKeyCreated(HKEY root, std::wstring&& path);
    // A value about to be written under the key at `keyPath`, with what it
    // held before (`bExisted` false: it was absent).
    void NoteValueWritten(HKEY root, std::wstring&& keyPath, CValueImage&& previous, bool bExisted);
    // A tree about to be removed from under the key at `parentPath`.
    void NoteTreeRemoved(HKEY root, std::wstring&& parentPath, CKeyImage&& tree);

    // Told of each step of an undo that failed: the key it concerns (root
    // and path, "HKLM\\..."), and the registry error.
    using UndoFailureSink = std::function<void(const std::wstring& keyName, LONG error)>;

    // Takes every change back, the last first, and empties the journal.
    // A step that fails does not stop the ones after it; each is told to
    // `onFailure` when given.
    void Undo(const UndoFailureSink& onFailure = nullptr);
    void Clear() { m_entries.clear(); }
    // Takes over the changes of a later run, to be undone before this one's.
    void Append(CRegistryJournal&& later);
    bool IsEmpty() const { return m_entries.empty(); }

private:
    enum class Change
    {
        KeyCreated,
        ValueWritten,
        TreeRemoved
    };

    struct Entry
    {
        Change change;
        HKEY root;
        std::wstring path;
        bool bExisted;
        CValueImage value;
        CKeyImage tree;
    };

    static LONG UndoEntry(const Entry& entry);

    std::vector<Entry> m_entries;
};
