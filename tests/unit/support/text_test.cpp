#include <gtest/gtest.h>

#include <cwchar>

#include "support/text.h"

namespace {

std::wstring Trimmed(std::wstring s) {
    std::vector<wchar_t> buffer(s.begin(), s.end());
    buffer.push_back(0);
    trim_inplace(buffer.data());
    return buffer.data();
}

}  // namespace

TEST(TrimInPlace, RemovesWhiteSpaceAtBothEndsAndKeepsInnerSpaces) {
    EXPECT_EQ(Trimmed(L" \t Name  with  spaces \r"), L"Name  with  spaces");
    EXPECT_EQ(Trimmed(L"\r\n\v\f x \n"), L"x");
    EXPECT_EQ(Trimmed(L"untouched"), L"untouched");
}

TEST(TrimInPlace, WhiteSpaceOnlyEmptyAndNull) {
    EXPECT_EQ(Trimmed(L"    "), L"");
    EXPECT_EQ(Trimmed(L""), L"");
    trim_inplace(nullptr);  // must not crash
    wchar_t buffer[8] = L"  ab";
    trim_inplace(buffer);
    EXPECT_EQ(std::wstring(buffer), L"ab");
    EXPECT_EQ(buffer[2], 0) << "the rest of the buffer is cut right after the kept text";
}

TEST(ConvertToLangId, ReadsHexadecimalTheWayWcstoulDoes) {
    EXPECT_EQ(convertToLangID(L"409"), 0x0409);
    EXPECT_EQ(convertToLangID(L"0x0409"), 0x0409);
    EXPECT_EQ(convertToLangID(L"  0x42D  "), 0x042D);
    EXPECT_EQ(convertToLangID(L"c0a"), 0x0C0A);
    EXPECT_EQ(convertToLangID(L"0C0A"), 0x0C0A);
    EXPECT_EQ(convertToLangID(L"409 English"), 0x0409);
}

TEST(ConvertToLangId, UnparsableTextGivesZero) {
    EXPECT_EQ(convertToLangID(L""), 0);
    EXPECT_EQ(convertToLangID(L"xyz"), 0);
    EXPECT_EQ(convertToLangID(L"ghij"), 0);
    EXPECT_EQ(convertToLangID(nullptr), 0);
}

TEST(ConvertToLangId, KeepsTheLowSixteenBitsOfA32BitValue) {
    EXPECT_EQ(convertToLangID(L"12345"), 0x2345);
    // Beyond 32 bits wcstoul saturates to 0xFFFFFFFF, on Linux too.
    EXPECT_EQ(convertToLangID(L"123456789"), 0xFFFF);
    EXPECT_EQ(convertToLangID(L"-1"), 0xFFFF);
    EXPECT_EQ(convertToLangID(L"-10"), 0xFFF0);
}

TEST(WideToUtf8, ConvertsEveryCharacterToItsUtf8Bytes) {
    EXPECT_EQ(WideToUtf8(L""), "");
    EXPECT_EQ(WideToUtf8(L"abc"), "abc");
    EXPECT_EQ(WideToUtf8(L"arranc\u00f3"), "arranc\xc3\xb3");
    EXPECT_EQ(WideToUtf8(L"\u2026"), "\xe2\x80\xa6");
    EXPECT_EQ(WideToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80") << "a surrogate pair is one four-byte sequence";
}

TEST(WideToUtf8, EmbeddedNulAndUnpairedSurrogate) {
    const std::wstring withNul(L"a\0b", 3);
    EXPECT_EQ(WideToUtf8(withNul), std::string("a\0b", 3));
    std::wstring lone = L"x";
    lone += static_cast<wchar_t>(0xD800);
    lone += L"y";
    EXPECT_EQ(WideToUtf8(lone), "x\xef\xbf\xbdy");
}

TEST(Utf8ToWide, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(Utf8ToWide("Jos\xc3\xa9"), L"Jos\u00e9");
    EXPECT_EQ(Utf8ToWide("a\xff" "b"), L"a\uFFFDb");
    EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(EqualsIgnoringCase, OnlyAsciiLettersMatchAcrossCase) {
    EXPECT_TRUE(EqualsIgnoringCase(L"/UnInstall", L"/uninstall"));
    EXPECT_TRUE(EqualsIgnoringCase(L"TOKENKEYNAME", L"TokenKeyName"));
    EXPECT_FALSE(EqualsIgnoringCase(L"\u00c9", L"\u00e9"));
    EXPECT_FALSE(EqualsIgnoringCase(L"/uninstal", L"/uninstall"));
}

TEST(ShownText, ControlAndBidiCharactersAreEscapedAtTheirBoundsAndNothingElse) {
    const struct {
        std::wstring text, shown;
    } cases[] = {
        {std::wstring(L"a\0b", 3), L"a\\x00b"},
        {L"\x1b[31mred\r\n\t", L"\\x1B[31mred\\x0D\\x0A\\x09"},
        {L"\x1f\x20\x7e\x7f", L"\\x1F ~\\x7F"},
        {L"\x9f\xa0", L"\\x9F\xa0"},
        {L"\u2029\u202a\u202e\u202f", L"\u2029\\u202A\\u202E\u202f"},
        {L"\u2065\u2066\u2069\u206a", L"\u2065\\u2066\\u2069\u206a"},
        {L"\\x1B stays \u00f3\u4e2d", L"\\x1B stays \u00f3\u4e2d"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(ShownText(c.text), c.shown) << WideToUtf8(c.text);
}
