// Command lines generated at random against the real host: long values up to
// the platform's 32767-unit limit, empty values, repeated and conflicting
// switches, stray quotes, non-ASCII text in every value and switch words
// inside values. Each line must end, with the exit code that the documented
// rules give it, and must leave the service database and the module's
// registry entries exactly as they were.
//
// The expected code comes from the README's switch table and exit codes,
// read plainly (see ReadByTheRules and Classify), with the platform's own
// splitting (CommandLineToArgvW) and process creation as the oracles for the
// arguments and for an agent's launch. Lines the rules leave open (a switch
// word followed by more text) are not used, nor lines whose outcome would be
// a real registration or installation: the lines that run carry switch
// words only inside double-quoted values.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "base/Handles.h"
#include "resources/Guids.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr int kLines = 100;
constexpr size_t kCommandLineLimit = 32766;  // units, without the NUL
// Room kept for the quoted program path, so that a seed gives the same lines
// wherever the host lies.
constexpr size_t kProgramRoom = MAX_PATH + 16;
constexpr DWORD kHangBoundMs = 20000;
constexpr size_t kServiceNameUnits = 255;
const std::wstring kServiceNamePrefix = L"ZeltAgentSvc-";

// Text pieces for values: ASCII, Cyrillic, CJK, a surrogate pair, combining
// and right-to-left marks, blanks, quotes, backslashes and switch words.
const wchar_t* const kPieces[] = {
    L"a", L"7", L"x.exe", L"\u0416", L"\u0430\u0433\u0435\u043D\u0442", L"\u4E2D\u6587", L"\u65E5\u672C",
    L"\U0001F600", L"e\u0301", L"\u05D0\u05D1", L"\u00DF", L" ", L"\t", L"\"", L"\\", L"\\\\", L"\\\"", L"=",
    L"-Service", L"/RegServer", L"/UnregServer", L"-unregserver", L"/num=9", L"/port=1", L"-agent=q", L"/cmd=",
    L"--port=5", L"/Service ", L"%s%n", L"C:\\Program Files\\",
};
// The same without anything that could start a switch or a quoted stretch.
const wchar_t* const kBarePieces[] = {
    L"a", L"7", L"x.exe", L"\u0416", L"\u0430\u0433\u0435\u043D\u0442", L"\u4E2D\u6587", L"\u65E5\u672C",
    L"\U0001F600", L"e\u0301", L"\u05D0\u05D1", L"\u00DF", L"=", L"%s%n", L"C:\\Zelt\\",
};
// Port values for the parser, never connected to: 65536, 131072 and -65536
// have no low 16 bits, -1 has all of them.
const wchar_t* const kPortValues[] = {
    L"", L"0", L"5000", L"-1", L"70000", L"65536", L"131072", L"-65536", L" 42", L"+7", L"0x10", L"abc", L"007",
    L"12\u0416",
};
// Switch names: value switches end in "=", the others are flags.
const wchar_t* const kNames[] = {L"port=", L"agent=", L"cmd=", L"num=", L"unregserver", L"PORT=", L"Agent=",
                                 L"CMD=", L"Num=", L"UnregServer", L"Service", L"RegServer", L"bogus="};
const wchar_t* const kRegistrationSwitches[] = {L"Service", L"RegServer", L"UnregServer", L"RegServerPerUser",
                                                L"UnregServerPerUser"};

// A line as the README's switch table reads it. The platform's splitting
// gives the arguments; one that starts with "/" or "-" is a switch, its name
// compared without regard to case; a value switch is the name, "=" and the
// value, and a switch given twice counts as given last; other arguments are
// ignored. /port= is decimal and only its low 16 bits count, 0 meaning none.
struct Reading
{
    unsigned port = 0;
    std::wstring agent;
    std::wstring cmd;
    std::wstring num;
    bool bRemoval = false;        // /unregserver
    bool bRegistration = false;   // /Service, /RegServer and the like
    bool bOpen = false;           // a switch word followed by more text
};

// The decimal number the value starts with (after blanks and a sign), of
// which only the low 16 bits count.
unsigned ReadPort(const std::wstring& value)
{
    size_t at = value.find_first_not_of(L" \t");
    if (at == std::wstring::npos)
        return 0;
    const bool bNegative = value[at] == L'-';
    if (value[at] == L'-' || value[at] == L'+')
        ++at;
    unsigned number = 0;
    for (; at < value.size() && value[at] >= L'0' && value[at] <= L'9'; ++at)
        number = (number * 10 + (value[at] - L'0')) % 0x10000;
    return bNegative ? (0x10000 - number) % 0x10000 : number;
}

bool HasName(const std::wstring& name, const wchar_t* switchName)
{
    return _wcsnicmp(name.c_str(), switchName, wcslen(switchName)) == 0;
}

void ReadFlag(const std::wstring& name, Reading& reading)
{
    for (const wchar_t* word : kRegistrationSwitches)
    {
        if (_wcsicmp(name.c_str(), word) == 0)
            reading.bRegistration = true;
        else if (HasName(name, word))
            reading.bOpen = true;
    }
    if (_wcsicmp(name.c_str(), L"unregserver") == 0)
        reading.bRemoval = true;
}

Reading ReadByTheRules(const std::wstring& line)
{
    Reading reading;
    for (const std::wstring& argument : SplitCommandLine(line))
    {
        if (argument.empty() || (argument[0] != L'/' && argument[0] != L'-'))
            continue;
        const std::wstring name = argument.substr(1);
        if (HasName(name, L"port="))
            reading.port = ReadPort(name.substr(5));
        else if (HasName(name, L"agent="))
            reading.agent = name.substr(6);
        else if (HasName(name, L"cmd="))
            reading.cmd = name.substr(4);
        else if (HasName(name, L"num="))
            reading.num = name.substr(4);
        else
            ReadFlag(name, reading);
    }
    return reading;
}

enum class Outcome
{
    Refused,                // 0x80070057
    RemovesAbsentInstance,  // 0: "also when it was not installed"
    Runs,
    NotUsed,  // open by the rules, or would register, install or remove the registration
};

// The exit codes table: a service name longer than 255 characters, or a line
// without a port or an agent that is not a removal, is refused; /unregserver
// with a number removes that instance; anything else runs.
Outcome Classify(const Reading& reading, bool bSwitchWordsQuoted)
{
    if (reading.bOpen)
        return Outcome::NotUsed;
    if (!reading.num.empty() && kServiceNamePrefix.size() + reading.num.size() > kServiceNameUnits)
        return Outcome::Refused;
    if (reading.bRemoval)
        return reading.num.empty() ? Outcome::NotUsed : Outcome::RemovesAbsentInstance;
    if (reading.port == 0 || reading.agent.empty())
        return Outcome::Refused;
    return bSwitchWordsQuoted && !reading.bRegistration ? Outcome::Runs : Outcome::NotUsed;
}

// The state of the module's AppID key that the run step reads.
enum class AppIdState
{
    Missing,  // "the module is not registered": 2
    InPlace,  // the key without "LocalService": the agent's launch decides
};

class CLineGenerator
{
public:
    explicit CLineGenerator(unsigned seed) : m_random(seed) {}

    // A line after the program path. In careful mode no switch word and no
    // "/" or "-" stands outside a double-quoted stretch except the leading
    // ones of real instance switches.
    std::wstring Generate(bool bCareful, size_t budget)
    {
        std::wstring line;
        const int arguments = 1 + static_cast<int>(m_random() % 8);
        for (int i = 0; i < arguments; ++i)
            line += L" " + Argument(bCareful);
        if (bCareful && m_random() % 4 != 0)  // mostly lines that get to run
            line.insert(0, L" /port=" + std::to_wstring(1 + m_random() % 65535) + L" " +
                               QuoteArgument(L"/agent=" + Text(false, 1 + m_random() % 3)));
        if (!bCareful && m_random() % 3 == 0)
            line.insert(m_random() % (line.size() + 1), 1, L'"');  // a stray quote anywhere
        if (m_random() % 4 == 0)
        {
            std::wstring rest = Text(false, 1 + m_random() % 6);
            rest.erase(std::remove(rest.begin(), rest.end(), L'"'), rest.end());
            line += L" \"" + rest;  // an unclosed quote takes the rest of the line
        }
        if (m_random() % 5 == 0 && line.size() < budget)
            line += L" \"/" + std::wstring(m_random() % 2 ? L"cmd=" : L"agent=") +
                    LongText(budget - line.size() - 8) + L"\"";
        return line;
    }

private:
    template <size_t N>
    const wchar_t* Pick(const wchar_t* const (&items)[N])
    {
        return items[m_random() % N];
    }

    std::wstring Argument(bool bCareful)
    {
        std::wstring name = Pick(kNames);
        const bool bFlag = name.back() != L'=';
        if (bCareful && bFlag)
            name = L"num=";
        std::wstring value;
        if (_wcsicmp(name.c_str(), L"port=") == 0)
            value = Pick(kPortValues);
        else if (name.back() == L'=')
            value = Text(false, m_random() % 5);
        const std::wstring lead = m_random() % 2 ? L"/" : L"-";
        if (m_random() % 3 == 0 || (bCareful && !IsBare(value)))
            return QuoteArgument(lead + name + value);
        if (!IsBare(value))
            value = Text(true, m_random() % 5);
        return lead + name + value;
    }

    static bool IsBare(const std::wstring& value)
    {
        return value.find_first_of(L" \t\"-/") == std::wstring::npos;
    }

    std::wstring Text(bool bBare, size_t pieces)
    {
        std::wstring text;
        for (size_t i = 0; i < pieces; ++i)
            text += bBare ? Pick(kBarePieces) : Pick(kPieces);
        return text;
    }

    // Up to `room` units of letters without quotes or backslashes, so that
    // quoting does not lengthen it.
    std::wstring LongText(size_t room)
    {
        const size_t length = room / 2 + m_random() % (room / 2 + 1);
        std::wstring text(length, L'x');
        for (wchar_t& c : text)
            c = static_cast<wchar_t>(m_random() % 3 == 0 ? 0x0410 + m_random() % 32 : L'a' + m_random() % 26);
        return text;
    }

    std::mt19937 m_random;
};

std::wstring DescribeKey(HKEY root, const std::wstring& path)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return L"[" + path + L" absent]";
    const CKeyHandle key(opened);
    std::wstring text = L"[" + path + L"]";
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD nameUnits = 256;
        BYTE data[1024];
        DWORD bytes = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueW(key.Get(), i, name, &nameUnits, nullptr, &type, data, &bytes) != ERROR_SUCCESS)
            break;
        text += std::wstring(L" ") + name + L":" + std::to_wstring(type) + L":" +
                std::wstring(reinterpret_cast<wchar_t*>(data), bytes / sizeof(wchar_t));
    }
    return text;
}

std::wstring DescribeServices()
{
    std::wstring text;
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusExW(manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                          &count, &resume, nullptr);
    std::vector<BYTE> buffer(needed + 4096);
    resume = 0;
    if (EnumServicesStatusExW(manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr))
    {
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
        {
            if (_wcsnicmp(services[i].lpServiceName, L"Zelt", 4) == 0)
                text += std::wstring(L" ") + services[i].lpServiceName;
        }
    }
    return L"[services" + text + L"]";
}

// Everything a command line could install, remove or change.
std::wstring DescribeSystem()
{
    return DescribeKey(HKEY_CLASSES_ROOT, AppIdKeyPath()) +
           DescribeKey(HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE") +
           DescribeKey(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT) +
           DescribeKey(HKEY_CURRENT_USER, L"Software\\Classes\\" + AppIdKeyPath()) +
           DescribeKey(HKEY_LOCAL_MACHINE, EventSourceKeyPath(L"ZeltAgentSvc")) + DescribeServices();
}

void SetAppIdState(AppIdState state)
{
    DeleteTree(HKEY_CLASSES_ROOT, AppIdKeyPath());
    if (state == AppIdState::InPlace)
        WriteAppIdKey(false);
}

// What launching the agent's command line in the host's folder gives: the
// platform's own answer. Launches nothing lasting; false when it would run.
bool PredictLaunchFailure(const std::wstring& cmd, DWORD& error)
{
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const std::wstring folder = BuiltProgramPath(L"");
    const std::wstring directory = folder.substr(0, folder.size() - 1);
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, directory.c_str(),
                       &startup, &info))
    {
        CProcessInformation process;
        process.Adopt(info);
        TerminateProcess(process.process.Get(), 1);
        return false;
    }
    error = GetLastError();
    return true;
}

// "2: the module is not registered"; in place, the agent's launch fails with
// the HRESULT of its Windows error. False when the agent would launch.
bool PredictRun(AppIdState state, const std::wstring& cmd, DWORD& expected)
{
    if (state == AppIdState::Missing)
    {
        expected = ERROR_FILE_NOT_FOUND;
        return true;
    }
    DWORD error = 0;
    if (!PredictLaunchFailure(cmd, error))
        return false;
    expected = static_cast<DWORD>(HRESULT_FROM_WIN32(error));
    return true;
}

const char* Name(Outcome outcome, AppIdState state)
{
    switch (outcome)
    {
    case Outcome::Refused:
        return "refused";
    case Outcome::RemovesAbsentInstance:
        return "removes an absent instance";
    default:
        return state == AppIdState::Missing ? "runs without the AppID key" : "runs in place";
    }
}

// The seed of a run to replay, from ZELT_SEED; a new one otherwise.
unsigned ChooseSeed()
{
    const char* text = std::getenv("ZELT_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : std::random_device{}();
}

class BadInputTest : public ::testing::Test
{
protected:
    CSavedModuleRegistration m_registration;
};

TEST_F(BadInputTest, RandomCommandLinesEndWithTheirRulesCodeAndChangeNothing)
{
    const unsigned seed = ChooseSeed();
    std::printf("[ seed   ] %u\n", seed);
    CLineGenerator generator(seed);
    std::mt19937 random(seed);
    const std::wstring program = L"\"" + BuiltProgramPath(L"ZeltAgentSvc.exe") + L"\"";
    ASSERT_LT(program.size(), kProgramRoom);
    ASSERT_EQ(static_cast<DWORD>(E_INVALIDARG), RunHost(L"", kHangBoundMs)) << "the bare program has no port";

    std::map<std::string, int> counts;
    size_t longest = 0;
    double slowestMs = 0;
    for (int done = 0; done < kLines;)
    {
        const bool bCareful = random() % 2 == 0;
        const std::wstring line = program + generator.Generate(bCareful, kCommandLineLimit - kProgramRoom);
        if (line.size() > kCommandLineLimit)
            continue;
        const Reading reading = ReadByTheRules(line);
        const Outcome outcome = Classify(reading, bCareful);
        const AppIdState state = random() % 2 ? AppIdState::Missing : AppIdState::InPlace;
        DWORD expected = 0;
        if (outcome == Outcome::NotUsed || (outcome == Outcome::Runs && !PredictRun(state, reading.cmd, expected)))
            continue;
        if (outcome == Outcome::Refused)
            expected = static_cast<DWORD>(E_INVALIDARG);

        SetAppIdState(state);
        const std::wstring before = DescribeSystem();
        const long long start = NowMicroseconds();
        const ProgramResult result = RunProgram(line, kHangBoundMs);
        slowestMs = std::max(slowestMs, ElapsedMs(start));
        const std::string shown = Narrow(line.substr(0, 400));
        ASSERT_TRUE(result.finished) << "hung: " << shown;
        EXPECT_EQ(expected, result.exitCode) << Name(outcome, state) << ": " << shown;
        EXPECT_EQ(Narrow(before), Narrow(DescribeSystem())) << shown;
        ++counts[Name(outcome, state)];
        longest = std::max(longest, line.size());
        ++done;
    }
    for (const auto& count : counts)
        std::printf("[ figure ] %-32s %d lines\n", count.first.c_str(), count.second);
    std::printf("[ figure ] longest line %u units, slowest %.0f ms\n", static_cast<unsigned>(longest), slowestMs);
}

// An agent whose path and image name are Cyrillic and CJK, in an instance
// whose number is too: installed, started, stopped cleanly and removed.
class NonAsciiInstanceTest : public BadInputTest
{
protected:
    void TearDown() override
    {
        m_instance.Remove();
        TerminateProcesses(m_image);
        DeleteFileW(m_agentPath.c_str());
        RemoveDirectoryW(m_folder.c_str());
        DeleteFileW(m_log.c_str());
    }

    const std::wstring m_image = L"\u0430\u0433\u0435\u043D\u0442-\u4E2D\u6587.exe";
    const std::wstring m_folder = L"C:\\\u0414\u0430\u043D\u043D\u044B\u0435 \u65E5\u672C";
    const std::wstring m_agentPath = m_folder + L"\\" + m_image;
    const std::wstring m_log = TestFilePath(L"non-ascii-agent.log");  // the demo agent's arguments are narrow
    CTestInstance m_instance{L"\u0441\u0435\u043C\u044C-\u4E03"};
};

TEST_F(NonAsciiInstanceTest, InstallsRunsRelaunchesAndStops)
{
    CreateDirectoryW(m_folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"ZeltDemoAgent.exe").c_str(), m_agentPath.c_str(), FALSE));
    DeleteFileW(m_log.c_str());
    const USHORT port = FindFreePort();
    const std::wstring cmd = L"\"" + m_agentPath + L"\" --port=" + std::to_wstring(port) + L" \"--log=" + m_log + L"\"";
    ASSERT_EQ(0u, m_instance.Install(port, m_image, cmd));
    ServiceConfiguration config;
    ASSERT_TRUE(QueryServiceConfiguration(m_instance.ServiceName(), config));
    EXPECT_EQ(L"ZeltAgent Service - " + m_instance.Num(), config.displayName);
    std::wstring localService;
    EXPECT_TRUE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), L"LocalService", localService));
    EXPECT_EQ(m_instance.ServiceName(), localService);

    ASSERT_TRUE(m_instance.Start()) << GetLastError();
    ASSERT_TRUE(m_instance.WaitForState(SERVICE_RUNNING, 20000));
    EXPECT_TRUE(WaitForFileText(m_log, "listening", 10000)) << ReadFileText(m_log);
    EXPECT_EQ(1u, FindProcesses(m_image).size());
    TerminateProcesses(m_image);  // relaunched under its non-ASCII path
    EXPECT_TRUE(WaitUntil([&] { return CountLines(ReadFileText(m_log), "listening") >= 2; }, 10000));
    EXPECT_EQ(2u, CountLines(ReadFileText(m_log), "start ")) << ReadFileText(m_log);
    EXPECT_EQ(1u, FindProcesses(m_image).size());
    ASSERT_TRUE(m_instance.RequestStop());
    EXPECT_TRUE(m_instance.WaitForState(SERVICE_STOPPED, 20000));
    EXPECT_NE(std::string::npos, ReadFileText(m_log).find("exit shutdown")) << ReadFileText(m_log);
}

}  // namespace
