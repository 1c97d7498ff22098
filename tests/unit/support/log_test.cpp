#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/testing.h"
#include "support/log.h"
#include "support/paths.h"
#include "unit/log_support.h"
#include "unit/scratch.h"

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t local[plat::kMaxPath] = {};
        ASSERT_GE(plat::GetLocalAppDataFolder(local), 0);
        folder_ = std::wstring(local) + L"\\Mirelka";
        CloseLogFile();
        RemoveTreeForTest(folder_);  // this test machine's own log
    }
    void TearDown() override {
        CloseLogFile();
        RemoveTreeForTest(folder_);
    }
    std::string Contents() const { return ReadBytes(folder_ + L"\\ZunSapi64\\log_zunsapi.txt"); }
    std::wstring folder_;
};

const std::string kStamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )";

}  // namespace

TEST_F(LogFile, FirstLineCreatesTheFoldersAndTheFile) {
    EXPECT_FALSE(Exists(folder_));
    WriteLogLine(L"INFO", L"Run Pendrel");
    EXPECT_TRUE(plat::GetFileAttributes(folder_ + L"\\ZunSapi64") & plat::kFileAttributeDirectory);
    EXPECT_EQ(GetLogFilePath(), folder_ + L"\\ZunSapi64\\log_zunsapi.txt");
    EXPECT_TRUE(std::regex_match(Contents(), std::regex(kStamp + R"(\[INFO\] Run Pendrel\r\n)")));
}

TEST_F(LogFile, LinesAreAppendedInCallOrderAfterEarlierContent) {
    EnsureDirectoryExists(folder_ + L"\\ZunSapi64");
    ASSERT_TRUE(plat::WriteWholeFile(folder_ + L"\\ZunSapi64\\log_zunsapi.txt", "earlier run\r\n"));
    WriteLogLine(L"INFO", L"first");
    WriteLogLine(L"ERROR", L"second");
    EXPECT_TRUE(std::regex_match(
        Contents(), std::regex("earlier run\r\n" + kStamp + R"(\[INFO\] first\r\n)" + kStamp + R"(\[ERROR\] second\r\n)")));
}

TEST_F(LogFile, TheFileAndItsFolderCannotBeRemovedWhileTheRunWritesSoNoLineIsLost) {
    WriteLogLine(L"INFO", L"first");
    RemoveTreeForTest(folder_);
    EXPECT_TRUE(Exists(folder_ + L"\\ZunSapi64\\log_zunsapi.txt"));
    WriteLogLine(L"INFO", L"second");
    EXPECT_TRUE(std::regex_match(Contents(), std::regex(kStamp + R"(\[INFO\] first\r\n)" + kStamp + R"(\[INFO\] second\r\n)")));
}

TEST_F(LogFile, AFolderRemovedOnceTheFileIsLetGoIsMadeAgainForTheNextLine) {
    WriteLogLine(L"INFO", L"first");
    CloseLogFile();
    RemoveTreeForTest(folder_);
    ASSERT_FALSE(Exists(folder_));
    WriteLogLine(L"INFO", L"second");
    EXPECT_TRUE(std::regex_match(Contents(), std::regex(kStamp + R"(\[INFO\] second\r\n)")));
}

TEST_F(LogFile, EmptyLevelAndEmptyMessageKeepTheLineShape) {
    WriteLogLine(L"", L"message");
    WriteLogLine(L"INFO", L"");
    EXPECT_TRUE(std::regex_match(Contents(), std::regex(kStamp + R"(\[\] message\r\n)" + kStamp + R"(\[INFO\] \r\n)")));
}

TEST_F(LogFile, ControlCharactersAreShownEscapedSoALineIsNeverForged) {
    WriteLogLine(L"INFO", L"/username=a\n[2099-01-01 00:00:00] [ERROR] injected");
    WriteLogLine(L"ERR\rOR", L"tab\there\x1b[31m del\x7f nel\x85 \x01");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "[INFO] /username=a\\x0A[2099-01-01 00:00:00] [ERROR] injected",
                              "[ERR\\x0DOR] tab\\x09here\\x1B[31m del\\x7F nel\\x85 \\x01"}));
}

TEST_F(LogFile, TextIsLatin1WithAQuestionMarkBeyondIt) {
    WriteLogLine(L"INFO", L"arranc\u00f3 \u4e2d \U0001F600 \u202Eend");
    const std::string text = Contents();
    EXPECT_NE(text.find("] arranc\xf3 ? ? \\u202Eend\r\n"), std::string::npos) << text;
}

TEST(LogEncoding, EveryByteOfTheLatin1Range) {
    std::wstring all;
    for (wchar_t c = 0x20; c <= 0xFF; ++c)
        if (c < 0x7F || c > 0x9F) all += c;
    const std::string bytes = EncodeLogText(all);
    ASSERT_EQ(bytes.size(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(bytes[i]), static_cast<unsigned>(all[i]));
}

TEST(LogWithoutProfile, EachLineReportsOnStandardErrorAndIsDropped) {
    if (!plat::testing::IsStandIn())
        GTEST_SKIP() << "Windows and Wine always resolve the profile's local application data folder; the stand-in "
                        "models a profile without one by a machine without LOCALAPPDATA";
    plat::SetEnvironmentVariable(L"LOCALAPPDATA", nullptr);
    ::testing::internal::CaptureStderr();
    WriteLogLine(L"INFO", L"one");
    WriteLogLine(L"INFO", L"two");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error getting path to LOCALAPPDATA.\nError getting path to LOCALAPPDATA.\n");
    EXPECT_EQ(GetLogFilePath(), L"");
}
