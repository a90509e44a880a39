// Event source registration in the Application log: the values Event Viewer
// reads, and their removal. Works on a source of its own, removed at the end.
#include <gtest/gtest.h>

#include <string>

#include "runtime/EventSourceRegistration.h"
#include "runtime/Handles.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

const std::wstring kLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

struct RegistryValue
{
    DWORD type = REG_NONE;
    std::wstring bytes;  // the data as UTF-16 units
};

bool ReadValue(const std::wstring& path, const wchar_t* name, RegistryValue& value)
{
    wchar_t data[1024] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, data, &bytes) !=
        ERROR_SUCCESS)
        return false;
    value.bytes.assign(data, (bytes + 1) / sizeof(wchar_t));
    return true;
}

// What Event Viewer does with a record of the source: expand the registered
// message file, load it as data and format message 0 with the record's string.
std::wstring RenderWithRegisteredFile(const std::wstring& sourcePath, const wchar_t* record)
{
    RegistryValue file;
    if (!ReadValue(sourcePath, L"EventMessageFile", file))
        return L"<no message file>";
    wchar_t expanded[MAX_PATH];
    ExpandEnvironmentStringsW(file.bytes.c_str(), expanded, MAX_PATH);
    CLibraryHandle program(LoadLibraryExW(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    wchar_t rendered[512] = L"<no message>";
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(record)};
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program.Get(), 0, 0, rendered, 512,
                   reinterpret_cast<va_list*>(arguments));
    return rendered;
}

class EventSourceRegistrationTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        DeleteTree(HKEY_LOCAL_MACHINE, m_path);
        DeleteTree(HKEY_LOCAL_MACHINE, m_path + L"Sibling");
    }

    const std::wstring m_name = L"ZeltAgentSvcTest-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring m_path = kLogKey + L"\\" + m_name;
};

TEST_F(EventSourceRegistrationTest, RegisteredSourceLeadsEventViewerToTheMessageTable)
{
    ASSERT_EQ(S_OK, RegisterEventLogSource(m_name.c_str(), L"C:\\old\\ZeltAgentSvc.exe"));
    const std::wstring program = BuiltProgramPath(L"ZeltAgentSvc.exe");
    ASSERT_EQ(S_OK, RegisterEventLogSource(m_name.c_str(), program.c_str()));

    RegistryValue file;
    ASSERT_TRUE(ReadValue(m_path, L"EventMessageFile", file));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), file.type);
    EXPECT_EQ(program + L'\0', file.bytes);
    DWORD types = 0;
    DWORD bytes = sizeof(types);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, m_path.c_str(), L"TypesSupported", RRF_RT_REG_DWORD,
                                          nullptr, &types, &bytes));
    EXPECT_EQ(static_cast<DWORD>(EVENTLOG_INFORMATION_TYPE), types);

    EXPECT_EQ(L"Service started", RenderWithRegisteredFile(m_path, L"Service started"));
}

TEST_F(EventSourceRegistrationTest, RemovalDeletesOnlyTheSourceAndAcceptsAnAbsentOne)
{
    ASSERT_EQ(S_OK, RegisterEventLogSource(m_name.c_str(), L"C:\\x.exe"));
    ASSERT_EQ(S_OK, RegisterEventLogSource((m_name + L"Sibling").c_str(), L"C:\\x.exe"));

    EXPECT_EQ(S_OK, UnregisterEventLogSource(m_name.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, m_path));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, m_path + L"Sibling"));
    EXPECT_EQ(S_OK, UnregisterEventLogSource(m_name.c_str()));

    // Names that would reach the log's own key or another source's.
    EXPECT_EQ(E_INVALIDARG, UnregisterEventLogSource(L""));
    EXPECT_EQ(E_INVALIDARG, UnregisterEventLogSource((m_name + L"Sibling\\..").c_str()));
    EXPECT_EQ(E_INVALIDARG, RegisterEventLogSource(L"", L"C:\\x.exe"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, m_path + L"Sibling"));
}

}  // namespace
