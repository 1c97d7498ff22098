#include <gtest/gtest.h>

#include "platform/files.h"
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
