// The text layer of registration scripts, without a registry: expansion,
// tokenizer, the tables and the value encoders, the replacement map.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "registrar/PerUserFlag.h"
#include "registrar/RegObject.h"
#include "registrar/ScriptParser.h"

namespace {

class ScriptTextTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registrar.SetReplacement(L"APPID", L"{1234}");
        registrar.SetReplacement(L"Percent", L"50%DONE%");
    }
    void TearDown() override { g_bPerUserRegistration = false; }

    // Expands `script`; the text on success, "<failed>" otherwise, `hr` set.
    std::wstring Expand(const std::wstring& script, HRESULT& hr)
    {
        std::unique_ptr<wchar_t[]> expanded;
        hr = parser.ExpandScript(script.c_str(), &expanded);
        if (FAILED(hr))
        {
            EXPECT_EQ(nullptr, expanded.get());
            return L"<failed>";
        }
        return expanded.get();
    }

    std::wstring ExpandOk(const std::wstring& script)
    {
        HRESULT hr = E_UNEXPECTED;
        std::wstring text = Expand(script, hr);
        EXPECT_EQ(S_OK, hr) << Narrow(script);
        return text;
    }

    HRESULT ExpandResult(const std::wstring& script)
    {
        HRESULT hr = E_UNEXPECTED;
        Expand(script, hr);
        return hr;
    }

    // Reads every token of `text` until the first failure, which is returned.
    HRESULT ReadTokens(const std::wstring& text, std::vector<std::wstring>& tokens)
    {
        parser.SetCursor(text.c_str());
        for (;;)
        {
            const HRESULT hr = parser.ReadToken(token);
            if (FAILED(hr))
                return hr;
            tokens.push_back(token);
        }
    }

    static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

    CRegObject registrar;
    ScriptParser parser{registrar};
    wchar_t token[kTokenUnits];
};

TEST_F(ScriptTextTest, ReplacementsAndDoubledPercentSigns)
{
    EXPECT_EQ(L"a%b%%", ExpandOk(L"a%%b%%%%"));
    EXPECT_EQ(L"'{1234}' {1234}", ExpandOk(L"'%APPID%' %appid%"));
    // A value is inserted as it is, not expanded again.
    EXPECT_EQ(L"x50%DONE%y", ExpandOk(L"x%PERCENT%y"));
    EXPECT_EQ(L"", ExpandOk(L""));
    EXPECT_EQ(L"HKCR { NoRemove AppID }", ExpandOk(L"HKCR { NoRemove AppID }"));
}

TEST_F(ScriptTextTest, FirstOfEqualNamesWins)
{
    registrar.SetReplacement(L"appid", L"second");
    EXPECT_EQ(L"{1234}", ExpandOk(L"%AppId%"));
    EXPECT_STREQ(L"{1234}", registrar.FindReplacement(L"aPPid"));
    EXPECT_EQ(nullptr, registrar.FindReplacement(L"APPI"));
}

TEST_F(ScriptTextTest, ReplacementNameLimitIsThirtyOneUnits)
{
    const std::wstring name31(31, L'N');
    const std::wstring name32(32, L'N');
    registrar.SetReplacement(name31.c_str(), L"v31");
    registrar.SetReplacement(name32.c_str(), L"v32");
    EXPECT_EQ(L"v31", ExpandOk(L"%" + name31 + L"%"));
    EXPECT_EQ(E_FAIL, ExpandResult(L"%" + name32 + L"%"));
}

TEST_F(ScriptTextTest, ExpansionErrors)
{
    EXPECT_EQ(DISP_E_EXCEPTION, ExpandResult(L"HKCR { %APPID }"));
    EXPECT_EQ(DISP_E_EXCEPTION, ExpandResult(L"trailing %"));
    EXPECT_EQ(DISP_E_EXCEPTION, ExpandResult(L"%Unknown%"));

    std::unique_ptr<wchar_t[]> expanded(new wchar_t[4]);
    EXPECT_EQ(E_POINTER, parser.ExpandScript(nullptr, &expanded));
    EXPECT_EQ(nullptr, expanded.get()) << "the result slot is cleared first";
    EXPECT_EQ(E_POINTER, parser.ExpandScript(L"HKCR {}", nullptr));
}

TEST_F(ScriptTextTest, PerUserRewriteMovesClassesRootUnderCurrentUser)
{
    g_bPerUserRegistration = true;
    EXPECT_EQ(L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses {NoRemove AppID { '{1234}' }\r\n\t}\r\n}\r\n}",
              ExpandOk(L"HKCR {NoRemove AppID { '%APPID%' }}"));
    // Only the short form in exactly this case is rewritten.
    EXPECT_EQ(L"HKLM { a } HKEY_CLASSES_ROOT { b } hkcr { c }",
              ExpandOk(L"HKLM { a } HKEY_CLASSES_ROOT { b } hkcr { c }"));
}

TEST_F(ScriptTextTest, PerUserRewriteReadsQuotesAndTokensAsTheTokenizerDoes)
{
    g_bPerUserRegistration = true;
    const std::wstring opening = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
    const std::wstring closing = L"\r\n\t}\r\n}\r\n";
    // The quoted "}" and the doubled quote do not end the block early.
    EXPECT_EQ(opening + L" { 'a''}' { '}' } " + closing + L"} HKLM { }",
              ExpandOk(L"HKCR { 'a''}' { '}' } } HKLM { }"));
    // Two root blocks under HKCR are both rewritten.
    EXPECT_EQ(opening + L" {" + closing + L"} " + opening + L" {" + closing + L"}", ExpandOk(L"HKCR {} HKCR {}"));
    // An apostrophe inside a bare token quotes nothing.
    EXPECT_EQ(opening + L" { it's { } " + closing + L"} HKLM { a's { } }",
              ExpandOk(L"HKCR { it's { } } HKLM { a's { } }"));
    // After a closing quote a new token starts at once.
    EXPECT_EQ(L"'a'" + opening + L" { " + closing + L"}", ExpandOk(L"'a'HKCR { }"));
    // HKCR that is only part of a token is no root name.
    for (const wchar_t* script : {L"HKCRX { k }", L"HKCR{ k }", L"xHKCR { k }", L"{}HKCR { k }", L"'HKCR' { k }"})
        EXPECT_EQ(script, ExpandOk(script));
}

TEST_F(ScriptTextTest, PerUserRewriteStopsAtTheEndOfTheText)
{
    g_bPerUserRegistration = true;
    EXPECT_EQ(L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses", ExpandOk(L"HKCR"));
}

TEST_F(ScriptTextTest, QuotedAndBareTokens)
{
    std::vector<std::wstring> tokens;
    EXPECT_EQ(DISP_E_EXCEPTION, ReadTokens(L" 'it''s' '' \t\r\nHKCR{ a'b 'x y{}' =", tokens));
    const std::vector<std::wstring> expected = {L"it's", L"", L"HKCR{", L"a'b", L"x y{}", L"="};
    EXPECT_EQ(expected, tokens);

    tokens.clear();
    EXPECT_EQ(DISP_E_EXCEPTION, ReadTokens(L"ok 'open text", tokens));
    EXPECT_EQ(std::vector<std::wstring>{L"ok"}, tokens);
    EXPECT_EQ(DISP_E_EXCEPTION, ReadTokens(L" \t\r\n", tokens));
}

TEST_F(ScriptTextTest, TokenLimitIs4094Characters)
{
    for (const bool bQuoted : {false, true})
    {
        const std::wstring longest(4094, L'x');
        const std::wstring tooLong(4095, L'x');
        const std::wstring q = bQuoted ? L"'" : L"";
        std::vector<std::wstring> tokens;
        EXPECT_EQ(DISP_E_EXCEPTION, ReadTokens(q + longest + q, tokens));
        ASSERT_EQ(1u, tokens.size());
        EXPECT_EQ(longest, tokens[0]);
        tokens.clear();
        EXPECT_EQ(DISP_E_EXCEPTION, ReadTokens(q + tooLong + q, tokens));
        EXPECT_TRUE(tokens.empty());
    }
}

TEST_F(ScriptTextTest, SkipValueClauseReadsTheTokenAfterTheValue)
{
    const std::wstring text = L"= s 'a b' next plain";
    parser.SetCursor(text.c_str());
    ASSERT_EQ(S_OK, parser.ReadToken(token));
    ASSERT_EQ(S_OK, parser.SkipValueClause(token));
    EXPECT_STREQ(L"next", token);
    ASSERT_EQ(S_OK, parser.SkipValueClause(token));
    EXPECT_STREQ(L"next", token) << "no clause: nothing is read";

    const std::wstring cut = L"= s";
    parser.SetCursor(cut.c_str());
    ASSERT_EQ(S_OK, parser.ReadToken(token));
    EXPECT_EQ(DISP_E_EXCEPTION, parser.SkipValueClause(token));
}

TEST_F(ScriptTextTest, RootKeyTable)
{
    const struct { const wchar_t* name; HKEY key; } roots[] = {
        {L"HKCR", HKEY_CLASSES_ROOT}, {L"HKCU", HKEY_CURRENT_USER}, {L"HKLM", HKEY_LOCAL_MACHINE},
        {L"HKU", HKEY_USERS}, {L"HKPD", HKEY_PERFORMANCE_DATA}, {L"HKDD", HKEY_DYN_DATA},
        {L"HKCC", HKEY_CURRENT_CONFIG}, {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKEY_USERS", HKEY_USERS}, {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {L"HKEY_DYN_DATA", HKEY_DYN_DATA}, {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        {L"hkcr", HKEY_CLASSES_ROOT}, {L"hkey_current_config", HKEY_CURRENT_CONFIG}};
    for (const auto& root : roots)
        EXPECT_EQ(root.key, ScriptParser::RootKeyFromName(root.name)) << Narrow(root.name);
    for (const wchar_t* name : {L"", L"HKCR{", L"HKEY_CLASSES", L"HKCRX", L"HK"})
        EXPECT_EQ(nullptr, ScriptParser::RootKeyFromName(name)) << Narrow(name);
}

TEST_F(ScriptTextTest, ValueTypeLetters)
{
    const struct { const wchar_t* letter; ValueKind kind; } types[] = {
        {L"S", ValueKind::Text}, {L"m", ValueKind::TextList}, {L"d", ValueKind::Number}, {L"B", ValueKind::Binary}};
    for (const auto& type : types)
    {
        ValueKind kind = ValueKind::Binary == type.kind ? ValueKind::Text : ValueKind::Binary;
        EXPECT_TRUE(ScriptParser::ParseValueType(type.letter, kind));
        EXPECT_EQ(type.kind, kind);
    }
    ValueKind kind = ValueKind::Text;
    for (const wchar_t* letter : {L"", L"SZ", L"x", L"e"})
        EXPECT_FALSE(ScriptParser::ParseValueType(letter, kind)) << Narrow(letter);
}

TEST_F(ScriptTextTest, TextListSeparatorsAndTermination)
{
    wchar_t list[16];
    ScriptParser::EncodeTextList(L"a\\0b", list);
    EXPECT_EQ(0, memcmp(L"a\0b\0\0", list, 5 * sizeof(wchar_t)));
    ScriptParser::EncodeTextList(L"a\\0\\0b", list);
    EXPECT_EQ(0, memcmp(L"a\0\0b\0\0", list, 6 * sizeof(wchar_t)));
    ScriptParser::EncodeTextList(L"x\\y\\", list);
    EXPECT_EQ(0, memcmp(L"x\\y\\\0\0", list, 6 * sizeof(wchar_t))) << "other backslashes stay";
    ScriptParser::EncodeTextList(L"", list);
    EXPECT_EQ(0, memcmp(L"\0\0", list, 2 * sizeof(wchar_t)));
}

TEST_F(ScriptTextTest, BinaryDigitsAndNumbers)
{
    BYTE bytes[4] = {};
    DWORD count = 99;
    EXPECT_EQ(S_OK, ScriptParser::DecodeBinary(L"0A1b", bytes, count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(0x0A, bytes[0]);
    EXPECT_EQ(0x1B, bytes[1]);
    EXPECT_EQ(S_OK, ScriptParser::DecodeBinary(L"G1", bytes, count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(0x01, bytes[0]);
    EXPECT_EQ(S_OK, ScriptParser::DecodeBinary(L"", bytes, count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(E_FAIL, ScriptParser::DecodeBinary(L"abc", bytes, count));
    EXPECT_EQ(15, ScriptParser::HexDigitValue(L'f'));
    EXPECT_EQ(0, ScriptParser::HexDigitValue(L'g'));

    DWORD number = 0;
    EXPECT_EQ(S_OK, ScriptParser::ConvertNumber(L"4294967295", number));
    EXPECT_EQ(0xFFFFFFFFu, number);
    number = 7;
    EXPECT_TRUE(FAILED(ScriptParser::ConvertNumber(L"twelve", number)));
    EXPECT_EQ(7u, number) << "a failed conversion leaves the number alone";
}

TEST(RegObjectTest, MissingNameOrValueIsRefused)
{
    CRegObject registrar;
    EXPECT_EQ(E_INVALIDARG, registrar.SetReplacement(nullptr, L"v"));
    EXPECT_EQ(E_INVALIDARG, registrar.SetReplacement(L"n", nullptr));
    EXPECT_EQ(0, registrar.ReplacementCount());
}

TEST(EscapeQuotesTest, DoublesQuotesWithinCapacity)
{
    wchar_t text[8];
    text[0] = L'#';
    EscapeQuotes(text, 0, L"abc");
    EXPECT_EQ(L'#', text[0]) << "capacity 0 writes nothing";
    EscapeQuotes(text, 8, L"a'b'c");
    EXPECT_STREQ(L"a''b''c", text);
    EscapeQuotes(text, 4, L"abcdef");
    EXPECT_STREQ(L"abc", text);
    EscapeQuotes(text, 4, L"ab'c");
    EXPECT_STREQ(L"ab'", text) << "the second quote only where it fits";
}

}  // namespace
