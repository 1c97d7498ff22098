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
        // The bound: exactly two edits away is a near miss, three are not.
        {L"/unistal", L"/uninstall"},        {L"/vrfy", L"/verify"},              {L"/serchvoice", L"/searchvoices"},
        {L"--unregistr-al", L"--unregister-all"}, {L"/unstal", L""},            {L"/vfy", L""},
        {L"/srchvoice", L""},                {L"--unrgistr-al", L""},
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

TEST(Arguments, WordsOutOfPlaceAreFound) {
    using M = Misplacement;
    const struct {
        const wchar_t* argument;
        int position;
        Misplacement how;
        const wchar_t* word;
    } cases[] = {
        // A word that counts only first, later.
        {L"/verify", 2, M::NotFirst, L"/verify"},       {L"--VERIFY", 3, M::NotFirst, L"--VERIFY"},
        {L"/searchvoices", 2, M::NotFirst, L"/searchvoices"}, {L"/?", 2, M::NotFirst, L"/?"},
        {L"-h", 2, M::NotFirst, L"-h"},                 {L"--version", 2, M::NotFirst, L"--version"},
        {L"/verify", 1, M::None, L""},                  {L"/searchvoices", 1, M::None, L""},
        {L"/uninstall", 2, M::None, L""},               {L"--unregister-all", 5, M::None, L""},
        {L"/json", 2, M::None, L""},                    {L"--json", 1, M::None, L""},
        // Glued to another word.
        {L"/verify/json", 1, M::Glued, L"/verify"},     {L"/VERIFY/JSON", 2, M::Glued, L"/VERIFY"},
        {L"/silent/verify", 1, M::Glued, L"/verify"},   {L"/verify--json", 1, M::Glued, L"/verify"},
        {L"/x--json", 1, M::Glued, L"--json"},          {L"--uninstall/silent", 1, M::Glued, L"--uninstall"},
        {L"/searchvoices/out=C:\\x y.json", 1, M::Glued, L"/searchvoices"},
        {L"/x/out=C:\\v.json", 1, M::Glued, L"/out="},  {L"/verify/?", 1, M::Glued, L"/verify"},
        // Beside a blank: one argument holding several words (a quoting slip).
        {L"/verify /json", 1, M::AfterBlank, L"/verify"}, {L"/silent /verify", 1, M::AfterBlank, L"/verify"},
        {L" /verify", 1, M::AfterBlank, L"/verify"},    {L"/uninstall ", 1, M::AfterBlank, L"/uninstall"},
        {L"x\t--json", 2, M::AfterBlank, L"--json"},
        {L"/searchvoices /password=a b", 1, M::AfterBlank, L"/searchvoices"},
        // Values keep their blanks and are never read for words; the installer's own arguments pass.
        {L"/out=C:\\My Files /verify\\v.json", 2, M::None, L""},
        {L"/password=pass /verify/json", 2, M::None, L""}, {L"/USERNAME=ana /uninstall", 2, M::None, L""},
        {L"/DIR=C:\\Program Files\\x /verify", 1, M::None, L""}, {L"/LOG=C:/help/log.txt", 1, M::None, L""},
        {L"/silent", 1, M::None, L""},                  {L"/install", 2, M::None, L""},
        {L"/verysilent /norestart", 1, M::None, L""},   {L"/verifying", 1, M::None, L""},
        {L"--unregister-all-now", 1, M::None, L""},     {L"C:\\Program Files\\verify", 1, M::None, L""},
        {L"/", 1, M::None, L""},                        {L"--", 2, M::None, L""}, {L"", 2, M::None, L""},
        {L"/uninstall2", 1, M::None, L""},
    };
    for (const auto& c : cases) {
        const MisplacedWord found = FindMisplacedWord(c.argument, c.position);
        EXPECT_EQ(found.how, c.how) << c.argument;
        EXPECT_EQ(found.word, c.word) << c.argument;
    }
}

TEST(Arguments, MisplacementReasonsNameTheWord) {
    EXPECT_EQ(MisplacementReason({Misplacement::NotFirst, L"/verify"}), L"/verify counts only as the first argument");
    EXPECT_NE(MisplacementReason({Misplacement::Glued, L"/json"}).find(L"/json glued"), std::wstring::npos);
    EXPECT_NE(MisplacementReason({Misplacement::AfterBlank, L"/json"}).find(L"/json beside a blank"), std::wstring::npos);
}

TEST(Arguments, UsageTellsTheRulesAsTheyAre) {
    const std::wstring usage = UsageText(L"1");
    EXPECT_EQ(usage.find(L"/verfy, /install)"), std::wstring::npos) << "/install is no near miss";
    for (const wchar_t* part : {L"/install is no", L"(/silent /verify)", L"(/verify/json)", L"(\"/verify /json\")",
                                L"keep their blanks", L"3010"})
        EXPECT_NE(usage.find(part), std::wstring::npos) << part;
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
    EXPECT_EQ(ShowableArgument(L"/searchvoices /PassWord=a b"), L"/searchvoices /PassWord=********")
        << "inside an argument too: a refusal shows it";
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
