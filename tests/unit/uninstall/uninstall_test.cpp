#include <gtest/gtest.h>

#include <algorithm>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/testing.h"
#include "support/paths.h"
#include "tokens/registration.h"
#include "uninstall/token_removal.h"
#include "uninstall/uninstall.h"
#include "uninstall/unregistration.h"
#include "unit/log_support.h"
#include "unit/registry_support.h"
#include "unit/scratch.h"

namespace {

void MakeToken(plat::HKey hive, const wchar_t* root, const std::wstring& name) {
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(hive, (std::wstring(root) + L"\\Tokens\\" + name + L"\\Attributes").c_str(),
                                   plat::kKeyAllAccess, &key), 0);
    const wchar_t text[] = L"x";
    plat::RegSetValueEx(key, L"Name", plat::kRegSz, text, sizeof text);
    plat::RegCloseKey(key);
}

void SetEngineClass(plat::HKey hive, const wchar_t* root, const std::wstring& name) {
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegOpenKeyEx(hive, (std::wstring(root) + L"\\Tokens\\" + name).c_str(), 0, plat::kKeySetValue, &key), 0);
    const wchar_t clsid[] = L"{8D758097-2AAE-4277-88CC-3A6BDD344F53}";
    plat::RegSetValueEx(key, L"CLSID", plat::kRegSz, clsid, sizeof clsid);
    plat::RegCloseKey(key);
}

void MakeEverywhere(const std::wstring& name) {
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser})
        for (const wchar_t* root : engines) MakeToken(hive, root, name);
}

bool AnywhereStill(const std::wstring& name) {
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser})
        for (const wchar_t* root : engines)
            if (KeyExists(hive, std::wstring(root) + L"\\Tokens\\" + name)) return true;
    return false;
}

const std::vector<std::wstring> kTestTokens = {L"TTS_Mirelka_UnitA", L"TTS_Mirelka_UnitB", L"tts_mirelka_unitlower",
                                               L"Other_UnitVoice", L"Vendor_Unit_Kept", L"Vendor_Unit_NoClass"};

class Uninstall : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& t : kTestTokens) RemoveTestToken(t);
        RemoveTreeForTest(GetRootPath());
        ClearLog();
    }
    void TearDown() override {
        for (const auto& t : kTestTokens) RemoveTestToken(t);
        RemoveTreeForTest(GetRootPath());
    }
    static void VoiceFolder(const std::wstring& folder, const std::string& voiceTxt) {
        EnsureDirectoryExists(GetVoicesRootPath_Post() + L"\\" + folder);
        plat::WriteWholeFile(GetVoicesRootPath_Post() + L"\\" + folder + L"\\voice.txt", voiceTxt);
    }
};

}  // namespace

TEST_F(Uninstall, TokenOnlyInOnePlaceGivesOneLineAndVoicePathsGoEverywhere) {
    MakeToken(plat::kHkeyLocalMachine, engines[0], L"TTS_Mirelka_UnitA");
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser}) {
        plat::HKey key = nullptr;
        ASSERT_EQ(plat::RegCreateKeyEx(hive, L"Software\\Mirelka\\VoicePaths", plat::kKeyAllAccess, &key), 0);
        plat::RegCloseKey(key);
    }
    UnregisterTokenEverywhere(L"TTS_Mirelka_UnitA");
    EXPECT_EQ(LogLines(), std::vector<std::string>{
                              "[INFO] Token deleted: SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Mirelka_UnitA (HKLM)"});
    EXPECT_FALSE(AnywhereStill(L"TTS_Mirelka_UnitA"));
    EXPECT_FALSE(KeyExists(plat::kHkeyLocalMachine, L"Software\\Mirelka\\VoicePaths"));
    EXPECT_FALSE(KeyExists(plat::kHkeyCurrentUser, L"Software\\Mirelka\\VoicePaths"));
    ClearLog();
    UnregisterTokenEverywhere(L"TTS_Mirelka_UnitA");
    EXPECT_TRUE(LogLines().empty()) << "a second call finds nothing and says nothing";
}

TEST_F(Uninstall, EveryPlaceInOrderAndInvalidNamesRefused) {
    MakeEverywhere(L"TTS_Mirelka_UnitA");
    UnregisterTokenEverywhere(L"");
    UnregisterTokenEverywhere(L"TTS_Mirelka_UnitA\\Attributes");
    EXPECT_TRUE(KeyExists(plat::kHkeyCurrentUser, std::wstring(engines[1]) + L"\\Tokens\\TTS_Mirelka_UnitA\\Attributes"));
    UnregisterTokenEverywhere(L"TTS_Mirelka_UnitA");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "[ERROR] Refused to delete a token with an invalid name: ''",
                              "[ERROR] Refused to delete a token with an invalid name: 'TTS_Mirelka_UnitA\\Attributes'",
                              "[INFO] Token deleted: SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Mirelka_UnitA (HKLM)",
                              "[INFO] Token deleted: SOFTWARE\\Microsoft\\Speech_OneCore\\Voices\\Tokens\\TTS_Mirelka_UnitA (HKLM)",
                              "[INFO] Token deleted: SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Mirelka_UnitA (HKCU)",
                              "[INFO] Token deleted: SOFTWARE\\Microsoft\\Speech_OneCore\\Voices\\Tokens\\TTS_Mirelka_UnitA (HKCU)"}));
    EXPECT_FALSE(AnywhereStill(L"TTS_Mirelka_UnitA"));
}

TEST_F(Uninstall, KeysThatDenyAdministratorsStillGo) {
    if (plat::testing::RunningUnderWine())
        GTEST_SKIP() << "Wine 8 runs everything as an administrator and never lets a deny entry stop one "
                        "(measured), so the privileged deletion cannot be reached there";
    // Anyone with full access on a token can add a key that shuts administrators out.
    const std::wstring token = std::wstring(engines[0]) + L"\\Tokens\\TTS_Mirelka_UnitA";
    MakeToken(plat::kHkeyCurrentUser, engines[0], L"TTS_Mirelka_UnitA");
    DenyEveryone(plat::kHkeyCurrentUser, token + L"\\Attributes", plat::kKeyAllAccess);
    DenyEveryone(plat::kHkeyCurrentUser, token, plat::kDelete);
    UnregisterTokenEverywhere(L"TTS_Mirelka_UnitA");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "[WARNING] Key denies administrators, opened with the backup and restore privileges to "
                              "delete it: HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Mirelka_UnitA",
                              "[WARNING] Key denies administrators, opened with the backup and restore privileges to "
                              "delete it: HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Mirelka_UnitA"
                              "\\Attributes",
                              "[INFO] Token deleted: SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Mirelka_UnitA (HKCU)"}));
    EXPECT_FALSE(AnywhereStill(L"TTS_Mirelka_UnitA"));
}

TEST_F(Uninstall, RegistryLinksGoThemselvesNeverWhatTheyLeadTo) {
    // Anyone may add keys to a token: a link among them, or in a token's place,
    // must never take the elevated run to the key it leads to.
    const std::wstring victim = L"SOFTWARE\\PendrelLinkTarget";
    plat::RegDeleteTree(plat::kHkeyLocalMachine, victim.c_str());
    MakeToken(plat::kHkeyLocalMachine, victim.c_str(), L"Inner");  // victim\Tokens\Inner\Attributes
    const std::wstring tokens = std::wstring(engines[0]) + L"\\Tokens\\";
    MakeToken(plat::kHkeyLocalMachine, engines[0], L"TTS_Mirelka_UnitA");
    ASSERT_TRUE(plat::testing::CreateRegistryLink(tokens + L"TTS_Mirelka_UnitA\\Attributes\\Link", victim));
    ASSERT_TRUE(plat::testing::CreateRegistryLink(tokens + L"TTS_Mirelka_UnitB", victim));
    ASSERT_TRUE(KeyExists(plat::kHkeyLocalMachine, tokens + L"TTS_Mirelka_UnitB\\Tokens\\Inner")) << "links lead there";
    UnregisterTokenEverywhere(L"TTS_Mirelka_UnitA");
    UnregisterTokenEverywhere(L"TTS_Mirelka_UnitB");
    EXPECT_FALSE(AnywhereStill(L"TTS_Mirelka_UnitA"));
    EXPECT_FALSE(AnywhereStill(L"TTS_Mirelka_UnitB"));
    EXPECT_EQ(ReadString(plat::kHkeyLocalMachine, victim + L"\\Tokens\\Inner\\Attributes", L"Name"), L"x");
    plat::RegDeleteTree(plat::kHkeyLocalMachine, victim.c_str());
}

TEST_F(Uninstall, VoiceFoldersThenThePrefixScan) {
    MakeEverywhere(L"TTS_Mirelka_UnitA");       // named by a voice folder
    MakeEverywhere(L"Other_UnitVoice");         // named by a voice folder, no prefix, the engine's class
    MakeEverywhere(L"Vendor_Unit_NoClass");     // named by a voice folder, no prefix, no class: not the engine's
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser})
        for (const wchar_t* root : engines) SetEngineClass(hive, root, L"Other_UnitVoice");
    MakeToken(plat::kHkeyCurrentUser, engines[1], L"TTS_Mirelka_UnitB");  // found by the scan only
    MakeEverywhere(L"tts_mirelka_unitlower");   // the prefix in other letter case
    MakeEverywhere(L"Vendor_Unit_Kept");        // named only inside a dot folder
    VoiceFolder(L"a", "TokenKeyName: TTS_Mirelka_UnitA\n");
    VoiceFolder(L"b", "TokenKeyName: Other_UnitVoice\n");
    VoiceFolder(L"c", "TokenKeyName: Other_UnitVoice\n");
    VoiceFolder(L"d", "TokenKeyName: Vendor_Unit_NoClass\n");
    VoiceFolder(L".dot", "TokenKeyName: Vendor_Unit_Kept\n");
    plat::WriteWholeFile(GetVoicesRootPath_Post() + L"\\voice.txt", "TokenKeyName: Vendor_Unit_Kept\n");
    UnregisterAllVoicesFromDisk();
    EXPECT_FALSE(AnywhereStill(L"TTS_Mirelka_UnitA"));
    EXPECT_FALSE(AnywhereStill(L"Other_UnitVoice"));
    EXPECT_FALSE(AnywhereStill(L"TTS_Mirelka_UnitB"));
    EXPECT_TRUE(AnywhereStill(L"tts_mirelka_unitlower"));
    EXPECT_TRUE(AnywhereStill(L"Vendor_Unit_Kept"));
    EXPECT_TRUE(AnywhereStill(L"Vendor_Unit_NoClass"));
    auto lines = LogLines();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.find("Vendor_Unit_NoClass") != std::string::npos; }),
                lines.end());
    ASSERT_EQ(lines.size(), 9u) << "four lines for each folder's token, none for the repeated one, one for the scan";
    EXPECT_EQ(lines[8], "[INFO] Token deleted: SOFTWARE\\Microsoft\\Speech_OneCore\\Voices\\Tokens\\TTS_Mirelka_UnitB (HKCU)");
}

TEST_F(Uninstall, FolderIsDeletedWithEveryKindOfFile) {
    const std::wstring root = GetRootPath();
    EnsureDirectoryExists(root + L"\\.dot\\deep");
    plat::WriteWholeFile(root + L"\\.dot\\deep\\f", "x");
    for (auto [name, attributes] : {std::pair{L"ro.dll", plat::kFileAttributeReadonly},
                                    std::pair{L"hidden.dat", plat::kFileAttributeHidden},
                                    std::pair{L"system.dat", plat::kFileAttributeSystem}}) {
        plat::WriteWholeFile(root + L"\\" + name, "x");
        plat::SetFileAttributes(root + L"\\" + name, attributes);
    }
    EXPECT_TRUE(DeleteDirectoryRecursive(root));
    EXPECT_FALSE(Exists(root));
    EXPECT_TRUE(Exists(ExpandProgramFiles() + L"\\Mirelka")) << "the maker's folder stays";
    EXPECT_FALSE(DeleteDirectoryRecursive(root)) << "a missing folder";
}

// The machine's deletions waiting for the next restart, in their order.
std::vector<std::wstring> PendingDeletions() {
    std::vector<std::wstring> sources;
    plat::HKey key = nullptr;
    if (plat::RegOpenKeyEx(plat::kHkeyLocalMachine, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                           plat::kKeyRead, &key) != 0)
        return sources;
    std::uint32_t type = 0, bytes = 0;
    std::vector<wchar_t> data;
    if (plat::RegQueryValueEx(key, L"PendingFileRenameOperations", &type, nullptr, &bytes) == 0) {
        data.resize(bytes / sizeof(wchar_t) + 1);
        plat::RegQueryValueEx(key, L"PendingFileRenameOperations", &type, data.data(), &bytes);
        data.resize(bytes / sizeof(wchar_t));
    }
    plat::RegCloseKey(key);
    std::vector<std::wstring> strings;
    for (std::size_t i = 0; i < data.size();) {
        std::wstring text;
        while (i < data.size() && data[i] != 0) text += data[i++];
        ++i;
        strings.push_back(text);
    }
    for (std::size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2)
        if (strings[i + 1].empty()) sources.push_back(strings[i]);
    return sources;
}

// Puts back what the machine had scheduled before the test (its own prefix under Wine).
void ForgetPendingDeletions(const std::vector<std::wstring>& before) {
    std::vector<wchar_t> data;
    for (const std::wstring& source : before) {
        data.insert(data.end(), source.begin(), source.end());
        data.insert(data.end(), {L'\0', L'\0'});
    }
    data.push_back(0);
    plat::HKey key = nullptr;
    if (plat::RegCreateKeyEx(plat::kHkeyLocalMachine, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                             plat::kKeyAllAccess, &key) != 0)
        return;
    plat::RegSetValueEx(key, L"PendingFileRenameOperations", plat::kRegMultiSz, data.data(),
                        static_cast<std::uint32_t>(data.size() * sizeof(wchar_t)));
    plat::RegCloseKey(key);
}

TEST_F(Uninstall, FileHeldOpenAndItsParentsAreScheduledForRestartAndTheRestGoes) {
    const auto before = PendingDeletions();
    const std::wstring root = GetRootPath();
    EnsureDirectoryExists(root + L"\\bin\\x64");
    EnsureDirectoryExists(root + L"\\data");
    plat::WriteWholeFile(root + L"\\bin\\x64\\QueltoEngine.dll", "MZ");
    plat::WriteWholeFile(root + L"\\bin\\x64\\other.dll", "MZ");
    plat::WriteWholeFile(root + L"\\data\\v.bin", "x");
    void* hold = plat::testing::HoldFileOpen(root + L"\\bin\\x64\\QueltoEngine.dll");
    ASSERT_NE(hold, nullptr);
    EXPECT_FALSE(DeleteDirectoryRecursive(root));
    plat::testing::ReleaseHeldFile(hold);
    const auto pending = PendingDeletions();
    ForgetPendingDeletions(before);
    EXPECT_TRUE(Exists(root + L"\\bin\\x64\\QueltoEngine.dll"));
    EXPECT_FALSE(Exists(root + L"\\bin\\x64\\other.dll"));
    EXPECT_FALSE(Exists(root + L"\\data"));
    // The file first, then each folder above it: a folder goes at restart only once it is empty.
    const std::vector<std::wstring> scheduled = {root + L"\\bin\\x64\\QueltoEngine.dll", root + L"\\bin\\x64",
                                                 root + L"\\bin", root};
    std::vector<std::string> warnings;
    std::vector<std::wstring> recorded(pending.begin() + static_cast<std::ptrdiff_t>(std::min(before.size(), pending.size())),
                                       pending.end());
    std::vector<std::wstring> expected;
    warnings.push_back("[WARNING] Cannot be renamed, so a reinstallation before the restart would lose its own file "
                       "of this name: " + std::string(scheduled[0].begin(), scheduled[0].end()));
    for (const std::wstring& path : scheduled) {
        std::string narrow(path.begin(), path.end());
        warnings.push_back("[WARNING] Scheduled for deletion at the next restart: " + narrow);
        expected.push_back(L"\\??\\" + path);
    }
    EXPECT_EQ(LogLines(), warnings);
    EXPECT_EQ(recorded, expected);
}

// An earlier uninstallation by a process of the same number left its aside
// names waiting for the restart (held here, so that this run cannot delete
// them first): the file goes aside under a name not taken, never scheduled
// under its own name, which a reinstallation's file would have by the restart.
// Each test case runs as a process of its own, so this run's first aside names
// are the ones taken.
TEST_F(Uninstall, AnAsideNameAlreadyTakenIsPassedOverNeverTheFilesOwnScheduled) {
    const auto before = PendingDeletions();
    const std::wstring bin = GetRootPath() + L"\\bin";
    EnsureDirectoryExists(bin);
    const std::wstring pid = std::to_wstring(plat::GetCurrentProcessId());
    // A PE image where the machine maps one (the stand-in only locks the file).
    std::string image = "MZ";
    if (!plat::testing::IsStandIn()) {
        std::vector<wchar_t> system(1024, L'\0');
        plat::ExpandEnvironmentStrings(L"%SystemRoot%\\System32\\kernel32.dll", system.data(), 1024);
        image = ReadBytes(system.data());
        ASSERT_GT(image.size(), 2u);
    }
    std::vector<void*> earlier;
    for (int n = 1; n <= 2; ++n) {
        const std::wstring taken = bin + L"\\~pendrel-deleted-" + pid + L"-" + std::to_wstring(n) + L".tmp";
        plat::WriteWholeFile(taken, "earlier");
        earlier.push_back(plat::testing::HoldFileOpen(taken));
        ASSERT_NE(earlier.back(), nullptr);
    }
    plat::WriteWholeFile(bin + L"\\QueltoEngine.dll", image);
    void* loaded = plat::testing::HoldAsImage(bin + L"\\QueltoEngine.dll");
    ASSERT_NE(loaded, nullptr);
    EXPECT_FALSE(DeleteDirectoryRecursive(GetRootPath()));
    plat::testing::ReleaseImage(loaded);
    for (void* hold : earlier) plat::testing::ReleaseHeldFile(hold);
    const auto pending = PendingDeletions();
    ForgetPendingDeletions(before);
    // The walk's order decides how many names the held earlier ones use up
    // trying to go aside themselves.
    std::wstring aside;
    for (int n = 3; n <= 6 && aside.empty(); ++n) {
        const std::wstring name = bin + L"\\~pendrel-deleted-" + pid + L"-" + std::to_wstring(n) + L".tmp";
        if (Exists(name) && ReadBytes(name) == image) aside = name;
    }
    EXPECT_FALSE(Exists(bin + L"\\QueltoEngine.dll")) << "renamed aside";
    ASSERT_FALSE(aside.empty()) << "under a name not taken";
    EXPECT_EQ(ReadBytes(bin + L"\\~pendrel-deleted-" + pid + L"-1.tmp"), "earlier") << "never replaced";
    EXPECT_NE(std::find(pending.begin(), pending.end(), L"\\??\\" + aside), pending.end());
    EXPECT_EQ(std::find(pending.begin(), pending.end(), L"\\??\\" + bin + L"\\QueltoEngine.dll"), pending.end())
        << "the file's own name is never scheduled";
    for (const std::string& line : LogLines())
        EXPECT_EQ(line.find("lose its own file of this name: " + std::string(bin.begin(), bin.end()) + "\\Q"),
                  std::string::npos) << line;
}

TEST_F(Uninstall, MetadataWhoseAttributesAreDeniedIsDeletedNow) {
    if (plat::testing::RunningUnderWine())
        GTEST_SKIP() << "Wine keeps no file access lists, so no deny entry can stop a handle there; the stand-in "
                        "models one";
    const auto before = PendingDeletions();
    const std::wstring file = GetVoicesRootPath_Post() + L"\\elena\\metaData.txt";
    EnsureDirectoryExists(GetVoicesRootPath_Post() + L"\\elena");
    ASSERT_TRUE(plat::WriteWholeFile(file, "TokenKeyName: TTS_Mirelka_UnitA\n"));
    SetFilePermission(file.c_str());  // everyone, WRITE_DAC included, as the installation leaves it
    ASSERT_TRUE(plat::testing::DenyEveryone(file, 0x100 /* FILE_WRITE_ATTRIBUTES */));
    EXPECT_TRUE(DeleteDirectoryRecursive(GetRootPath()));
    const auto pending = PendingDeletions();
    ForgetPendingDeletions(before);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(pending, before) << "nothing waits for the restart";
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Uninstall, ReadOnlyFolderIsDeleted) {
    if (plat::testing::RunningUnderWine())
        GTEST_SKIP() << "Wine 8 drops the read-only attribute of a folder and removes such folders anyway; "
                        "NTFS refuses them (access denied), which the stand-in models";
    const std::wstring root = GetRootPath();
    EnsureDirectoryExists(root + L"\\locked\\inner");
    plat::WriteWholeFile(root + L"\\locked\\inner\\f.txt", "x");
    ASSERT_TRUE(plat::SetFileAttributes(root + L"\\locked\\inner", plat::kFileAttributeReadonly));
    ASSERT_TRUE(plat::SetFileAttributes(root + L"\\locked", plat::kFileAttributeReadonly));
    EXPECT_TRUE(DeleteDirectoryRecursive(root));
    EXPECT_FALSE(Exists(root));
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Uninstall, LinksAreRemovedNeverFollowed) {
    if (plat::testing::RunningUnderWine())
        GTEST_SKIP() << "Wine 8 cannot show this: CreateSymbolicLinkW creates nothing, and on a Unix link "
                        "RemoveDirectoryW and DeleteFileW act on the target; the stand-in's POSIX links test it";
    ScratchFolder outside(L"outside");
    plat::WriteWholeFile(outside / L"precious.txt", "keep");
    const std::wstring root = GetRootPath();
    EnsureDirectoryExists(root + L"\\sub");
    ASSERT_TRUE(plat::testing::CreateLink(root + L"\\sub\\to-folder", outside.path(), true));
    ASSERT_TRUE(plat::testing::CreateLink(root + L"\\to-file", outside / L"precious.txt", false));
    EXPECT_TRUE(DeleteDirectoryRecursive(root));
    EXPECT_FALSE(Exists(root));
    EXPECT_EQ(ReadBytes(outside / L"precious.txt"), "keep");
    // The installation folder itself a link: only the link goes.
    EnsureDirectoryExists(ExpandProgramFiles() + L"\\Mirelka");
    ASSERT_TRUE(plat::testing::CreateLink(root, outside.path(), true));
    EXPECT_TRUE(DeleteDirectoryRecursive(root));
    EXPECT_EQ(ReadBytes(outside / L"precious.txt"), "keep");
}
