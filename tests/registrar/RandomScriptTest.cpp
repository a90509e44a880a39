// Generated scripts through the expansion and the walk, with every
// predefined root redirected into a scratch key. Valid scripts register and
// unregister to nothing; damaged scripts registered over what valid ones
// wrote either succeed or, failing, leave the scratch roots byte for byte
// as they found them. Every result is one the walk may give.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ScratchRegistry.h"
#include "registrar/PerUserFlag.h"
#include "registrar/RegObject.h"
#include "registrar/ScriptParser.h"

namespace {

const struct { HKEY key; const wchar_t* name; } kRoots[] = {
    {HKEY_CLASSES_ROOT, L"HKCR"}, {HKEY_CURRENT_USER, L"HKCU"},       {HKEY_LOCAL_MACHINE, L"HKLM"},
    {HKEY_USERS, L"HKU"},         {HKEY_PERFORMANCE_DATA, L"HKPD"},  {HKEY_CURRENT_CONFIG, L"HKCC"},
    {HKEY_DYN_DATA, L"HKDD"},
};

// Every root name. The performance-data root holds no keys (Wine answers
// ERROR_INVALID_HANDLE), so valid scripts use only the names after it.
const wchar_t* const kRootNames[] = {
    L"HKPD", L"HKEY_PERFORMANCE_DATA", L"HKCR", L"HKCU", L"HKLM", L"HKU", L"HKDD", L"HKCC", L"HKEY_CLASSES_ROOT",
    L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE", L"HKEY_USERS", L"HKEY_DYN_DATA", L"HKEY_CURRENT_CONFIG", L"hkcr"};
constexpr int kRootNameCount = sizeof(kRootNames) / sizeof(kRootNames[0]);
constexpr int kKeyRootNames = 2;

const wchar_t* const kPlainNames[] = {L"Alpha", L"Beta", L"Gamma", L"AppID", L"CLSID", L"Software", L"Classes",
                                      L"Zelt.EXE", L"x", L"{B3F0C6A2-8E41-4D57-9A2C-61E5D7F4A913}"};

// Units that random names and damage are made of: separators, quotes,
// braces, percent signs, a combining mark, a surrogate pair's halves.
const wchar_t kOddUnits[] = L"'{}%= \t\r\n\\0aZ\x00e9\x0301\xd83d\xde00";

class CScriptGenerator
{
public:
    explicit CScriptGenerator(unsigned seed) : m_random(seed) {}

    int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(m_random); }
    bool Chance(int percent) { return Pick(100) < percent; }

    // A script of the language. Clean scripts carry no NoRemove, so that
    // register then unregister must leave nothing behind.
    std::wstring Script(bool bClean)
    {
        std::wstring text;
        const int roots = 1 + Pick(3);
        for (int i = 0; i < roots; ++i)
        {
            text += bClean ? kRootNames[kKeyRootNames + Pick(kRootNameCount - kKeyRootNames)]
                           : kRootNames[Pick(kRootNameCount)];
            text += Blank() + L"{";
            Body(text, 1, bClean);
            text += Blank() + L"}" + Blank();
        }
        return text;
    }

    std::wstring Mutate(std::wstring text)
    {
        const int steps = 1 + Pick(3);
        for (int i = 0; i < steps; ++i)
            MutateOnce(text);
        return text;
    }

private:
    std::wstring Blank()
    {
        static const wchar_t* const blanks[] = {L" ", L"\r\n", L"\t", L"\r\n\t\t", L"  "};
        return blanks[Pick(5)];
    }

    static std::wstring Quote(const std::wstring& text)
    {
        std::wstring quoted = L"'";
        for (wchar_t unit : text)
        {
            quoted += unit;
            if (unit == L'\'')
                quoted += L'\'';
        }
        return quoted + L"'";
    }

    // A literal percent sign is written twice in a script.
    static std::wstring EscapePercent(const std::wstring& text)
    {
        std::wstring escaped;
        for (wchar_t unit : text)
        {
            escaped += unit;
            if (unit == L'%')
                escaped += L'%';
        }
        return escaped;
    }

    std::wstring RandomText(int maxUnits)
    {
        std::wstring text;
        const int units = Pick(maxUnits + 1);
        for (int i = 0; i < units; ++i)
        {
            if (Chance(60))
                text += static_cast<wchar_t>(L'a' + Pick(26));
            else if (Chance(50))
                text += L"\xd83d\xde00";  // a whole surrogate pair
            else
                text += kOddUnits[Pick(sizeof(kOddUnits) / sizeof(wchar_t) - 1)];
        }
        return text;
    }

    // A key name: never empty, no backslash, no keyword, not a block brace.
    std::wstring KeyName()
    {
        if (Chance(50))
        {
            std::wstring name = kPlainNames[Pick(sizeof(kPlainNames) / sizeof(kPlainNames[0]))];
            if (Chance(20))
                CharLowerW(&name[0]);  // the registry matches names ignoring case
            return Chance(70) ? name : Quote(name);
        }
        if (Chance(10))
            return L"'%APPID%'";
        std::wstring name;
        for (wchar_t unit : RandomText(12))
        {
            if (unit != L'\\')
                name += unit;
        }
        if (name.empty() || name[0] == L'}' || name[0] == L'=' || name == L"{" || IsKeyword(name))
            name = L"k" + name;
        return EscapePercent(Quote(name));
    }

    static bool IsKeyword(const std::wstring& name)
    {
        for (const wchar_t* keyword : {L"val", L"NoRemove", L"ForceRemove", L"Delete"})
        {
            if (IsSameName(name.c_str(), keyword))
                return true;
        }
        return false;
    }

    std::wstring ValueClause()
    {
        std::wstring clause = L"=" + Blank();
        switch (Pick(4))
        {
        case 0:
            return clause + (Chance(50) ? L"s" : L"S") + Blank() + EscapePercent(Quote(RandomText(20)));
        case 1:
            return clause + L"m" + Blank() + Quote(L"one\\0two" + (Chance(50) ? std::wstring(L"\\0\\0x") : L""));
        case 2:
            return clause + L"d" + Blank() + std::to_wstring(m_random());
        default:
        {
            std::wstring digits;
            const int bytes = Pick(8);
            for (int i = 0; i < bytes * 2; ++i)
                digits += L"0123456789abcdefABCDEF"[Pick(22)];
            return clause + L"b" + Blank() + (digits.empty() ? L"''" : digits);
        }
        }
    }

    void Body(std::wstring& text, int depth, bool bClean)
    {
        const int entries = Pick(depth > 3 ? 2 : 5);
        for (int i = 0; i < entries; ++i)
        {
            text += Blank();
            if (Chance(20))
            {
                if (!bClean && Chance(30))
                    text += L"NoRemove ";
                text += L"val " + (Chance(20) ? std::wstring(L"''") : EscapePercent(Quote(RandomText(10)))) +
                        Blank() + ValueClause();
                continue;
            }
            if (Chance(10))
            {
                text += L"Delete " + KeyName() + (Chance(30) ? Blank() + ValueClause() : L"");
                continue;
            }
            if (Chance(10))
                text += L"ForceRemove ";
            if (!bClean && Chance(20))
                text += L"NoRemove ";
            text += KeyName();
            if (Chance(30))
                text += Blank() + ValueClause();
            if (Chance(60))
            {
                text += Blank() + L"{";
                Body(text, depth + 1, bClean);
                text += Blank() + L"}";
            }
        }
    }

    void MutateOnce(std::wstring& text)
    {
        const size_t at = text.empty() ? 0 : static_cast<size_t>(Pick(static_cast<int>(text.size()) + 1));
        switch (Pick(9))
        {
        case 0:
            text.resize(at);
            break;
        case 1:
            text.insert(at, 1, L"'{}%=\\"[Pick(6)]);
            break;
        case 2:
            text.erase(at, 1 + Pick(20));
            break;
        case 3:
            text.insert(at, text.substr(at, Pick(40)));
            break;
        case 4:
        {
            static const int lengths[] = {4093, 4094, 4095, 4096, 9000};
            const std::wstring token(lengths[Pick(5)], L'L');
            text.insert(at, Chance(50) ? L" " + token + L" " : L" '" + token + L"' ");
            break;
        }
        case 5:
            if (!text.empty())
                text[at % text.size()] = kOddUnits[Pick(sizeof(kOddUnits) / sizeof(wchar_t) - 1)];
            break;
        case 6:
        {
            static const wchar_t* const markers[] = {L"%APPID%", L"%unknown%", L"%", L"%%",
                                                     L"%ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456%", L"%Quote%"};
            text.insert(at, markers[Pick(6)]);
            break;
        }
        case 7:
            // Names that differ from the registered ones only in case.
            if (at < text.size())
                CharUpperBuffW(&text[at], static_cast<DWORD>(std::min<size_t>(40, text.size() - at)));
            break;
        default:
        {
            std::wstring nest;
            const int levels = Chance(10) ? 600 : 20;
            for (int i = 0; i < levels; ++i)
                nest += L" n {";
            text.insert(at, nest);
            break;
        }
        }
    }

    std::mt19937 m_random;
};

// Results the expansion and the walk may give: their own codes, the number
// conversion's, and Windows errors of the registry.
bool IsDefinedResult(HRESULT hr)
{
    return hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL || hr == DISP_E_TYPEMISMATCH ||
           hr == DISP_E_OVERFLOW || (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32);
}

std::string Describe(const std::wstring& script)
{
    std::string text;
    for (wchar_t unit : script.substr(0, 200))
        text += unit >= 32 && unit < 127 ? static_cast<char>(unit) : '?';
    return text;
}

unsigned ReadSetting(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

class RandomScriptTest : public ::testing::Test
{
protected:
    void TearDown() override { g_bPerUserRegistration = false; }

    // Each root must land in the scratch key, or the walks would write the
    // real registry. The performance-data root cannot hold values.
    void RedirectAllRoots()
    {
        for (const auto& root : kRoots)
        {
            scratch.RedirectRoot(root.key, root.name);
            if (root.key == HKEY_PERFORMANCE_DATA)
                continue;
            const wchar_t probe[] = L"probe";
            ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(root.key, L"ZeltProbe", 0, REG_SZ,
                                                    reinterpret_cast<const BYTE*>(probe), sizeof(probe)));
            EXPECT_EQ(L"probe", scratch.ReadText(root.name, L"ZeltProbe")) << "redirected";
            RegDeleteValueW(root.key, L"ZeltProbe");
        }
    }

    void ClearScratch()
    {
        for (const auto& root : kRoots)
            scratch.ClearPath(root.name);
    }

    HRESULT Walk(const std::wstring& script, bool bRegister)
    {
        ScriptParser parser(registrar);
        const HRESULT hr = parser.ApplyScript(script.c_str(), bRegister);
        ++results[hr];
        ++walks;
        if (!IsDefinedResult(hr))
            Find("undefined result " + std::to_string(hr), script);
        return hr;
    }

    // Without the per-user flag and without percent signs, expansion copies.
    void CheckExpansion(const std::wstring& script)
    {
        if (g_bPerUserRegistration || script.find(L'%') != std::wstring::npos)
            return;
        ScriptParser parser(registrar);
        std::unique_ptr<wchar_t[]> expanded;
        if (parser.ExpandScript(script.c_str(), &expanded) != S_OK || script.compare(expanded.get()) != 0)
            Find("expansion changed a script without replacements", script);
    }

    void Find(const std::string& what, const std::wstring& script)
    {
        if (findings.size() < 20)
            findings.push_back(what + ": " + Describe(script));
        ++findingCount;
    }

    // A valid script registered and unregistered leaves nothing.
    bool RoundTrip(CScriptGenerator& generator)
    {
        g_bPerUserRegistration = generator.Chance(30);
        const std::wstring script = generator.Script(true);
        CheckExpansion(script);
        const HRESULT hr = Walk(script, true);
        if (hr != S_OK)
            Find("valid script failed to register (" + std::to_string(hr) + ")", script);
        if (Walk(script, false) != S_OK)
            Find("valid script failed to unregister", script);
        const bool bEmpty = scratch.Snapshot() == empty;
        if (hr == S_OK && !bEmpty)
            Find("register then unregister left entries", script);
        if (!bEmpty)
            ClearScratch();
        return hr == S_OK && bEmpty;
    }

    // A damaged script registered over what a valid one wrote: the damaged
    // copy of that script or of another. True when it failed; a failure
    // must leave the scratch roots exactly as they were.
    bool RegisterDamaged(CScriptGenerator& generator)
    {
        g_bPerUserRegistration = generator.Chance(30);
        const std::wstring existing = generator.Script(true);
        if (Walk(existing, true) != S_OK)
            Find("valid script failed to register", existing);
        const std::vector<std::wstring> before = scratch.Snapshot();
        g_bPerUserRegistration = generator.Chance(30);
        const std::wstring script =
            generator.Mutate(generator.Chance(50) ? existing : generator.Script(generator.Chance(50)));
        CheckExpansion(script);
        const bool bFailed = FAILED(Walk(script, true));
        if (bFailed && scratch.Snapshot() != before)
            Find("a failed registration changed the registry", script);
        ClearScratch();
        return bFailed;
    }

    CScratchRegistry scratch;
    std::vector<std::wstring> empty;  // the snapshot of the empty scratch roots
    CRegObject registrar;
    std::map<HRESULT, unsigned> results;
    unsigned walks = 0;
    std::vector<std::string> findings;
    unsigned findingCount = 0;
};

TEST_F(RandomScriptTest, RoundTripsAndFailedRegistrationsLeaveTheScratchRootsAsTheyWere)
{
    const unsigned seed = ReadSetting("ZELT_RANDOM_SEED", 20261208);
    const unsigned validCount = ReadSetting("ZELT_RANDOM_VALID", 250);
    const unsigned damagedCount = ReadSetting("ZELT_RANDOM_DAMAGED", 400);
    registrar.SetReplacement(L"APPID", L"{B3F0C6A2-8E41-4D57-9A2C-61E5D7F4A913}");
    registrar.SetReplacement(L"Quote", L"it's 100%");
    CScriptGenerator generator(seed);
    RedirectAllRoots();
    empty = scratch.Snapshot();
    const auto start = std::chrono::steady_clock::now();

    unsigned roundTrips = 0;
    for (unsigned i = 0; i < validCount; ++i)
        roundTrips += RoundTrip(generator) ? 1 : 0;
    unsigned failed = 0;
    for (unsigned i = 0; i < damagedCount; ++i)
        failed += RegisterDamaged(generator) ? 1 : 0;

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string codes;
    for (const auto& result : results)
    {
        char code[40];
        std::snprintf(code, sizeof(code), " 0x%08lX:%u", static_cast<unsigned long>(result.first), result.second);
        codes += code;
    }
    std::printf("[ figure ] random scripts: seed %u; %u valid, %u round trips to nothing; %u damaged registered "
                "over valid ones, %u failed and left the registry as it was (findings %u), %u succeeded; "
                "%u walks in %.1f s; results%s\n",
                seed, validCount, roundTrips, damagedCount, failed, findingCount, damagedCount - failed, walks,
                seconds, codes.c_str());
    for (const std::string& finding : findings)
        std::printf("  finding: %s\n", finding.c_str());
    EXPECT_EQ(0u, findingCount);
    EXPECT_EQ(validCount, roundTrips);
}

}  // namespace
