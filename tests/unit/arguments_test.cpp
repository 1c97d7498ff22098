#include <gtest/gtest.h>

#include "driver/arguments.h"
#include "platform/environment.h"

namespace {
CatalogueOptions Parse(std::vector<const wchar_t*> args) {
    return ParseCatalogueOptions(static_cast<int>(args.size()), args.data());
}
}  // namespace

TEST(Arguments, UninstallInAnyLetterCase) {
    EXPECT_TRUE(IsUninstallArgument(L"/uninstall"));
    EXPECT_TRUE(IsUninstallArgument(L"/UnInstall"));
    EXPECT_TRUE(IsUninstallArgument(L"--UNREGISTER-ALL"));
    EXPECT_FALSE(IsUninstallArgument(L"/uninstall2"));
    EXPECT_FALSE(IsUninstallArgument(L"uninstall"));
    EXPECT_TRUE(IsSearchVoicesArgument(L"/SearchVoices"));
    EXPECT_FALSE(IsSearchVoicesArgument(L"/searchvoice"));
}

TEST(Arguments, HelpAndVersionInAnyLetterCase) {
    const struct {
        const wchar_t* argument;
        bool help, version;
    } cases[] = {{L"/?", true, false},        {L"-h", true, false},         {L"-H", true, false},
                 {L"--help", true, false},    {L"--HeLp", true, false},     {L"--version", false, true},
                 {L"--VERSION", false, true}, {L"/help", false, false},     {L"-?", false, false},
                 {L"--help=x", false, false}, {L"-version", false, false},  {L"/uninstall", false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(IsHelpArgument(c.argument), c.help) << std::wstring(c.argument).size();
        EXPECT_EQ(IsVersionArgument(c.argument), c.version) << std::wstring(c.argument).size();
    }
}

TEST(Arguments, UsageNamesTheModesTheExitCodesAndTheLog) {
    const std::wstring usage = UsageText(L"9.8.7");
    for (const wchar_t* part : {L"Pendrel 9.8.7", L"/uninstall", L"--unregister-all", L"/searchvoices", L"/username=",
                                L"/password=", L"/out=", L"--version", L"Exit codes", L"log_zunsapi.txt"})
        EXPECT_NE(usage.find(part), std::wstring::npos) << std::wstring(part).size();
    EXPECT_EQ(usage.back(), L'\n');
}

TEST(Arguments, VerifyInAnyLetterCase) {
    for (const wchar_t* yes : {L"/verify", L"/VERIFY", L"--verify", L"--Verify"}) EXPECT_TRUE(IsVerifyArgument(yes)) << yes;
    for (const wchar_t* no : {L"verify", L"-verify", L"/verify2", L"--verify=1", L""}) EXPECT_FALSE(IsVerifyArgument(no)) << no;
}

TEST(Arguments, PasswordValueIsNeverShown) {
    EXPECT_EQ(ShowableArgument(L"/password=secret"), L"/password=********");
    EXPECT_EQ(ShowableArgument(L"/PASSWORD=a=b"), L"/PASSWORD=********");
    EXPECT_EQ(ShowableArgument(L"/password="), L"/password=");
    EXPECT_EQ(ShowableArgument(L"/username=ana"), L"/username=ana");
    EXPECT_EQ(ShowableArgument(L"/pass=x"), L"/pass=x");
}

TEST(CatalogueOptions, DefaultsWhenNothingIsGiven) {
    const auto o = Parse({L"pendrel", L"/searchvoices"});
    EXPECT_EQ(o.username, L"");
    EXPECT_EQ(o.password, L"");
    EXPECT_EQ(o.outPath, L"%TEMP%\\quelto_voices.json");
}

TEST(CatalogueOptions, ExactCasePrefixesAndTheLastOccurrenceWins) {
    const auto o = Parse({L"pendrel", L"/searchvoices", L"/USERNAME=upper", L"/username=ana", L"/password=p=q",
                          L"/uninstall", L"/username=eva", L"/out="});
    EXPECT_EQ(o.username, L"eva");
    EXPECT_EQ(o.password, L"p=q") << "everything after the ten prefix characters";
    EXPECT_EQ(o.outPath, L"");
}

TEST(CatalogueOptions, OutputPathExpansion) {
    plat::SetEnvironmentVariable(L"PENDREL_OUT", L"C:\\out");
    EXPECT_EQ(ExpandOutputPath(L"%PENDREL_OUT%\\v.json"), L"C:\\out\\v.json");
    EXPECT_EQ(ExpandOutputPath(L"%PENDREL_NOT_SET%\\v.json"), L"%PENDREL_NOT_SET%\\v.json");
    EXPECT_EQ(ExpandOutputPath(L""), L"");
    const std::wstring huge(5000, L'a');
    plat::SetEnvironmentVariable(L"PENDREL_HUGE", huge.c_str());
    EXPECT_EQ(ExpandOutputPath(L"%PENDREL_HUGE%"), L"%PENDREL_HUGE%") << "too long: kept as written";
    plat::SetEnvironmentVariable(L"PENDREL_OUT", nullptr);
    plat::SetEnvironmentVariable(L"PENDREL_HUGE", nullptr);
}
