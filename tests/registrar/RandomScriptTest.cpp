// Many generated scripts, valid and damaged, through the expansion and the
// walk in both directions, with every predefined root redirected into a
// scratch key. Shows: no crash or hang, a defined result for every input,
// valid scripts round-trip to nothing, and the real registry is unchanged.
#include <gtest/gtest.h>

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
        switch (Pick(8))
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
        default:
        {
            std::wstring nest;
            const int levels = Chance(50) ? 600 : 20;
            for (int i = 0; i < levels; ++i)
                nest += L" n {";
            text.insert(at, nest);
            break;
        }
        }
    }

    std::mt19937 m_random;
};

// A digest of the real registry outside the scratch key: key paths, value
// names, types and data.
struct RegistryDigest
{
    unsigned long long hash = 1469598103934665603ull;
    unsigned keys = 0;
    unsigned values = 0;

    void Add(const void* data, size_t bytes)
    {
        for (size_t i = 0; i < bytes; ++i)
        {
            hash ^= static_cast<const BYTE*>(data)[i];
            hash *= 1099511628211ull;
        }
    }
    bool operator==(const RegistryDigest& other) const
    {
        return hash == other.hash && keys == other.keys && values == other.values;
    }
};

void DigestKey(HKEY key, const std::wstring& path, RegistryDigest& digest)
{
    if (path.find(L"ZeltRegistrarTests") != std::wstring::npos)
        return;
    ++digest.keys;
    digest.Add(path.data(), path.size() * sizeof(wchar_t));
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[16384];
        DWORD nameUnits = 16384;
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>(data.size());
        const LONG error = RegEnumValueW(key, i, name, &nameUnits, nullptr, &type, data.data(), &bytes);
        if (error == ERROR_MORE_DATA)
        {
            data.resize(bytes + 2);
            --i;
            continue;
        }
        if (error != ERROR_SUCCESS)
            break;
        ++digest.values;
        digest.Add(name, nameUnits * sizeof(wchar_t));
        digest.Add(&type, sizeof(type));
        digest.Add(data.data(), bytes);
    }
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD nameUnits = 256;
        if (RegEnumKeyExW(key, i, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS)
            continue;
        DigestKey(child, path + L"\\" + name, digest);
        RegCloseKey(child);
    }
}

RegistryDigest DigestRealRegistry()
{
    RegistryDigest digest;
    DigestKey(HKEY_LOCAL_MACHINE, L"HKLM", digest);
    DigestKey(HKEY_USERS, L"HKU", digest);
    DigestKey(HKEY_CURRENT_USER, L"HKCU", digest);
    return digest;
}

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

    void RedirectAllRoots()
    {
        for (const auto& root : kRoots)
            scratch->RedirectRoot(root.key, root.name);
    }

    bool ScratchIsEmpty()
    {
        for (const auto& root : kRoots)
        {
            if (scratch->CountSubkeys(root.name) != 0 || scratch->CountValues(root.name) != 0)
                return false;
        }
        return true;
    }

    void ClearScratch()
    {
        for (const auto& root : kRoots)
            scratch->ClearPath(root.name);
    }

    HRESULT Walk(const std::wstring& script, bool bRegister)
    {
        ScriptParser parser(registrar);
        const HRESULT hr = parser.ApplyScript(script.c_str(), bRegister);
        ++results[hr];
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

    std::unique_ptr<CScratchRegistry> scratch;
    CRegObject registrar;
    std::map<HRESULT, unsigned> results;
    std::vector<std::string> findings;
    unsigned findingCount = 0;
};

TEST_F(RandomScriptTest, GeneratedScriptsGiveDefinedResultsAndWriteOnlyTheScratchKey)
{
    const unsigned seed = ReadSetting("ZELT_RANDOM_SEED", 20261208);
    const unsigned validCount = ReadSetting("ZELT_RANDOM_VALID", 1000);
    const unsigned damagedCount = ReadSetting("ZELT_RANDOM_DAMAGED", 4000);
    registrar.SetReplacement(L"APPID", L"{B3F0C6A2-8E41-4D57-9A2C-61E5D7F4A913}");
    registrar.SetReplacement(L"Quote", L"it's 100%");
    CScriptGenerator generator(seed);

    const RegistryDigest before = DigestRealRegistry();
    unsigned roundTrips = 0;
    scratch = std::make_unique<CScratchRegistry>();
    RedirectAllRoots();
    for (unsigned i = 0; i < validCount; ++i)
    {
        g_bPerUserRegistration = generator.Chance(30);
        const std::wstring script = generator.Script(true);
        CheckExpansion(script);
        const HRESULT hr = Walk(script, true);
        if (hr != S_OK)
            Find("valid script failed to register (" + std::to_string(hr) + ")", script);
        if (Walk(script, false) != S_OK)
            Find("valid script failed to unregister", script);
        if (hr == S_OK && ScratchIsEmpty())
            ++roundTrips;
        else if (hr == S_OK)
            Find("register then unregister left entries", script);
        ClearScratch();
    }
    for (unsigned i = 0; i < damagedCount; ++i)
    {
        g_bPerUserRegistration = generator.Chance(30);
        const std::wstring script = generator.Mutate(generator.Script(generator.Chance(50)));
        CheckExpansion(script);
        Walk(script, true);
        Walk(script, false);
        ClearScratch();
    }
    scratch.reset();
    const RegistryDigest after = DigestRealRegistry();

    std::printf("random scripts: seed %u, %u valid (%u round trips to nothing), %u damaged, %u walks\n", seed,
                validCount, roundTrips, damagedCount, 2 * (validCount + damagedCount));
    for (const auto& result : results)
        std::printf("  result 0x%08lX: %u\n", static_cast<unsigned long>(result.first), result.second);
    std::printf("  real registry: %u keys, %u values, unchanged: %s; findings: %u\n", after.keys, after.values,
                before == after ? "yes" : "NO", findingCount);
    for (const std::string& finding : findings)
        std::printf("  finding: %s\n", finding.c_str());
    EXPECT_TRUE(before == after) << "the real registry changed";
    EXPECT_EQ(0u, findingCount);
    EXPECT_EQ(validCount, roundTrips);
}

}  // namespace
