#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/testing.h"
#include "unit/log_support.h"
#include "unit/scratch.h"
#include "voices/voice_files.h"

namespace {

std::wstring VoiceTxtName(const std::string& bytes) {
    ScratchFolder dir(L"voicetxt");
    plat::WriteWholeFile(dir / L"voice.txt", bytes);
    return ReadTokenKeyNameFromVoiceTxt(dir / L"voice.txt");
}

}  // namespace

TEST(VoiceTxt, KeyInAnyCaseBlanksTrimmedAndColonsKept) {
    EXPECT_EQ(VoiceTxtName("tokenkeyname :  TTS_Mirelka_a  \n"), L"TTS_Mirelka_a");
    EXPECT_EQ(VoiceTxtName("Name: x\nTOKENKEYNAME: a:b:c\n"), L"a:b:c");
    EXPECT_EQ(VoiceTxtName("TokenKeyName: first\nTokenKeyName: second\n"), L"first");
    EXPECT_EQ(VoiceTxtName("TokenKeyName: crlf\r\nName: x\r\n"), L"crlf");
    EXPECT_EQ(VoiceTxtName("Name: x\nTokenKeyName: last line"), L"last line");
    EXPECT_EQ(VoiceTxtName("TokenKeyName: " + std::string(1000, 'l') + "\n"), std::wstring(1000, L'l'))
        << "lines of any length";
}

TEST(VoiceTxt, NoEntryGivesTheEmptyName) {
    EXPECT_EQ(VoiceTxtName("TokenKeyName TTS_Mirelka_a\nTokenKeyName=TTS_Mirelka_b\n"), L"");
    EXPECT_EQ(VoiceTxtName("TokenKeyName:\n"), L"");
    EXPECT_EQ(VoiceTxtName(""), L"");
    EXPECT_EQ(VoiceTxtName("Name: \xff\nTokenKeyName: after invalid bytes\n"), L"") << "invalid UTF-8 ends the file";
    EXPECT_EQ(VoiceTxtName("Name: x\n\x1ATokenKeyName: after ctrl-z\n"), L"");
    EXPECT_EQ(ReadTokenKeyNameFromVoiceTxt(L"C:\\no\\such\\voice.txt"), L"");
}

TEST(VoiceTxt, ByteOrderMarkDoesNotHideTheFirstLine) {
    EXPECT_EQ(VoiceTxtName("\xef\xbb\xbfTokenKeyName: bom\n"), L"bom");
}

namespace {

// Reads bytes as a metaData.txt; `ok` is what the reader answered.
VoiceMetadata Metadata(const std::string& bytes, bool& ok) {
    ScratchFolder dir(L"metadata");
    plat::WriteWholeFile(dir / L"metaData.txt", bytes);
    VoiceMetadata m {};
    ok = ReadVoiceMetadata(dir / L"metaData.txt", m);
    return m;
}

}  // namespace

TEST(Metadata, WholeFileIsReadWithCrLfTabsTrimmedAndTheLongestLine) {
    bool ok = false;
    const std::string vendor = "Vendor: " + std::string(246, 'v');  // 254 characters
    const VoiceMetadata m =
        Metadata("\xef\xbb\xbfTokenKeyName:\tTTS_Mirelka_a\t\r\n" + vendor + "\r\nLanguage: 409", ok);
    ASSERT_TRUE(ok);
    EXPECT_STREQ(m.TokenKeyName, L"TTS_Mirelka_a");
    EXPECT_EQ(std::wstring(m.Vendor), std::wstring(246, L'v'));
    EXPECT_STREQ(m.Language, L"409");
}

TEST(Metadata, FileNotReadWholeYieldsNothingAndNamesTheCause) {
    const std::string name = "TokenKeyName: TTS_Mirelka_x";
    const struct {
        std::string bytes;
        const char* warning;  // after "Reading stopped at line "
    } cases[] = {
        {name + "\xe9\r\nName: x\r\n", "1 of %: the bytes there are not UTF-8"},
        {name + "\nName: x\xc3", "2 of %: the bytes there are not UTF-8"},
        {name + "\nName: " + std::string(249, 'n') + "\n", "2 of %: the line is longer than 254 characters"},
        {name + "\n" + std::string(5000, 'n'), "2 of %: the line is longer than 254 characters"},
        {std::string("TokenKeyName: TTS_Mirelka_nu\0ltk\n", 33), "1 of %: a NUL character"},
        {name + "\rName: x\rLanguage: 409\r", "1 of %: a carriage return that no line feed follows (lines end with LF or CR LF)"},
        {name + "\r", "1 of %: a carriage return that no line feed follows (lines end with LF or CR LF)"},
        {name + "\nName: a\r\r\n", "2 of %: a carriage return that no line feed follows (lines end with LF or CR LF)"},
        {name + "\nName: \x1b[2J\n", "2 of %: the control character U+001B"},
        {name + "\nName: x\x7f\n", "2 of %: the control character U+007F"},
        {name + "\nName: x\xc2\x85\n", "2 of %: the control character U+0085"},
        {name + "\nName: a\tb\n", "2 of %: a tab inside the value of Name"},
    };
    for (const auto& c : cases) {
        ClearLog();
        bool ok = true;
        const VoiceMetadata m = Metadata(c.bytes, ok);
        EXPECT_FALSE(ok) << c.warning;
        EXPECT_STREQ(m.TokenKeyName, L"") << c.warning;
        std::string expected = std::string("[WARNING] Reading stopped at line ") + c.warning + "; voice not registered";
        const std::size_t at = expected.find('%');
        const std::vector<std::string> lines = LogLines();
        ASSERT_EQ(lines.size(), 1u) << c.warning;
        // The file's path stands where the % is.
        EXPECT_EQ(lines[0].substr(0, at), expected.substr(0, at));
        EXPECT_NE(lines[0].find("metaData.txt" + expected.substr(at + 1)), std::string::npos) << lines[0];
    }
}

TEST(Metadata, TabBetweenWordsOfALineWithoutAKeyIsNoValue) {
    bool ok = false;
    Metadata("Comment: a\tb\nno colon\there\nTokenKeyName: TTS_Mirelka_a\n", ok);
    EXPECT_TRUE(ok) << "only the values the voice uses are held to it";
}

TEST(Metadata, FolderHardLinkAndMissingFileAreNotRead) {
    ScratchFolder dir(L"metadata-kinds");
    VoiceMetadata m {};
    EXPECT_FALSE(ReadVoiceMetadata(dir / L"absent.txt", m));
    ASSERT_TRUE(plat::CreateOneDirectory(dir / L"folder"));
    EXPECT_FALSE(ReadVoiceMetadata(dir / L"folder", m));
    ASSERT_TRUE(plat::WriteWholeFile(dir / L"one.txt", "TokenKeyName: TTS_Mirelka_a\n"));
    EXPECT_TRUE(ReadVoiceMetadata(dir / L"one.txt", m));
    ASSERT_TRUE(plat::testing::AddHardLink(dir / L"two.txt", dir / L"one.txt"));
    EXPECT_FALSE(ReadVoiceMetadata(dir / L"one.txt", m));
    EXPECT_STREQ(m.TokenKeyName, L"");
}
