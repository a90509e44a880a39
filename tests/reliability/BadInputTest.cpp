// Command lines generated at random against the real host: long values up to
// the platform's 32767-unit limit, empty values, repeated and conflicting
// switches, stray quotes, non-ASCII text in every value and switch words
// inside values. Each line must end, with the exit code that the command-line
// rules give it, and must leave the service database and the module's
// registry entries exactly as they were.
//
// The expected code comes from a small model of the rules: the arguments as
// the platform splits them decide port, agent, num and the removal request;
// a line without a port or an agent is refused; a removal with a number
// removes an instance that does not exist; any other line runs, and what the
// run step does depends on the module's AppID key. Lines whose outcome would
// be a real registration or installation are not generated: the lines that
// run carry switch words only inside double-quoted values.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "base/Handles.h"
#include "base/Result.h"
#include "instance/ImagePath.h"
#include "resources/Guids.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr int kLines = 200;
constexpr size_t kCommandLineLimit = 32766;  // units, without the NUL
constexpr DWORD kHangBoundMs = 20000;
constexpr DWORD kServiceNameUnits = 255;
const std::wstring kBaseName = L"ZeltAgentSvc";

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
const wchar_t* const kPortValues[] = {
    L"", L"0", L"5000", L"-1", L"70000", L"65536", L"99999999999", L" 42", L"+7", L"0x10", L"abc", L"007",
    L"\u0661\u0662", L"12\u0416", L"-99999999999",
};
const wchar_t* const kNames[] = {L"port=", L"agent=", L"cmd=", L"num=", L"unregserver", L"PORT=", L"Agent=",
                                 L"CMD=", L"Num=", L"UnregServer", L"Service", L"RegServer", L"bogus="};

enum class Outcome
{
    Refused,
    RemovesAbsentInstance,
    Runs,
    Unsafe,  // would register, install or remove the registration: not generated
};

struct Settings
{
    USHORT port = 0;
    std::wstring agent;
    std::wstring cmd;
    std::wstring num;
    bool bRemoval = false;
};

bool StartsWithAsciiFolded(const wchar_t* text, const wchar_t* prefix)
{
    for (; *prefix != L'\0'; ++text, ++prefix)
    {
        const auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; };
        if (fold(*text) != fold(*prefix))
            return false;
    }
    return true;
}

// The instance settings by the rules: the platform's splitting, one leading
// "/" or "-", the first matching prefix, the last value winning.
Settings ReadSettings(const std::wstring& line)
{
    Settings settings;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    for (int i = 0; argv != nullptr && i < count; ++i)
    {
        if (argv[i][0] != L'/' && argv[i][0] != L'-')
            continue;
        const wchar_t* rest = argv[i] + 1;
        if (StartsWithAsciiFolded(rest, L"port="))
            settings.port = static_cast<USHORT>(wcstol(rest + 5, nullptr, 10));
        else if (StartsWithAsciiFolded(rest, L"agent="))
            settings.agent = rest + 6;
        else if (StartsWithAsciiFolded(rest, L"cmd="))
            settings.cmd = rest + 4;
        else if (StartsWithAsciiFolded(rest, L"num="))
            settings.num = rest + 4;
        else if (StartsWithAsciiFolded(rest, L"unregserver"))
            settings.bRemoval = true;
    }
    LocalFree(argv);
    return settings;
}

bool NameTooLong(const Settings& settings)
{
    return !settings.num.empty() && kBaseName.size() + 1 + settings.num.size() > kServiceNameUnits;
}

Outcome Classify(const Settings& settings, bool bSwitchWordsQuoted)
{
    if (NameTooLong(settings))
        return Outcome::Refused;
    if (settings.bRemoval && !settings.num.empty())
        return Outcome::RemovesAbsentInstance;
    if (!settings.bRemoval && (settings.port == 0 || settings.agent.empty()))
        return Outcome::Refused;
    return bSwitchWordsQuoted && !settings.bRemoval ? Outcome::Runs : Outcome::Unsafe;
}

// The state of the module's AppID key that the run step reads.
enum class AppIdState
{
    Missing,       // the run step ends with 2
    NoService,     // runs in place: the agent's launch decides
    LocalService,  // service mode, but not started by the service manager: 1063
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
            line.insert(0, L" /port=" + std::to_wstring(1 + m_random() % 65535) + L" \"/agent=" +
                               EscapeQuotedValue(Text(false, 1 + m_random() % 3)) + L"\"");
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
    std::wstring Argument(bool bCareful)
    {
        std::wstring name = kNames[m_random() % (sizeof(kNames) / sizeof(kNames[0]))];
        if (bCareful && (name == L"Service" || name == L"RegServer" || name == L"UnregServer" || name == L"unregserver"))
            name = L"num=";
        const bool bPort = StartsWithAsciiFolded(name.c_str(), L"port=");
        std::wstring value = bPort ? std::wstring(kPortValues[m_random() % (sizeof(kPortValues) / sizeof(kPortValues[0]))])
                                   : Text(false, m_random() % 5);
        const std::wstring lead = m_random() % 2 ? L"/" : L"-";
        if (m_random() % 3 == 0 || (bCareful && !IsBare(value)))
            return L"\"" + EscapeQuotedValue(lead + name + value) + L"\"";
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
            text += bBare ? kBarePieces[m_random() % (sizeof(kBarePieces) / sizeof(kBarePieces[0]))]
                          : kPieces[m_random() % (sizeof(kPieces) / sizeof(kPieces[0]))];
        return text;
    }

    // Up to `room` units of letters without quotes or backslashes, so that
    // escaping does not lengthen it.
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
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"[" + path + L" absent]";
    std::wstring text = L"[" + path + L"]";
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD nameUnits = 256;
        BYTE data[1024];
        DWORD bytes = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &nameUnits, nullptr, &type, data, &bytes) != ERROR_SUCCESS)
            break;
        text += std::wstring(L" ") + name + L":" + std::to_wstring(type) + L":" +
                std::wstring(reinterpret_cast<wchar_t*>(data), bytes / sizeof(wchar_t));
    }
    RegCloseKey(key);
    return text;
}

std::wstring DescribeServices()
{
    std::wstring text;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed, &count,
                          &resume, nullptr);
    std::vector<BYTE> buffer(needed + 4096);
    resume = 0;
    if (EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr))
    {
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
        {
            if (_wcsnicmp(services[i].lpServiceName, L"Zelt", 4) == 0)
                text += std::wstring(L" ") + services[i].lpServiceName;
        }
    }
    CloseServiceHandle(manager);
    return L"[services" + text + L"]";
}

// Everything a command line could install, remove or change.
std::wstring DescribeSystem()
{
    return DescribeKey(HKEY_CLASSES_ROOT, AppIdKeyPath()) +
           DescribeKey(HKEY_CLASSES_ROOT, L"AppID\\ZeltAgentSvc.EXE") +
           DescribeKey(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + ZELT_LIBID_TEXT) +
           DescribeKey(HKEY_CURRENT_USER, L"Software\\Classes\\" + AppIdKeyPath()) + DescribeServices();
}

void SetAppIdState(AppIdState state)
{
    DeleteTree(HKEY_CLASSES_ROOT, AppIdKeyPath());
    if (state == AppIdState::Missing)
        return;
    WriteAppIdKeyOnly();
    if (state == AppIdState::LocalService)
    {
        HKEY key = nullptr;
        RegOpenKeyExW(HKEY_CLASSES_ROOT, AppIdKeyPath().c_str(), 0, KEY_WRITE, &key);
        const wchar_t name[] = L"ZeltAgentSvc-relbad";
        RegSetValueExW(key, L"LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof(name));
        RegCloseKey(key);
    }
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

DWORD ExpectedRunResult(AppIdState state, const std::wstring& cmd, bool& bPredictable)
{
    bPredictable = true;
    switch (state)
    {
    case AppIdState::Missing:
        return ERROR_FILE_NOT_FOUND;
    case AppIdState::LocalService:
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    default:
        break;
    }
    DWORD error = 0;
    bPredictable = PredictLaunchFailure(cmd, error);
    return static_cast<DWORD>(HResultFromError(error));
}

const char* Name(Outcome outcome)
{
    switch (outcome)
    {
    case Outcome::Refused:
        return "refused";
    case Outcome::RemovesAbsentInstance:
        return "removes an absent instance";
    case Outcome::Runs:
        return "runs";
    default:
        return "unsafe";
    }
}

const char* Name(AppIdState state)
{
    switch (state)
    {
    case AppIdState::Missing:
        return "runs without the AppID key";
    case AppIdState::NoService:
        return "runs in place";
    default:
        return "runs with LocalService set";
    }
}

class BadInputTest : public ::testing::Test
{
protected:
    void SetUp() override { RemoveModuleRegistration(); }
    void TearDown() override { RemoveModuleRegistration(); }
};

TEST_F(BadInputTest, RandomCommandLinesEndWithTheirRulesCodeAndChangeNothing)
{
    const unsigned seed = std::random_device{}();
    std::printf("[ seed   ] %u\n", seed);
    CLineGenerator generator(seed);
    std::mt19937 random(seed);
    const std::wstring program = L"\"" + BuiltProgramPath(L"ZeltAgentSvc.exe") + L"\"";
    // The first program the test starts pays Wine's start-up: keep it out of
    // the figures. The bare program path is refused.
    const long long firstStart = NowMicroseconds();
    ASSERT_EQ(static_cast<DWORD>(E_INVALIDARG), RunHost(L"", kHangBoundMs));
    std::printf("[ figure ] first start of the host (Wine start-up included): %.0f ms\n", ElapsedMs(firstStart));

    std::map<std::string, int> counts;
    size_t longest = 0;
    double slowestMs = 0;
    for (int done = 0; done < kLines;)
    {
        const bool bCareful = random() % 2 == 0;
        const std::wstring line = program + generator.Generate(bCareful, kCommandLineLimit - program.size() - 16);
        if (line.size() > kCommandLineLimit)
            continue;
        const Settings settings = ReadSettings(line);
        const Outcome outcome = Classify(settings, bCareful);
        if (outcome == Outcome::Unsafe)
            continue;
        // Wine's dispatcher waits 10 s before it fails a program started by
        // hand: few lines go to service mode.
        const unsigned draw = random() % 10;
        const AppIdState state = draw == 0 ? AppIdState::LocalService : draw % 2 ? AppIdState::Missing : AppIdState::NoService;
        DWORD expected = 0;
        bool bPredictable = true;
        if (outcome == Outcome::Refused)
            expected = static_cast<DWORD>(E_INVALIDARG);
        else if (outcome == Outcome::Runs)
            expected = ExpectedRunResult(state, settings.cmd, bPredictable);
        if (!bPredictable)
            continue;

        SetAppIdState(state);
        const std::wstring before = DescribeSystem();
        const long long start = NowMicroseconds();
        const ProgramResult result = RunProgram(line, kHangBoundMs);
        slowestMs = std::max(slowestMs, ElapsedMs(start));
        if (ElapsedMs(start) > 2000)
            std::printf("[ slow   ] line %d, %.0f ms %s: %s\n", done, ElapsedMs(start), Name(outcome),
                        Narrow(line.substr(0, 300)).c_str());
        const std::string shown = Narrow(line.substr(0, 400));
        ASSERT_TRUE(result.finished) << "hung: " << shown;
        EXPECT_EQ(expected, result.exitCode) << Name(outcome) << ": " << shown;
        EXPECT_EQ(Narrow(before), Narrow(DescribeSystem())) << shown;
        ++counts[outcome == Outcome::Runs ? Name(state) : Name(outcome)];
        longest = std::max(longest, line.size());
        ++done;
    }
    for (const auto& count : counts)
        std::printf("[ figure ] %-32s %d lines\n", count.first.c_str(), count.second);
    std::printf("[ figure ] longest line %u units, slowest %.0f ms\n", static_cast<unsigned>(longest), slowestMs);
}

// An agent whose path and image name are Cyrillic and CJK, in an instance
// whose number is too: installed, started, stopped cleanly and removed.
TEST_F(BadInputTest, NonAsciiAgentAndNumberInstallAndRun)
{
    const std::wstring image = L"\u0430\u0433\u0435\u043D\u0442-\u4E2D\u6587.exe";
    const std::wstring folder = L"C:\\\u0414\u0430\u043D\u043D\u044B\u0435 \u65E5\u672C";
    const std::wstring agentPath = folder + L"\\" + image;
    const std::wstring log = TestFilePath(L"non-ascii-agent.log");  // the demo agent's arguments are narrow
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"ZeltDemoAgent.exe").c_str(), agentPath.c_str(), FALSE));
    DeleteFileW(log.c_str());
    const USHORT port = FindFreePort();
    {
        CTestInstance instance(L"\u0441\u0435\u043C\u044C-\u4E03");
        const std::wstring cmd = L"\"" + agentPath + L"\" --port=" + std::to_wstring(port) + L" \"--log=" + log + L"\"";
        ASSERT_EQ(0u, instance.Install(port, image, cmd));
        ServiceConfiguration config;
        ASSERT_TRUE(QueryServiceConfiguration(instance.ServiceName(), config));
        EXPECT_EQ(L"ZeltAgent Service - " + instance.Num(), config.displayName);
        std::wstring localService;
        EXPECT_TRUE(ReadText(HKEY_CLASSES_ROOT, AppIdKeyPath(), L"LocalService", localService));
        EXPECT_EQ(instance.ServiceName(), localService);

        ASSERT_TRUE(instance.Start()) << GetLastError();
        ASSERT_TRUE(instance.WaitForState(SERVICE_RUNNING, 20000));
        EXPECT_TRUE(WaitForFileText(log, "listening", 10000)) << ReadFileText(log);
        EXPECT_EQ(1u, FindProcesses(image).size());
        TerminateProcesses(image);  // relaunched under its non-ASCII path
        for (int i = 0; i < 500 && CountLines(ReadFileText(log), "listening") < 2; ++i)
            Sleep(20);
        EXPECT_EQ(2u, CountLines(ReadFileText(log), "start ")) << ReadFileText(log);
        EXPECT_EQ(1u, FindProcesses(image).size());
        ASSERT_TRUE(instance.RequestStop());
        EXPECT_TRUE(instance.WaitForState(SERVICE_STOPPED, 20000));
        EXPECT_NE(std::string::npos, ReadFileText(log).find("exit shutdown")) << ReadFileText(log);
        instance.Remove();
        EXPECT_TRUE(WaitForServiceGone(instance.ServiceName()));
    }
    TerminateProcesses(image);
    DeleteFileW(agentPath.c_str());
    RemoveDirectoryW(folder.c_str());
    DeleteFileW(log.c_str());
}

}  // namespace
