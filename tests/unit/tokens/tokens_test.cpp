#include <gtest/gtest.h>

#include <cwchar>
#include <set>

#include "platform/errors.h"
#include "platform/speech.h"
#include "platform/testing.h"
#include "support/log.h"
#include "support/paths.h"
#include "tokens/registration.h"
#include "tokens/rights.h"
#include "tokens/token_primitives.h"
#include "tokens/user_copies.h"
#include "unit/log_support.h"
#include "unit/registry_support.h"
#include "voices/token_names.h"

namespace {

const std::wstring kToken = L"TTS_PendrelTest_Voice";
const std::wstring kDesktop = std::wstring(engines[0]) + L"\\Tokens\\" + kToken;
const std::wstring kOneCore = std::wstring(engines[1]) + L"\\Tokens\\" + kToken;

class Tokens : public ::testing::Test {
protected:
    void SetUp() override {
        plat::CoInitialize();
        RemoveTestToken(kToken);
        plat::RegDeleteTree(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest");
        ClearLog();
    }
    void TearDown() override {
        RemoveTestToken(kToken);
        plat::RegDeleteTree(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest");
        plat::CoUninitialize();
    }
    void Register(const wchar_t* langid = L"c0a", const wchar_t* vendor = L"Mirelka") {
        Regnewvoice(plat::kHkeyLocalMachine, kToken.c_str(), L"Elena", langid, L"Elena (Espa\u00f1ol)", L"Female",
                    L"Elena", L"c0a", L"Adult", vendor, L"Elena");
    }
    static void ExpectFullLayout(plat::HKey hive, const std::wstring& path) {
        EXPECT_EQ(ReadString(hive, path, nullptr), L"Elena");
        EXPECT_EQ(ReadString(hive, path, L"CLSID"), L"{8D758097-2AAE-4277-88CC-3A6BDD344F53}");
        EXPECT_EQ(ReadString(hive, path, L"c0a"), L"Elena (Espa\u00f1ol)");
        EXPECT_EQ(ValueNames(hive, path).size(), 3u);
        const std::wstring attributes = path + L"\\Attributes";
        EXPECT_EQ(ReadString(hive, attributes, L"Gender"), L"Female");
        EXPECT_EQ(ReadString(hive, attributes, L"Name"), L"Elena");
        EXPECT_EQ(ReadString(hive, attributes, L"Language"), L"c0a");
        EXPECT_EQ(ReadString(hive, attributes, L"Age"), L"Adult");
        EXPECT_EQ(ReadString(hive, attributes, L"Vendor"), L"Mirelka");
        EXPECT_EQ(ReadString(hive, attributes, L"SimpleName"), L"Elena");
        EXPECT_EQ(ReadString(hive, attributes, L"VoicePath"), ExpandProgramFiles() + L"\\Mirelka\\ZunSapi64\\QueltoEngine.dll");
        EXPECT_EQ(ValueNames(hive, attributes).size(), 7u);
    }
};

}  // namespace

TEST(DynamicString, AssignmentCopiesIntoTaskMemory) {
    CSpDynamicString s;
    const wchar_t text[] = L"HKEY_LOCAL_MACHINE";
    wchar_t* held = (s = text);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(held, text);
    EXPECT_EQ(std::wstring(held), text);
    EXPECT_EQ(s = held, held) << "assigning the held pointer changes nothing";
    EXPECT_EQ(s = nullptr, nullptr);
}

TEST(DynamicString, Append2HRTreatsNullAsEmpty) {
    CSpDynamicString s;
    EXPECT_EQ(s.Append2HR(nullptr, nullptr), plat::kSOk);
    EXPECT_EQ(s.m_psz, nullptr) << "both empty: nothing changes";
    EXPECT_EQ(s.Append2HR(L"a\\", L"b"), plat::kSOk);
    EXPECT_EQ(std::wstring(s), L"a\\b");
    EXPECT_EQ(s.Append2HR(nullptr, L"c"), plat::kSOk);
    EXPECT_EQ(s.Append2HR(L"d", nullptr), plat::kSOk);
    EXPECT_EQ(std::wstring(s), L"a\\bcd");
}

TEST_F(Tokens, CreateNewTokenCreatesTheMissingCategoryKeys) {
    const std::wstring category = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\PendrelTest\\Voices";
    plat::SpObjectToken* token = nullptr;
    ASSERT_EQ(SpCreateNewToken(category.c_str(), L"Named", &token), plat::kSOk);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(token->SetStringValue(L"Probe", L"x"), plat::kSOk);
    token->Release();
    EXPECT_TRUE(KeyExists(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest\\Voices\\Tokens\\Named"));
    EXPECT_EQ(ReadString(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest\\Voices\\Tokens\\Named", L"Probe"), L"x");
}

TEST_F(Tokens, NullKeyNameGivesAFreshGuidEachTime) {
    const std::wstring category = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\PendrelTest\\Voices";
    for (int i = 0; i < 2; ++i) {
        plat::SpObjectToken* token = nullptr;
        ASSERT_EQ(SpCreateNewToken(category.c_str(), nullptr, &token), plat::kSOk);
        token->Release();
    }
    plat::HKey tokens = nullptr;
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest\\Voices\\Tokens", 0, plat::kKeyRead, &tokens), 0);
    std::set<std::wstring> names;
    wchar_t name[256];
    for (std::uint32_t i = 0;; ++i) {
        std::uint32_t chars = 256;
        if (plat::RegEnumKeyEx(tokens, i, name, &chars) != 0) break;
        names.insert(name);
        EXPECT_EQ(chars, 38u);
        EXPECT_EQ(name[0], L'{');
        EXPECT_EQ(name[37], L'}');
    }
    plat::RegCloseKey(tokens);
    EXPECT_EQ(names.size(), 2u);
}

TEST_F(Tokens, CommonDataWithNothingGivenWritesNothing) {
    plat::SpObjectToken* token = nullptr;
    ASSERT_EQ(SpCreateNewToken(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\PendrelTest\\Voices", L"Bare", &token), plat::kSOk);
    EXPECT_EQ(SpSetCommonTokenData(token, nullptr, nullptr, 0x409, nullptr, nullptr), plat::kSOk);
    EXPECT_EQ(SpSetCommonTokenData(token, nullptr, nullptr, 0, L"zero", nullptr), plat::kSOk);
    EXPECT_EQ(SpSetCommonTokenData(token, nullptr, nullptr, 0x409, L"en", nullptr), plat::kSOk);
    token->Release();
    const std::wstring path = L"SOFTWARE\\PendrelTest\\Voices\\Tokens\\Bare";
    EXPECT_EQ(ValueNames(plat::kHkeyLocalMachine, path), (std::vector<std::wstring>{L"0", L"409"}));
    EXPECT_FALSE(KeyExists(plat::kHkeyLocalMachine, path + L"\\Attributes"));
}

TEST_F(Tokens, RegnewvoiceWritesTheTokenUnderBothStacks) {
    Register();
    ExpectFullLayout(plat::kHkeyLocalMachine, kDesktop);
    ExpectFullLayout(plat::kHkeyLocalMachine, kOneCore);
    EXPECT_FALSE(KeyExists(plat::kHkeyCurrentUser, kDesktop));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "[INFO]  - Adding new voice in: HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech\\Voices",
                              "[INFO]  - Adding new voice in: HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"}));
}

TEST_F(Tokens, RegisteringAgainRewritesInPlaceAndKeepsOtherValues) {
    Register();
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyLocalMachine, kDesktop.c_str(), 0, plat::kKeyAllAccess, &key), 0);
    const wchar_t extra[] = L"kept";
    plat::RegSetValueEx(key, L"Extra", plat::kRegSz, extra, sizeof extra);
    plat::RegCloseKey(key);
    Regnewvoice(plat::kHkeyLocalMachine, kToken.c_str(), L"Elena 2", L"c0a", L"", L"Female", L"Elena", L"c0a",
                L"Adult", L"", L"Elena");
    EXPECT_EQ(ReadString(plat::kHkeyLocalMachine, kDesktop, nullptr), L"Elena 2");
    EXPECT_EQ(ReadString(plat::kHkeyLocalMachine, kDesktop, L"Extra"), L"kept");
    EXPECT_EQ(ReadString(plat::kHkeyLocalMachine, kDesktop + L"\\Attributes", L"Vendor"), L"") << "empty, not absent";
}

TEST_F(Tokens, LanguageValueNameIsLowerCaseHexadecimal) {
    Register(L"0C0A");
    EXPECT_EQ(ReadString(plat::kHkeyLocalMachine, kDesktop, L"c0a"), L"Elena (Espa\u00f1ol)");
    RemoveTestToken(kToken);
    Register(L"none");
    EXPECT_EQ(ReadString(plat::kHkeyLocalMachine, kOneCore, L"0"), L"Elena (Espa\u00f1ol)");
}

TEST_F(Tokens, AStackThatCannotBeWrittenDoesNotStopTheOther) {
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyLocalMachine, kDesktop.c_str(), plat::kKeyAllAccess, &key), 0);
    plat::RegCloseKey(key);
    DenyEveryone(plat::kHkeyLocalMachine, kDesktop, plat::kKeySetValue);
    Register();
    EXPECT_TRUE(ValueNames(plat::kHkeyLocalMachine, kDesktop).empty());
    EXPECT_FALSE(KeyExists(plat::kHkeyLocalMachine, kDesktop + L"\\Attributes"));
    ExpectFullLayout(plat::kHkeyLocalMachine, kOneCore);
    // Both stacks are logged, whatever happened, and the failure where it happened.
    const std::string token = "HKEY_LOCAL_MACHINE\\" + std::string(kDesktop.begin(), kDesktop.end());
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[INFO]  - Adding new voice in: HKEY_LOCAL_MACHINE\\" + std::string(engines[0], engines[0] + std::wcslen(engines[0])));
    EXPECT_TRUE(lines[1].starts_with("[ERROR] Could not ") && lines[1].ends_with(": " + token)) << lines[1];
    // Wine's SAPI answers "not found" for a token key it may not write (measured); the stand-in answers
    // "access denied", as the registry does.
    const plat::HResult refused = plat::testing::RunningUnderWine() ? plat::kSpErrNotFound
                                                                    : plat::HResultFromWin32(plat::kErrorAccessDenied);
    EXPECT_EQ(lines[2], "[ERROR]   key " + token + ": " + EncodeLogText(plat::HResultText(refused)));
    EXPECT_EQ(lines[3], "[INFO]  - Adding new voice in: HKEY_LOCAL_MACHINE\\" + std::string(engines[1], engines[1] + std::wcslen(engines[1])));
}

TEST_F(Tokens, InvalidTokenKeyNamesAreNeverRegistered) {
    EXPECT_FALSE(IsValidTokenKeyName(L""));
    EXPECT_FALSE(IsValidTokenKeyName(L"a\\b"));
    EXPECT_TRUE(IsValidTokenKeyName(kToken));
    const auto before = ValueNames(plat::kHkeyLocalMachine, std::wstring(engines[0]) + L"\\Tokens");
    Regnewvoice(plat::kHkeyLocalMachine, L"", L"x", L"409", L"x", L"", L"", L"", L"", L"", L"");
    EXPECT_EQ(ValueNames(plat::kHkeyLocalMachine, std::wstring(engines[0]) + L"\\Tokens"), before);
}

TEST_F(Tokens, CopyGivesTheUserTheSameTokenUnderBothStacks) {
    Register();
    ClearLog();
    EXPECT_EQ(CopyVoiceTokenToCurrentUserForAllEngines(plat::kHkeyLocalMachine, plat::kHkeyCurrentUser, kToken), 1);
    ExpectFullLayout(plat::kHkeyCurrentUser, kDesktop);
    ExpectFullLayout(plat::kHkeyCurrentUser, kOneCore);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "[INFO] Copying the voice registries:",
                              "[INFO]   * Token Key: HKEY_CURRENT_USER\\" + std::string(kDesktop.begin(), kDesktop.end()),
                              "[INFO]   * Token Key: HKEY_CURRENT_USER\\" + std::string(kOneCore.begin(), kOneCore.end())}));
}

TEST_F(Tokens, CopyOverwritesSameNamesKeepsExtrasAndCopiesLargeValues) {
    Register();
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyCurrentUser, kDesktop.c_str(), plat::kKeyAllAccess, &key), 0);
    const wchar_t old[] = L"old";
    plat::RegSetValueEx(key, L"CLSID", plat::kRegSz, old, sizeof old);
    plat::RegSetValueEx(key, L"UserOnly", plat::kRegSz, old, sizeof old);
    plat::RegCloseKey(key);
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyLocalMachine, kDesktop.c_str(), 0, plat::kKeyAllAccess, &key), 0);
    const std::vector<unsigned char> big(5000, 0xAB);
    plat::RegSetValueEx(key, L"Big", plat::kRegBinary, big.data(), static_cast<std::uint32_t>(big.size()));
    const std::wstring longName(300, L'n');
    plat::RegSetValueEx(key, longName.c_str(), plat::kRegDword, "\x01\x02\x03\x04", 4);
    plat::RegCloseKey(key);

    CopyVoiceTokenToCurrentUserForAllEngines(plat::kHkeyLocalMachine, plat::kHkeyCurrentUser, kToken);
    EXPECT_EQ(ReadString(plat::kHkeyCurrentUser, kDesktop, L"CLSID"), L"{8D758097-2AAE-4277-88CC-3A6BDD344F53}");
    EXPECT_EQ(ReadString(plat::kHkeyCurrentUser, kDesktop, L"UserOnly"), L"old");
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyCurrentUser, kDesktop.c_str(), 0, plat::kKeyRead, &key), 0);
    std::vector<unsigned char> back(6000);
    std::uint32_t type = 0, bytes = static_cast<std::uint32_t>(back.size());
    EXPECT_EQ(plat::RegQueryValueEx(key, L"Big", &type, back.data(), &bytes), 0);
    EXPECT_EQ(type, plat::kRegBinary);
    EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + bytes), big);
    std::uint32_t dword = 0;
    bytes = 4;
    EXPECT_EQ(plat::RegQueryValueEx(key, longName.c_str(), &type, &dword, &bytes), 0) << "a name of 300 characters";
    EXPECT_EQ(dword, 0x04030201u);
    plat::RegCloseKey(key);
}

TEST_F(Tokens, CopyOfAMissingStackCreatesNothing) {
    Register();
    plat::RegDeleteTree(plat::kHkeyLocalMachine, kOneCore.c_str());
    EXPECT_EQ(CopyVoiceTokenToCurrentUserForAllEngines(plat::kHkeyLocalMachine, plat::kHkeyCurrentUser, kToken), 1);
    EXPECT_TRUE(KeyExists(plat::kHkeyCurrentUser, kDesktop));
    EXPECT_FALSE(KeyExists(plat::kHkeyCurrentUser, kOneCore));
    EXPECT_EQ(CopyRegistryKeyRecursively(plat::kHkeyLocalMachine, kOneCore, plat::kHkeyCurrentUser, kOneCore, plat::kKeyRead), 0);
}

TEST_F(Tokens, FailuresOfTheCopyAreLoggedWithTheKeyAndTheCause) {
    Register();
    const std::string source = "HKEY_LOCAL_MACHINE\\" + std::string(kOneCore.begin(), kOneCore.end());
    const std::string copy = "HKEY_CURRENT_USER\\" + std::string(kDesktop.begin(), kDesktop.end());
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyCurrentUser, kDesktop.c_str(), plat::kKeyAllAccess, &key), 0);
    plat::RegCloseKey(key);
    DenyEveryone(plat::kHkeyCurrentUser, kDesktop, plat::kKeySetValue);
    plat::RegDeleteTree(plat::kHkeyLocalMachine, kOneCore.c_str());
    ClearLog();
    CopyVoiceTokenToCurrentUserForAllEngines(plat::kHkeyLocalMachine, plat::kHkeyCurrentUser, kToken);
    DenyEveryone(plat::kHkeyCurrentUser, kDesktop, 0);
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[2], "[ERROR] Could not create the copy of the key: " + copy);
    EXPECT_EQ(lines[3], "[ERROR]   key " + copy + ": " + EncodeLogText(plat::ErrorText(plat::kErrorAccessDenied)));
    EXPECT_EQ(lines[5], "[ERROR] Could not open the key to copy: " + source);
    EXPECT_EQ(lines[6], "[ERROR]   key " + source + ": " + EncodeLogText(plat::ErrorText(plat::kErrorFileNotFound)));
}

TEST_F(Tokens, AKeyThatCannotTakeTheEntryIsLoggedWithItsCause) {
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest\\Leaf", plat::kKeyAllAccess, &key), 0);
    plat::RegCloseKey(key);
    // Opened without the right to change its access list.
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest\\Leaf", 0, plat::kKeyRead, &key), 0);
    plat::SidPtr everyone = nullptr;
    plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, 0, &everyone);
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    const std::wstring name = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\PendrelTest\\Leaf";
    EXPECT_EQ(RegSetHiveSecurity(key, everyone, 1, descriptor, name), static_cast<std::int32_t>(plat::kErrorAccessDenied));
    plat::FreeSid(everyone);
    plat::RegCloseKey(key);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "[ERROR] Could not give everyone full access to the key: HKEY_LOCAL_MACHINE\\SOFTWARE\\PendrelTest\\Leaf",
                              "[ERROR]   key HKEY_LOCAL_MACHINE\\SOFTWARE\\PendrelTest\\Leaf: " +
                                  EncodeLogText(plat::ErrorText(plat::kErrorAccessDenied))}));
}

TEST_F(Tokens, OpenAndSetRegKeyReportsMissingTokens) {
    OpenAndSetRegKey(plat::kHkeyCurrentUser, kToken);
    const std::string desktop = "HKEY_CURRENT_USER\\" + std::string(kDesktop.begin(), kDesktop.end());
    const std::string oneCore = "HKEY_CURRENT_USER\\" + std::string(kOneCore.begin(), kOneCore.end());
    const std::string absent = EncodeLogText(plat::ErrorText(plat::kErrorFileNotFound));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"[ERROR] Error opening key: " + desktop,
                                                    "[ERROR]   key " + desktop + ": " + absent,
                                                    "[ERROR] Error opening key: " + oneCore,
                                                    "[ERROR]   key " + oneCore + ": " + absent}));
    EXPECT_EQ(g_hRegKey, nullptr);
}

TEST_F(Tokens, EveryoneGetsFullAccessOnTheTokenAndBelowOnceHoweverOftenItRuns) {
    Register();
    const auto before = KeyAccessEntries(plat::kHkeyLocalMachine, kDesktop);
    for (int run = 0; run < 2; ++run) {
        ClearLog();
        OpenAndSetRegKey(plat::kHkeyLocalMachine, kToken);
        EXPECT_EQ(LogLines().size(), 2u);
        EXPECT_EQ(LogLines()[0], "[INFO]   * Key found: HKEY_LOCAL_MACHINE\\" + std::string(kDesktop.begin(), kDesktop.end()));
    }
    for (const std::wstring& path : {kDesktop, kDesktop + L"\\Attributes", kOneCore, kOneCore + L"\\Attributes"}) {
        const auto entries = KeyAccessEntries(plat::kHkeyLocalMachine, path);
        ASSERT_FALSE(entries.empty());
        EXPECT_TRUE(IsEveryoneFullAccess(entries.back())) << "the new entry comes last";
        int added = 0;
        for (const auto& e : entries) added += IsEveryoneFullAccess(e);
        EXPECT_EQ(added, 1) << "a second run adds no second entry";
    }
    const auto after = KeyAccessEntries(plat::kHkeyLocalMachine, kDesktop);
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin())) << "the old entries keep their order";
}

TEST_F(Tokens, ALinkInTheTokensPlaceAtTheGrantIsDeletedAndItsTargetKeepsItsList) {
    // Anyone may put a link where a token was between the installation's
    // writes and its grant. Nothing stops the stand-in's run between the two
    // (its registry belongs to one process at a time, and it has no hook
    // there), so the link is made here, and the grant called, in that order.
    Register();
    const std::wstring target = L"SOFTWARE\\PendrelTest\\Target";
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyLocalMachine, target.c_str(), plat::kKeyAllAccess, &key), 0);
    plat::RegCloseKey(key);
    const auto before = KeyAccessEntries(plat::kHkeyLocalMachine, target);
    ASSERT_EQ(plat::RegDeleteTree(plat::kHkeyLocalMachine, kDesktop.c_str()), 0);
    ASSERT_TRUE(plat::testing::CreateRegistryLink(kDesktop, target));
    ClearLog();
    OpenAndSetRegKey(plat::kHkeyLocalMachine, kToken);
    const std::string desktop = "HKEY_LOCAL_MACHINE\\" + std::string(kDesktop.begin(), kDesktop.end());
    ASSERT_FALSE(LogLines().empty());
    EXPECT_EQ(LogLines()[0], "[WARNING] Registry link found in a token and deleted, never followed: " + desktop);
    EXPECT_EQ(plat::RegOpenKeyEx(plat::kHkeyLocalMachine, kDesktop.c_str(), plat::kRegOptionOpenLink, plat::kKeyRead,
                                 &key),
              static_cast<std::int32_t>(plat::kErrorFileNotFound))
        << "the link is gone";
    const auto after = KeyAccessEntries(plat::kHkeyLocalMachine, target);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin(), after.end())) << "the target got nothing";
    EXPECT_TRUE(IsEveryoneFullAccess(KeyAccessEntries(plat::kHkeyLocalMachine, kOneCore).back())) << "the other stack";
}

TEST_F(Tokens, AccessDeniedEntryIsKeptBeforeTheNewOne) {
    Register();
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyLocalMachine, kDesktop.c_str(), 0, plat::kKeyAllAccess, &key), 0);
    // An inherit-only entry denying everyone: it does not bar this key itself.
    plat::SidPtr everyone = nullptr;
    plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, 0, &everyone);
    plat::SidPtr users = nullptr;
    plat::AllocateAndInitializeSid({{0, 0, 0, 0, 0, 5}}, 1, 11, &users);  // authenticated users
    const std::uint32_t size = 8 + 2 * (8 + plat::GetLengthSid(everyone));
    plat::AclPtr acl = plat::LocalAlloc(plat::kLptr, size);
    plat::InitializeAcl(acl, size, plat::kAclRevision);
    plat::AddAccessAllowedAce(acl, plat::kAclRevision, plat::kKeyAllAccess, everyone);
    plat::AddAccessAllowedAce(acl, plat::kAclRevision, plat::kKeyAllAccess, users);
    auto* first = static_cast<unsigned char*>(acl) + 8;
    first[0] = plat::kAccessDeniedAceType;
    first[1] = 0x0A;  // CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE
    first[4] = 0x02;  // KEY_SET_VALUE only
    first[5] = first[6] = first[7] = 0;
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    plat::InitializeSecurityDescriptor(descriptor, plat::kSecurityDescriptorRevision);
    plat::SetSecurityDescriptorDacl(descriptor, true, acl, false);
    ASSERT_EQ(plat::RegSetKeySecurity(key, plat::kDaclSecurityInformation, descriptor), 0);
    plat::LocalFree(acl);
    plat::FreeSid(everyone);
    plat::FreeSid(users);
    plat::RegCloseKey(key);
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyLocalMachine, kDesktop.c_str(), 0, plat::kKeyAllAccess, &key), 0);
    g_hRegKey = key;
    DoSetHiveRights(L"HKEY_LOCAL_MACHINE\\" + kDesktop);
    g_hRegKey = nullptr;
    plat::RegCloseKey(key);
    const auto entries = KeyAccessEntries(plat::kHkeyLocalMachine, kDesktop);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].type, plat::kAccessDeniedAceType);
    EXPECT_EQ(entries[1].sid, L"S-1-5-11");
    EXPECT_TRUE(IsEveryoneFullAccess(entries[2]));
}

TEST_F(Tokens, WalkOfAKeyWithoutSubkeysEndsWithNoMoreItems) {
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest\\Leaf", plat::kKeyAllAccess, &key), 0);
    plat::SidPtr everyone = nullptr;
    plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, 0, &everyone);
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    EXPECT_EQ(RegSetHiveSecurity(key, everyone, 1, descriptor), 259);
    plat::FreeSid(everyone);
    plat::RegCloseKey(key);
    EXPECT_TRUE(IsEveryoneFullAccess(KeyAccessEntries(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest\\Leaf").back()));
}
