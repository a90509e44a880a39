// The host's command lines that the installer package runs: the platform's
// splitting gives every value back exactly, and the host finds no switch
// inside a value.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "SetupArguments.h"
#include "instance/CommandLine.h"
#include "support/TestSupport.h"

namespace {

// The switch words the host's registration and service passes see.
std::vector<std::wstring> SwitchWords(const std::wstring& commandLine)
{
    std::vector<std::wstring> words;
    bool bInQuotes = false;
    for (const wchar_t* p = FindNextSwitch(commandLine.c_str(), bInQuotes); p != nullptr;
         p = FindNextSwitch(p, bInQuotes))
        words.emplace_back(p, wcscspn(p, L" \t"));
    return words;
}

const wchar_t* const kProgram = L"\"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe\" ";

TEST(SetupArgumentsTest, InstallationHandsTheHostEveryValueExactly)
{
    const std::vector<std::wstring> commands{
        L"agent.exe --listen 5000",
        L"\"C:\\Program Files\\Agent\\agent.exe\" --config \"C:\\Agent Data\\\" -unregserver /RegServer",
        L"a\\\\\"b \\\" c\\",
        L"",
    };
    for (const std::wstring& cmd : commands)
    {
        const std::wstring line = kProgram + BuildInstallArguments(L"5000", L"a \"b\".exe", cmd, L"7 \\");
        const std::vector<std::wstring> expected{L"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe",
                                                 L"/Service", L"/port=5000", L"/agent=a \"b\".exe",
                                                 L"/cmd=" + cmd, L"/num=7 \\"};
        EXPECT_EQ(expected, SplitCommandLine(line)) << line;
        EXPECT_EQ(std::vector<std::wstring>{L"Service"}, SwitchWords(line)) << line;
    }
}

TEST(SetupArgumentsTest, RemovalNamesTheInstanceAlone)
{
    const std::wstring line = kProgram + BuildRemovalArguments(L"7 \"-Service\"");
    const std::vector<std::wstring> expected{L"C:\\Program Files\\ZeltAgentSvc\\ZeltAgentSvc.exe", L"/unregserver",
                                             L"/num=7 \"-Service\""};
    EXPECT_EQ(expected, SplitCommandLine(line));
    EXPECT_EQ(std::vector<std::wstring>{L"unregserver"}, SwitchWords(line));
}

}  // namespace
