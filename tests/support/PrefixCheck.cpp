// Linked into every test program: the program must leave the prefix's
// service database and the module's registration as it found them. Before
// the first test each key of the registration gets a value of its own, as a
// registration that was there already would have; after the last test the
// service names and those keys must be as they were, and the marks (with the
// keys made for them) go again.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr wchar_t kMark[] = L"ZeltPrefixCheck";
constexpr wchar_t kSourcePrefix[] = L"ZeltAgentSvc";  // the base source and every instance's

// Marks every key of the registration; which of them existed before.
std::vector<bool> WriteMarks()
{
    std::vector<bool> existed;
    for (const auto& key : ModuleRegistrationKeys())
    {
        existed.push_back(KeyExists(key.first, key.second));
        RegSetKeyValueW(key.first, key.second.c_str(), kMark, REG_SZ, L"there before", sizeof(L"there before"));
    }
    return existed;
}

void RemoveMarks(const std::vector<bool>& existed)
{
    const auto keys = ModuleRegistrationKeys();
    for (size_t i = 0; i < keys.size(); ++i)
    {
        RegDeleteKeyValueW(keys[i].first, keys[i].second.c_str(), kMark);
        if (!existed[i])
            RegDeleteKeyW(keys[i].first, keys[i].second.c_str());
    }
}

// The event sources an instance's installation adds next to the base one.
void AddEventSources(std::vector<std::wstring>& lines)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKeyPath().c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return;
    const CKeyHandle key(opened);
    wchar_t name[256];
    for (DWORD i = 0;; ++i)
    {
        DWORD length = ARRAYSIZE(name);
        if (RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (_wcsnicmp(name, kSourcePrefix, ARRAYSIZE(kSourcePrefix) - 1) == 0)
            lines.push_back(std::wstring(L"event source ") + name);
    }
}

std::vector<std::wstring> PrefixState()
{
    std::vector<std::wstring> lines;
    for (const std::wstring& name : ServiceNames())
        lines.push_back(L"service " + name);
    AddEventSources(lines);
    for (const auto& key : ModuleRegistrationKeys())
    {
        const std::vector<std::wstring> tree = SnapshotKey(key.first, key.second);
        lines.insert(lines.end(), tree.begin(), tree.end());
    }
    return lines;
}

// Lines of `lines` that `other` does not hold.
std::string Missing(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& other)
{
    std::string missing;
    for (const std::wstring& line : lines)
    {
        if (std::find(other.begin(), other.end(), line) == other.end())
            missing += "\n  " + Narrow(line);
    }
    return missing;
}

class CPrefixCheck : public ::testing::Environment
{
public:
    void SetUp() override
    {
        m_existed = WriteMarks();
        m_before = PrefixState();
    }
    void TearDown() override
    {
        const std::vector<std::wstring> after = PrefixState();
        const std::string lost = Missing(m_before, after);
        const std::string left = Missing(after, m_before);
        if (!lost.empty())
            ADD_FAILURE() << "in the prefix before the tests and no longer after them:" << lost;
        if (!left.empty())
            ADD_FAILURE() << "in the prefix after the tests and not before them:" << left;
        RemoveMarks(m_existed);
    }

private:
    std::vector<bool> m_existed;
    std::vector<std::wstring> m_before;
};

::testing::Environment* const g_pPrefixCheck = ::testing::AddGlobalTestEnvironment(new CPrefixCheck);

}  // namespace
