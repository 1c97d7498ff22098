#include <gtest/gtest.h>

#include <cwchar>
#include <vector>

#include "platform/environment.h"
#include "platform/files.h"

namespace {

std::wstring Expand(const wchar_t* text) {
    std::vector<wchar_t> buffer(4096, L'\0');
    const std::uint32_t n = plat::ExpandEnvironmentStrings(text, buffer.data(), 4096);
    EXPECT_EQ(n, std::wcslen(buffer.data()) + 1) << "the count includes the terminating NUL";
    return buffer.data();
}

class Environment : public ::testing::Test {
protected:
    void SetUp() override { plat::SetEnvironmentVariable(L"PENDREL_TEST_VAR", L"value"); }
    void TearDown() override { plat::SetEnvironmentVariable(L"PENDREL_TEST_VAR", nullptr); }
};

}  // namespace

TEST_F(Environment, DefinedReferencesAreReplacedWhateverTheirCase) {
    EXPECT_EQ(Expand(L"a%PENDREL_TEST_VAR%b"), L"avalueb");
    EXPECT_EQ(Expand(L"%pendrel_test_var%"), L"value");
    EXPECT_EQ(Expand(L"plain text"), L"plain text");
    EXPECT_EQ(Expand(L""), L"");
}

TEST_F(Environment, UndefinedAndBrokenReferencesStayAsWritten) {
    EXPECT_EQ(Expand(L"%PENDREL_UNDEFINED%\\x"), L"%PENDREL_UNDEFINED%\\x");
    EXPECT_EQ(Expand(L"100%%"), L"100%%");
    EXPECT_EQ(Expand(L"%PENDREL_TEST_VAR"), L"%PENDREL_TEST_VAR");
    // An undefined reference is kept whole; the scan goes on after it.
    EXPECT_EQ(Expand(L"%PENDREL_UNDEFINED%PENDREL_TEST_VAR%"), L"%PENDREL_UNDEFINED%PENDREL_TEST_VAR%");
    EXPECT_EQ(Expand(L"%PENDREL_UNDEFINED%%PENDREL_TEST_VAR%"), L"%PENDREL_UNDEFINED%value");
}

TEST_F(Environment, TooSmallBufferGetsTheSizeNeeded) {
    wchar_t small[4] = {};
    EXPECT_EQ(plat::ExpandEnvironmentStrings(L"%PENDREL_TEST_VAR%!", small, 4), 7u);
    wchar_t exact[7] = {};
    EXPECT_EQ(plat::ExpandEnvironmentStrings(L"%PENDREL_TEST_VAR%!", exact, 7), 7u);
    EXPECT_EQ(std::wstring(exact), L"value!");
}

TEST_F(Environment, RemovedVariableIsNoLongerExpanded) {
    plat::SetEnvironmentVariable(L"PENDREL_TEST_VAR", nullptr);
    EXPECT_EQ(Expand(L"%PENDREL_TEST_VAR%"), L"%PENDREL_TEST_VAR%");
}

TEST(WellKnownFolders, ProgramFilesAndLocalAppDataAreAbsolute) {
    EXPECT_TRUE(plat::IsAbsolutePath(Expand(L"%ProgramFiles%")));
    wchar_t folder[plat::kMaxPath] = {};
    ASSERT_GE(plat::GetLocalAppDataFolder(folder), 0);
    const std::wstring local = folder;
    EXPECT_TRUE(plat::IsAbsolutePath(local));
    EXPECT_NE(local.back(), L'\\');
    EXPECT_NE(local.find(L"AppData\\Local"), std::wstring::npos) << std::string(local.begin(), local.end());
}

TEST(WellKnownFolders, TempPathEndsWithABackslash) {
    wchar_t buffer[plat::kMaxPath] = {};
    const std::uint32_t n = plat::GetTempPath(plat::kMaxPath, buffer);
    ASSERT_GT(n, 3u);
    EXPECT_EQ(n, std::wcslen(buffer));
    EXPECT_EQ(buffer[n - 1], L'\\');
    EXPECT_TRUE(plat::IsAbsolutePath(buffer));
    wchar_t tiny[2] = {};
    EXPECT_EQ(plat::GetTempPath(2, tiny), n + 1) << "too small: the size needed, NUL included";
}

TEST(Machine, NativeMachineIsX64OrArm64AndTheTestsCanNameIt) {
    const std::uint16_t own = plat::NativeMachine();
    EXPECT_TRUE(own == plat::kImageFileMachineAmd64 || own == plat::kImageFileMachineArm64) << own;
    plat::OverrideNativeMachineForTesting(plat::kImageFileMachineArm64);
    EXPECT_EQ(plat::NativeMachine(), plat::kImageFileMachineArm64);
    plat::OverrideNativeMachineForTesting(0);
    EXPECT_EQ(plat::NativeMachine(), own) << "0 gives the machine its own answer back";
}
