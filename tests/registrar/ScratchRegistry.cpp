#include "ScratchRegistry.h"

#include <gtest/gtest.h>

#include "support/SystemSupport.h"

namespace {

const wchar_t kTestsRoot[] = L"Software\\ZeltRegistrarTests";

std::wstring CurrentTestName()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        return L"NoTest";
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    return std::wstring(name.begin(), name.end());
}

}  // namespace

CScratchRegistry::CScratchRegistry() : m_path(std::wstring(kTestsRoot) + L"\\" + CurrentTestName())
{
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());  // left over from a run that was killed
    const LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                       &m_hKey, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, error) << "scratch key";
}

CScratchRegistry::~CScratchRegistry()
{
    for (HKEY root : m_redirected)
        RegOverridePredefKey(root, nullptr);
    if (m_hKey != nullptr)
        RegCloseKey(m_hKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
    HKEY left = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_READ, &left))
        << "scratch key removed";
    // The parent goes once the last test has removed its key.
    RegDeleteKeyW(HKEY_CURRENT_USER, kTestsRoot);
}

void CScratchRegistry::RedirectRoot(HKEY root, const wchar_t* name)
{
    HKEY key = CreatePath(name);
    ASSERT_NE(nullptr, key);
    const LONG error = RegOverridePredefKey(root, key);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, error);
    m_redirected.push_back(root);
}

void CScratchRegistry::RedirectCommonRoots()
{
    RedirectRoot(HKEY_CLASSES_ROOT, L"HKCR");
    RedirectRoot(HKEY_CURRENT_USER, L"HKCU");
    RedirectRoot(HKEY_LOCAL_MACHINE, L"HKLM");
    RedirectRoot(HKEY_USERS, L"HKU");
}

HKEY CScratchRegistry::CreatePath(const std::wstring& path)
{
    HKEY key = nullptr;
    RegCreateKeyExW(m_hKey, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

void CScratchRegistry::ClearPath(const std::wstring& path)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(m_hKey, path.c_str(), 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(key, nullptr));
    RegCloseKey(key);
}

bool CScratchRegistry::Exists(const std::wstring& path) const
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(m_hKey, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool CScratchRegistry::ReadValue(const std::wstring& path, const wchar_t* valueName, DWORD& type,
                                 std::vector<BYTE>& data) const
{
    DWORD bytes = 0;
    if (RegGetValueW(m_hKey, path.c_str(), valueName, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return false;
    data.resize(bytes);
    return RegGetValueW(m_hKey, path.c_str(), valueName, RRF_RT_ANY | RRF_NOEXPAND, &type,
                        bytes ? data.data() : nullptr, &bytes) == ERROR_SUCCESS;
}

bool CScratchRegistry::HasValue(const std::wstring& path, const wchar_t* valueName) const
{
    DWORD type = 0;
    std::vector<BYTE> data;
    return ReadValue(path, valueName, type, data);
}

std::wstring CScratchRegistry::ReadText(const std::wstring& path, const wchar_t* valueName) const
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!ReadValue(path, valueName, type, data) || type != REG_SZ)
        return L"<no text>";
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

void CScratchRegistry::WriteText(const std::wstring& path, const wchar_t* valueName, const wchar_t* text)
{
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(m_hKey, path.c_str(), valueName, REG_SZ, text, bytes));
}

DWORD CScratchRegistry::CountSubkeys(const std::wstring& path) const
{
    HKEY key = nullptr;
    DWORD count = 0xFFFFFFFF;
    if (RegOpenKeyExW(m_hKey, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return count;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return count;
}

DWORD CScratchRegistry::CountValues(const std::wstring& path) const
{
    HKEY key = nullptr;
    DWORD count = 0xFFFFFFFF;
    if (RegOpenKeyExW(m_hKey, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return count;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return count;
}

std::vector<std::wstring> CScratchRegistry::Snapshot(const std::wstring& path) const
{
    return SnapshotKey(m_hKey, path);
}
