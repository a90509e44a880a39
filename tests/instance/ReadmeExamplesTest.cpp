// The administrator's examples in the README, run as written against the
// real program, so that the guide stays true.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/ModuleRegistration.h"
#include "support/SystemSupport.h"
#include "support/TestSupport.h"

namespace {

// The README's indented lines that begin with the given text, in order.
std::vector<std::wstring> ReadmeLinesStartingWith(const std::string& start)
{
    std::string path = std::string("Z:") + ZELT_SOURCE_DIR + "/README.md";
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    std::ifstream readme(path.c_str());
    std::vector<std::wstring> lines;
    for (std::string line; std::getline(readme, line);)
    {
        if (line.rfind("    " + start, 0) == 0)
            lines.push_back(Widen(line.substr(4)));
    }
    return lines;
}

class ReadmeExamplesTest : public ::testing::Test
{
protected:
    void SetUp() override { CleanUp(); }
    void TearDown() override { CleanUp(); }
    static void CleanUp()
    {
        RemoveServiceIfPresent(L"ZeltAgentSvc-7");
        WaitForServiceGone(L"ZeltAgentSvc-7");
    }

    const CSavedModuleRegistration m_registration;
};

TEST_F(ReadmeExamplesTest, CommandsSucceedAndInstallTheDocumentedCommandLine)
{
    const std::wstring host = BuiltProgramPath(L"ZeltAgentSvc.exe");
    // A line with optional parts in brackets shows a syntax, not a command.
    std::vector<std::wstring> commands;
    for (std::wstring& line : ReadmeLinesStartingWith("ZeltAgentSvc.exe "))
    {
        if (line.find(L'[') == std::wstring::npos)
            commands.push_back(std::move(line));
    }
    const std::vector<std::wstring> imagePaths = ReadmeLinesStartingWith("\"C:\\Zelt\\ZeltAgentSvc.exe\" ");
    ASSERT_EQ(4u, commands.size());
    ASSERT_EQ(1u, imagePaths.size());

    for (size_t i = 0; i < commands.size(); ++i)
    {
        const std::wstring arguments = commands[i].substr(wcslen(L"ZeltAgentSvc.exe "));
        const ProgramResult result = RunProgram(L"\"" + host + L"\" " + arguments);
        EXPECT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode) << Narrow(commands[i]);
        if (i == 0)
        {
            ServiceConfiguration config;
            ASSERT_TRUE(QueryServiceConfiguration(L"ZeltAgentSvc-7", config));
            const std::wstring documented = imagePaths[0].substr(wcslen(L"\"C:\\Zelt\\ZeltAgentSvc.exe\""));
            EXPECT_EQ(L"\"" + host + L"\"" + documented, config.imagePath);
            EXPECT_EQ(L"ZeltAgent Service - 7", config.displayName);
        }
    }
    EXPECT_TRUE(WaitForServiceGone(L"ZeltAgentSvc-7"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, AppIdKeyPath()));
}

}  // namespace
