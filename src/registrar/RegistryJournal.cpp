#include "registrar/RegistryJournal.h"

#include <iterator>
#include <new>
#include <utility>

#include "registrar/RegistryKey.h"
#include "registrar/ScriptParser.h"

namespace {

constexpr DWORD kKeyNameUnits = 256;
constexpr DWORD kFirstValueBytes = 256;

// Counts and the longest name and data of a key's values and subkeys.
struct KeyCounts
{
    DWORD subkeys = 0;
    DWORD values = 0;
    DWORD valueNameUnits = 0;
    DWORD valueBytes = 0;
};

LONG QueryKeyCounts(HKEY key, KeyCounts& counts)
{
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &counts.subkeys, nullptr, nullptr, &counts.values,
                            &counts.valueNameUnits, &counts.valueBytes, nullptr, nullptr);
}

LONG ReadValues(HKEY key, const KeyCounts& counts, std::vector<CValueImage>& values)
{
    std::vector<wchar_t> name(counts.valueNameUnits + 1);
    std::vector<BYTE> data(counts.valueBytes + 1);
    for (DWORD i = 0; i < counts.values; ++i)
    {
        DWORD nameUnits = static_cast<DWORD>(name.size());
        DWORD bytes = static_cast<DWORD>(data.size());
        CValueImage value;
        const LONG error = RegEnumValueW(key, i, name.data(), &nameUnits, nullptr, &value.type, data.data(), &bytes);
        if (error != ERROR_SUCCESS)
            return error;  // a key that changes while it is read is not read
        value.name.assign(name.data(), nameUnits);
        value.data.assign(data.begin(), data.begin() + bytes);
        values.push_back(std::move(value));
    }
    return ERROR_SUCCESS;
}

LONG ReadKeyTree(HKEY parent, CKeyImage& image);

LONG ReadSubkeys(HKEY key, const KeyCounts& counts, std::vector<CKeyImage>& subkeys)
{
    for (DWORD i = 0; i < counts.subkeys; ++i)
    {
        wchar_t name[kKeyNameUnits];
        DWORD nameUnits = kKeyNameUnits;
        const LONG error = RegEnumKeyExW(key, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS)
            return error;
        subkeys.emplace_back();
        subkeys.back().name.assign(name, nameUnits);
    }
    for (CKeyImage& subkey : subkeys)
    {
        const LONG error = ReadKeyTree(key, subkey);
        if (error != ERROR_SUCCESS)
            return error;
    }
    return ERROR_SUCCESS;
}

// The name under which the parent stores the child `name`: the registry
// matches names ignoring case, and a key recreated under the script's
// spelling would not be the key that was there.
LONG FindStoredName(HKEY parent, LPCWSTR name, std::wstring& stored)
{
    for (DWORD i = 0;; ++i)
    {
        wchar_t child[kKeyNameUnits];
        DWORD childUnits = kKeyNameUnits;
        const LONG error = RegEnumKeyExW(parent, i, child, &childUnits, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS)
            return ERROR_FILE_NOT_FOUND;
        if (error != ERROR_SUCCESS)
            return error;
        if (IsSameName(child, name))
        {
            stored.assign(child, childUnits);
            return ERROR_SUCCESS;
        }
    }
}

LONG ReadKeyContents(HKEY key, CKeyImage& image)
{
    KeyCounts counts;
    LONG error = QueryKeyCounts(key, counts);
    if (error == ERROR_SUCCESS)
        error = ReadValues(key, counts, image.values);
    if (error == ERROR_SUCCESS)
        error = ReadSubkeys(key, counts, image.subkeys);
    return error;
}

// Reads the values and subkeys of the child of `parent` that `image` names.
LONG ReadKeyTree(HKEY parent, CKeyImage& image)
{
    RegistryKey key;
    const LONG error = key.OpenKey(parent, image.name.c_str(), KEY_READ);
    return error == ERROR_SUCCESS ? ReadKeyContents(key.Handle(), image) : error;
}

// Writes the bytes exactly as read. The platform completes a text value whose
// last unit is not NUL when the unit after its bytes is NUL; a guard unit
// that is not NUL keeps it from adding one.
LONG WriteValueImage(HKEY key, const CValueImage& value)
{
    std::vector<BYTE> bytes(value.data);
    bytes.insert(bytes.end(), {0xFF, 0xFF});
    return RegSetValueExW(key, value.name.c_str(), 0, value.type, bytes.data(),
                          static_cast<DWORD>(value.data.size()));
}

// Recreates what the removal took. A key that is still there kept its values
// (the removal deletes whole keys); a key that cannot be opened for writing
// was never opened by the removal either, so all below it is still there.
void RestoreKeyImage(HKEY parent, const CKeyImage& image)
{
    RegistryKey key;
    DWORD disposition = 0;
    if (key.CreateKey(parent, image.name.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                      &disposition) != ERROR_SUCCESS)
        return;
    if (disposition == REG_CREATED_NEW_KEY)
    {
        for (const CValueImage& value : image.values)
            WriteValueImage(key.Handle(), value);
    }
    for (const CKeyImage& subkey : image.subkeys)
        RestoreKeyImage(key.Handle(), subkey);
}

LPCWSTR PathOrSelf(const std::wstring& path)
{
    return path.empty() ? nullptr : path.c_str();
}

}  // namespace

// Most values fit the first buffer: one query reads them.
LONG ReadValueImage(HKEY key, LPCWSTR name, CValueImage& image)
{
    image.name = name != nullptr ? name : L"";
    image.data.resize(kFirstValueBytes);
    DWORD bytes = kFirstValueBytes;
    LONG error = RegQueryValueExW(key, name, nullptr, &image.type, image.data.data(), &bytes);
    if (error == ERROR_MORE_DATA)
    {
        image.data.resize(bytes);
        error = RegQueryValueExW(key, name, nullptr, &image.type, image.data.data(), &bytes);
    }
    image.data.resize(error == ERROR_SUCCESS ? bytes : 0);
    return error;
}

LONG ReadKeyImage(HKEY parent, LPCWSTR name, CKeyImage& image)
{
    // The open answers "absent" at once, without a look through the parent.
    RegistryKey key;
    LONG error = key.OpenKey(parent, name, KEY_READ);
    if (error == ERROR_SUCCESS)
        error = FindStoredName(parent, name, image.name);
    if (error == ERROR_SUCCESS)
        error = ReadKeyContents(key.Handle(), image);
    return error;
}

std::wstring JoinKeyPath(const std::wstring& path, LPCWSTR name)
{
    return path.empty() ? std::wstring(name) : path + L"\\" + name;
}

void CRegistryJournal::Reserve()
{
    m_entries.reserve(m_entries.size() + 1);
}

void CRegistryJournal::NoteKeyCreated(HKEY root, std::wstring&& path)
{
    m_entries.push_back(Entry{Change::KeyCreated, root, std::move(path), false, CValueImage(), CKeyImage()});
}

void CRegistryJournal::NoteValueWritten(HKEY root, std::wstring&& keyPath, CValueImage&& previous, bool bExisted)
{
    m_entries.push_back(
        Entry{Change::ValueWritten, root, std::move(keyPath), bExisted, std::move(previous), CKeyImage()});
}

void CRegistryJournal::NoteTreeRemoved(HKEY root, std::wstring&& parentPath, CKeyImage&& tree)
{
    m_entries.push_back(Entry{Change::TreeRemoved, root, std::move(parentPath), true, CValueImage(), std::move(tree)});
}

void CRegistryJournal::Append(CRegistryJournal&& later)
{
    m_entries.insert(m_entries.end(), std::make_move_iterator(later.m_entries.begin()),
                     std::make_move_iterator(later.m_entries.end()));
    later.m_entries.clear();
}

void CRegistryJournal::Undo()
{
    for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry)
    {
        try
        {
            UndoEntry(*entry);
        }
        catch (const std::bad_alloc&)
        {
            // this step is lost; the steps before it are still taken back
        }
    }
    m_entries.clear();
}

// Created keys are deleted only while they hold no subkeys: a key that
// something else filled in the meantime stays.
void CRegistryJournal::UndoEntry(const Entry& entry)
{
    if (entry.change == Change::KeyCreated)
    {
        RemoveChildKeyUnder(entry.root, entry.path.c_str(), 0);
        return;
    }
    RegistryKey key;
    if (key.OpenKey(entry.root, PathOrSelf(entry.path), KEY_WRITE) != ERROR_SUCCESS)
        return;
    if (entry.change == Change::TreeRemoved)
        RestoreKeyImage(key.Handle(), entry.tree);
    else if (entry.bExisted)
        WriteValueImage(key.Handle(), entry.value);
    else
        RegDeleteValueW(key.Handle(), entry.value.name.c_str());
}
