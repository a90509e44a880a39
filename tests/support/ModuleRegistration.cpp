#include "support/ModuleRegistration.h"

#include <atomic>

#include "base/Handles.h"
#include "resources/Guids.h"
#include "support/SystemSupport.h"

namespace {

// Where saved registrations wait for the end of their test.
const wchar_t kSavedKey[] = L"Software\\ZeltTestSavedRegistration";

// Copies a key with everything below it; false when the source is absent.
bool CopyTree(HKEY fromRoot, const std::wstring& fromPath, HKEY toRoot, const std::wstring& toPath)
{
    HKEY source = nullptr;
    if (RegOpenKeyExW(fromRoot, fromPath.c_str(), 0, KEY_READ, &source) != ERROR_SUCCESS)
        return false;
    const CKeyHandle sourceKey(source);
    HKEY target = nullptr;
    if (RegCreateKeyExW(toRoot, toPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const CKeyHandle targetKey(target);
    return RegCopyTreeW(sourceKey.Get(), nullptr, targetKey.Get()) == ERROR_SUCCESS;
}

}  // namespace

std::vector<std::pair<HKEY, std::wstring>> ModuleRegistrationKeys()
{
    const std::wstring appId = AppIdKeyPath();
    return {{HKEY_CLASSES_ROOT, appId},
            {HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE"},
            {HKEY_CURRENT_USER, L"Software\\Classes\\" + appId},
            {HKEY_CURRENT_USER, L"Software\\Classes\\AppID\\ZeltAgentSvc.EXE"},
            {HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT},
            {HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc")}};
}

void RemoveModuleRegistration()
{
    for (const auto& key : ModuleRegistrationKeys())
        DeleteTree(key.first, key.second);
}

CSavedModuleRegistration::CSavedModuleRegistration()
{
    static std::atomic<int> counter{0};
    m_copies = std::wstring(kSavedKey) + L"\\" + std::to_wstring(++counter);
    const auto keys = ModuleRegistrationKeys();
    for (size_t i = 0; i < keys.size(); ++i)
        m_bSaved.push_back(CopyTree(keys[i].first, keys[i].second, HKEY_CURRENT_USER, m_copies + L"\\" + std::to_wstring(i)));
    RemoveModuleRegistration();
}

CSavedModuleRegistration::~CSavedModuleRegistration()
{
    RemoveModuleRegistration();
    const auto keys = ModuleRegistrationKeys();
    for (size_t i = 0; i < keys.size(); ++i)
    {
        if (m_bSaved[i])
            CopyTree(HKEY_CURRENT_USER, m_copies + L"\\" + std::to_wstring(i), keys[i].first, keys[i].second);
    }
    DeleteTree(HKEY_CURRENT_USER, m_copies);
    RegDeleteKeyW(HKEY_CURRENT_USER, kSavedKey);  // once no other saved registration is left
}

bool WriteAppIdKey(bool bLocalService)
{
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, AppIdKeyPath().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &created,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const CKeyHandle key(created);
    if (!bLocalService)
    {
        const LONG error = RegDeleteValueW(key.Get(), L"LocalService");
        return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
    }
    const wchar_t empty[] = L"";
    return RegSetValueExW(key.Get(), L"LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>(empty),
                          sizeof(empty)) == ERROR_SUCCESS;
}
