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
// Returns the first error; the rest is restored all the same.
LONG RestoreKeyImage(HKEY parent, const CKeyImage& image)
{
    RegistryKey key;
    DWORD disposition = 0;
    LONG first = key.CreateKey(parent, image.name.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                               nullptr, &disposition);
    if (first != ERROR_SUCCESS)
        return first;
    const auto keep = [&first](LONG error) {
        if (first == ERROR_SUCCESS)
            first = error;
    };
    if (disposition == REG_CREATED_NEW_KEY)
    {
        for (const CValueImage& value : image.values)
            keep(WriteValueImage(key.Handle(), value));
    }
    for (const CKeyImage& subkey : image.subkeys)
        keep(RestoreKeyImage(key.Handle(), subkey));
    return first;
}

// True when the key at `path` has subkeys (a created key that something else
// filled stays, by design).
bool HasSubkeys(HKEY root, const std::wstring& path)
{
    RegistryKey key;
    DWORD subkeys = 0;
    return key.OpenKey(root, path.c_str(), KEY_READ) == ERROR_SUCCESS &&
           RegQueryInfoKeyW(key.Handle(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys > 0;
}

const wchar_t* RootName(HKEY root)
{
    if (root == HKEY_CLASSES_ROOT)
        return L"HKCR";
    if (root == HKEY_CURRENT_USER)
        return L"HKCU";
    if (root == HKEY_LOCAL_MACHINE)
        return L"HKLM";
    return L"HKU";
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

void CRegistryJournal::Undo(const UndoFailureSink& onFailure)
{
    for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry)
    {
        try
        {
            const LONG error = UndoEntry(*entry);
            if (error != ERROR_SUCCESS && onFailure)
                onFailure(JoinKeyPath(RootName(entry->root), entry->path.c_str()), error);
        }
        catch (const std::bad_alloc&)
        {
            // this step is lost; the steps before it are still taken back
        }
    }
    m_entries.clear();
}

// Created keys are deleted only while they hold no subkeys: a key that
// something else filled in the meantime stays. What is already as it was
// (a created key gone, a value that was absent and still is) is no failure.
LONG CRegistryJournal::UndoEntry(const Entry& entry)
{
    if (entry.change == Change::KeyCreated)
    {
        const LONG error = RemoveChildKeyUnder(entry.root, entry.path.c_str(), 0);
        return error == ERROR_FILE_NOT_FOUND || (error != ERROR_SUCCESS && HasSubkeys(entry.root, entry.path))
                   ? ERROR_SUCCESS
                   : error;
    }
    RegistryKey key;
    const LONG error = key.OpenKey(entry.root, PathOrSelf(entry.path), KEY_WRITE);
    if (error != ERROR_SUCCESS)
        return error == ERROR_FILE_NOT_FOUND && entry.change == Change::ValueWritten && !entry.bExisted
                   ? ERROR_SUCCESS
                   : error;
    if (entry.change == Change::TreeRemoved)
        return RestoreKeyImage(key.Handle(), entry.tree);
    if (entry.bExisted)
        return WriteValueImage(key.Handle(), entry.value);
    const LONG deleteError = RegDeleteValueW(key.Handle(), entry.value.name.c_str());
    return deleteError == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : deleteError;
}
