#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/testing.h"

namespace {
bool StartsWith(const std::wstring& text, const std::wstring& start) { return text.compare(0, start.size(), start) == 0; }
}  // namespace

// Every code reads as its number and the system's words for it.
TEST(Errors, Win32CodesCarryTheSystemsText) {
    for (std::uint32_t code : {plat::kErrorFileNotFound, plat::kErrorPathNotFound, plat::kErrorAccessDenied,
                               plat::kErrorSharingViolation, plat::kErrorInvalidParameter, plat::kErrorNoMoreItems}) {
        const std::wstring text = plat::ErrorText(code);
        const std::wstring number = std::to_wstring(code) + L": ";
        EXPECT_TRUE(StartsWith(text, number)) << code;
        EXPECT_GT(text.size(), number.size() + 4) << code;
        EXPECT_EQ(text.find(L"no message text"), std::wstring::npos) << code;
        EXPECT_NE(text.back(), L'\n') << code;
    }
    EXPECT_NE(plat::ErrorText(plat::kErrorFileNotFound), plat::ErrorText(plat::kErrorAccessDenied));
}

// WinHTTP's codes: winhttp.dll's words on Windows; Wine's winhttp.dll has no
// message table (FormatMessageW answers 1813, measured), so there, as on the
// stand-in, the program's own wording stands in.
TEST(Errors, WinHttpCodesCarryWinHttpsText) {
    EXPECT_EQ(plat::ErrorText(12029), L"12029: A connection with the server could not be established");
    EXPECT_EQ(plat::ErrorText(12007), L"12007: The server name or address could not be resolved");
    EXPECT_EQ(plat::ErrorText(12002), L"12002: The operation timed out");
    EXPECT_EQ(plat::ErrorText(12175), L"12175: A security error occurred");
}

TEST(Errors, HResultsReadInHexadecimalWithTheirText) {
    const std::wstring notImplemented = plat::HResultText(plat::kENotImpl);
    EXPECT_TRUE(StartsWith(notImplemented, L"0x80004001: ")) << notImplemented.size();
    EXPECT_GT(notImplemented.size(), 14u);
    // A Win32 code in an HRESULT reads as the code does.
    const std::wstring denied = plat::HResultText(plat::HResultFromWin32(plat::kErrorAccessDenied));
    EXPECT_EQ(denied.substr(0, 12), L"0x80070005: ");
    EXPECT_EQ(denied.substr(12), plat::ErrorText(plat::kErrorAccessDenied).substr(3));
    EXPECT_EQ(plat::HResultText(plat::HResultFromWin32(12029)),
              L"0x80072EFD: A connection with the server could not be established");
}

TEST(Errors, ACodeWithoutTextSaysSo) {
    EXPECT_EQ(plat::ErrorText(1234567), L"1234567: no message text for this code");
    EXPECT_EQ(plat::ErrorText(12999), L"12999: no message text for this code");
    EXPECT_EQ(plat::HResultText(static_cast<plat::HResult>(0x8004503Au)), L"0x8004503A: no message text for this code");
}
