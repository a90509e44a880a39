// A failure's text: the letter's words, the system's own message for the
// error and the code.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/Result.h"
#include "base/Text.h"

namespace {

// The system's message as FormatMessage gives it, line break included.
std::wstring RawSystemText(DWORD code)
{
    wchar_t text[512] = L"";
    const DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                       text, ARRAYSIZE(text), nullptr);
    return std::wstring(text, units);
}

// System messages end in ".\r\n": the full stop stays, the line break goes.
TEST(DescribeError, WordsThenTheSystemsMessageThenTheCode)
{
    const std::wstring text = DescribeError(L"Could not start service", HResultFromError(ERROR_DUPLICATE_SERVICE_NAME));
    const std::wstring prefix = L"Could not start service: ";
    const std::wstring suffix = L" (0x80070436)";
    ASSERT_EQ(0u, text.find(prefix));
    ASSERT_GT(text.size(), prefix.size() + suffix.size());
    EXPECT_EQ(suffix, text.substr(text.size() - suffix.size()));
    const std::wstring message = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    EXPECT_EQ(RawSystemText(ERROR_DUPLICATE_SERVICE_NAME), message + L"\r\n");
    EXPECT_EQ(L'.', message.back());
}

// The system's message without the line break that ends it.
std::wstring SystemMessage(DWORD code)
{
    std::wstring text = RawSystemText(code);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text;
}

// A trace line's words end in their own full stop: a blank follows it. An
// HRESULT that is no Windows error is looked up as it is; a code the system
// has no message for gets the code alone.
TEST(DescribeError, TraceWordsUnknownCodesAndOtherFacilities)
{
    EXPECT_EQ(L"==> RegisterAppId: end_fail-3. " + SystemMessage(ERROR_ACCESS_DENIED) + L" (0x80070005)",
              DescribeError(L"==> RegisterAppId: end_fail-3.", E_ACCESSDENIED));
    EXPECT_EQ(L"Failed (0xA0001234)", DescribeError(L"Failed", static_cast<HRESULT>(0xA0001234)));
    const std::wstring unspecified = SystemMessage(static_cast<DWORD>(E_FAIL));
    EXPECT_EQ(unspecified.empty() ? L"Failed (0x80004005)" : L"Failed: " + unspecified + L" (0x80004005)",
              DescribeError(L"Failed", E_FAIL));
}

}  // namespace
