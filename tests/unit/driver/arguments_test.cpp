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
    EXPECT_TRUE(IsUninstallArgument(L"--uninstall"));
    EXPECT_TRUE(IsUninstallArgument(L"--UnInstall"));
    EXPECT_FALSE(IsUninstallArgument(L"-uninstall"));
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
                 {L"--VERSION", false, true}, {L"/help", true, false},      {L"/HELP", true, false},
                 {L"-?", true, false},        {L"/version", false, true},   {L"/Version", false, true},
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

TEST(Arguments, NearMissesOfTheModesAreNamed) {
    const struct {
        const wchar_t* argument;
        const wchar_t* meant;  // empty: not a near miss
    } cases[] = {
        {L"/unistall", L"/uninstall"},       {L"-uninstall", L"/uninstall"},      {L"/UNINSTAL", L"/uninstall"},
        {L"/uninstlal", L"/uninstall"},      {L"/install", L""},                  {L"/unregister-all", L"--unregister-all"},
        {L"--unregisterall", L"--unregister-all"}, {L"/verfy", L"/verify"},       {L"-verify", L"/verify"},
        {L"--VERIFI", L"/verify"},           {L"/serchvoices", L"/searchvoices"}, {L"--searchvoices", L"/searchvoices"},
        {L"/search-voices", L"/searchvoices"}, {L"--hlep", L"/help"},             {L"--verison", L"/version"},
        {L"-version", L"/version"},
        // Known arguments, whatever their case, and what is too far from any name or no option at all.
        {L"/uninstall", L""},  {L"--UNINSTALL", L""},  {L"--unregister-all", L""}, {L"/Verify", L""},
        {L"--verify", L""},    {L"/searchVoices", L""}, {L"/?", L""},              {L"-?", L""},
        {L"-h", L""},          {L"/help", L""},         {L"/version", L""},        {L"--version", L""},
        {L"/USERNAME=ana", L""}, {L"/Out=C:\\x", L""}, {L"/password=verify", L""},
        {L"uninstall", L""},   {L"unistall", L""},      {L"/silent", L""},         {L"/verysilent", L""},
        {L"-x", L""},          {L"/", L""},             {L"--", L""},              {L"", L""},
        {L"/norestart", L""},  {L"/uninstallation", L""}, {L"/verifying", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(NearMissOf(c.argument), c.meant) << c.argument;
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

TEST(CatalogueOptions, PrefixesInAnyCaseAndTheLastOccurrenceWins) {
    const auto o = Parse({L"pendrel", L"/searchvoices", L"/username=ana", L"/USERNAME=upper", L"/password=p=q",
                          L"/uninstall", L"/Username=eva", L"/out="});
    EXPECT_EQ(o.username, L"eva");
    EXPECT_EQ(o.password, L"p=q") << "everything after the ten prefix characters";
    EXPECT_EQ(o.outPath, L"");
}

TEST(CatalogueOptions, PrefixesIgnoreLetterCase) {
    const auto o = Parse({L"pendrel", L"/searchvoices", L"/USERNAME=Ana", L"/PassWord=Secret", L"/OUT=C:\\x.json"});
    EXPECT_EQ(o.username, L"Ana");
    EXPECT_EQ(o.password, L"Secret") << "the value keeps its case";
    EXPECT_EQ(o.outPath, L"C:\\x.json");
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
