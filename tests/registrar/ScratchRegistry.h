// A registry key of the running test's own, removed with everything below it
// when the test ends, and the redirection of predefined roots into it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CScratchRegistry
{
public:
    // Creates HKCU\Software\ZeltRegistrarTests\<suite>.<test>, empty.
    CScratchRegistry();
    // Undoes every redirection and removes the key.
    ~CScratchRegistry();
    CScratchRegistry(const CScratchRegistry&) = delete;
    CScratchRegistry& operator=(const CScratchRegistry&) = delete;

    HKEY Key() const { return m_hKey; }

    // Sends `root` (HKEY_CURRENT_USER, ...) to the scratch sub-key `name`,
    // so that scripts naming that root write only below the scratch key.
    void RedirectRoot(HKEY root, const wchar_t* name);
    // Redirects HKCR, HKCU, HKLM and HKU to "HKCR", "HKCU", "HKLM", "HKU".
    void RedirectCommonRoots();

    // Paths are relative to the scratch key.
    HKEY CreatePath(const std::wstring& path);  // caller closes
    // Removes everything below the key, which itself stays.
    void ClearPath(const std::wstring& path);
    bool Exists(const std::wstring& path) const;
    bool HasValue(const std::wstring& path, const wchar_t* valueName) const;
    // The value's type and bytes; false when it is absent.
    bool ReadValue(const std::wstring& path, const wchar_t* valueName, DWORD& type, std::vector<BYTE>& data) const;
    std::wstring ReadText(const std::wstring& path, const wchar_t* valueName) const;
    void WriteText(const std::wstring& path, const wchar_t* valueName, const wchar_t* text);
    DWORD CountSubkeys(const std::wstring& path) const;
    DWORD CountValues(const std::wstring& path) const;
    // Every key and value below `path` (empty: the whole scratch key), one
    // sorted line each: a key's path as stored; a value's key path, name,
    // type and bytes in hexadecimal.
    std::vector<std::wstring> Snapshot(const std::wstring& path = L"") const;

private:
    HKEY m_hKey = nullptr;
    std::wstring m_path;
    std::vector<HKEY> m_redirected;
};
