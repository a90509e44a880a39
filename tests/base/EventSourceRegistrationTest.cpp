// Event source registration in the Application log: the values Event Viewer
// reads, and their removal. Works on sources of its own, removed at the end.
#include <gtest/gtest.h>

#include <string>

#include "base/EventSourceRegistration.h"
#include "base/Handles.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

class EventSourceRegistrationTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        DeleteTree(HKEY_LOCAL_MACHINE, m_path);
        DeleteTree(HKEY_LOCAL_MACHINE, m_path + L"Sibling");
    }

    const std::wstring m_name = L"ZeltAgentSvcTest-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring m_path = EventSourceKeyPath(m_name);
};

TEST_F(EventSourceRegistrationTest, RegisteredSourceLeadsEventViewerToTheMessageTable)
{
    ASSERT_EQ(S_OK, RegisterEventLogSource(m_name.c_str(), L"C:\\old\\ZeltAgentSvc.exe"));
    const std::wstring program = BuiltProgramPath(L"ZeltAgentSvc.exe");
    ASSERT_EQ(S_OK, RegisterEventLogSource(m_name.c_str(), program.c_str()));

    // Read as Event Viewer reads them: an expandable file name (of the later
    // registration) and the record types.
    wchar_t file[MAX_PATH] = L"";
    DWORD bytes = sizeof(file);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, m_path.c_str(), L"EventMessageFile",
                                          RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file, &bytes));
    EXPECT_EQ(program, file);
    DWORD types = 0;
    bytes = sizeof(types);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, m_path.c_str(), L"TypesSupported", RRF_RT_REG_DWORD,
                                          nullptr, &types, &bytes));
    EXPECT_EQ(static_cast<DWORD>(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE), types);

    // The file it names renders a record of the host as its string.
    CLibraryHandle messages(LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    wchar_t rendered[64] = L"";
    DWORD_PTR record[] = {reinterpret_cast<DWORD_PTR>(L"Service started")};
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages.Get(), 0, 0, rendered, 64,
                   reinterpret_cast<va_list*>(record));
    EXPECT_STREQ(L"Service started", rendered);
}

TEST_F(EventSourceRegistrationTest, RemovalDeletesOnlyTheSourceAndAcceptsAnAbsentOne)
{
    ASSERT_EQ(S_OK, RegisterEventLogSource(m_name.c_str(), L"C:\\x.exe"));
    ASSERT_EQ(S_OK, RegisterEventLogSource((m_name + L"Sibling").c_str(), L"C:\\x.exe"));

    EXPECT_EQ(S_OK, UnregisterEventLogSource(m_name.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, m_path));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, m_path + L"Sibling"));
    EXPECT_EQ(S_OK, UnregisterEventLogSource(m_name.c_str()));

    // Names that would reach the log's own key or another source's: no
    // source carries them, so there is nothing to remove, and nothing goes.
    EXPECT_EQ(S_OK, UnregisterEventLogSource(L""));
    EXPECT_EQ(S_OK, UnregisterEventLogSource((m_name + L"Sibling\\..").c_str()));
    EXPECT_EQ(E_INVALIDARG, RegisterEventLogSource(L"", L"C:\\x.exe"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, m_path + L"Sibling"));
}

}  // namespace
