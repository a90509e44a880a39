// Messages to the administrator: a box where a user can see it, the event log
// where no one can (a service's window station, or an installer's action run
// as the system account), where a box would wait for ever.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/EventLog.h"
#include "instance/Messages.h"
#include "support/HostTestSupport.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::wstring> g_boxes;

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR caption, UINT)
{
    g_boxes.push_back(std::wstring(caption) + L": " + text);
    return IDOK;
}

// The process's window station replaced by one of its own, which the system
// creates invisible, for the life of the object.
class CHiddenWindowStation
{
public:
    CHiddenWindowStation()
        : m_previous(GetProcessWindowStation()), m_station(CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr))
    {
        m_bEntered = m_station != nullptr && SetProcessWindowStation(m_station);
    }
    ~CHiddenWindowStation()
    {
        SetProcessWindowStation(m_previous);
        if (m_station != nullptr)
            CloseWindowStation(m_station);
    }
    bool IsEntered() const { return m_bEntered; }

private:
    HWINSTA m_previous;
    HWINSTA m_station;
    bool m_bEntered = false;
};

// Either way the text is the letter's words with the system's error, and
// the first such text is the one the command's console line repeats.
TEST(Messages, BoxWhereAUserSeesItEventLogElsewhere)
{
    CEventLogCapture events;
    TakeFirstFailure();
    g_boxes.clear();
    g_pfnMessageBox = &RecordBox;
    ShowMessage(L"ZeltAgentSvc-7", IDS_CANNOT_STOP_SERVICE, L"Could not stop service",
                HRESULT_FROM_WIN32(ERROR_SERVICE_REQUEST_TIMEOUT));
    {
        CHiddenWindowStation hidden;
        ASSERT_TRUE(hidden.IsEntered());
        ShowMessage(L"ZeltAgentSvc-8", IDS_CANNOT_DELETE_SERVICE, L"Could not delete service",
                    HRESULT_FROM_WIN32(ERROR_SERVICE_MARKED_FOR_DELETE));
    }
    g_pfnMessageBox = &MessageBoxW;

    const std::wstring stopText = FailureText(L"Could not stop service", ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(std::vector<std::wstring>{L"ZeltAgentSvc-7: " + stopText}, g_boxes);
    const std::vector<CEventLogCapture::Record> records = events.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(L"ZeltAgentSvc-8", records[0].source);
    EXPECT_EQ(FailureText(L"Could not delete service", ERROR_SERVICE_MARKED_FOR_DELETE), records[0].message);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, records[0].level);
    EXPECT_EQ(static_cast<DWORD>(EventKind::InstallationFailed), records[0].eventId);
    EXPECT_EQ(stopText, TakeFirstFailure());
    EXPECT_EQ(L"", TakeFirstFailure());
}

}  // namespace
