#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/testing.h"
#include "support/paths.h"
#include "unit/scratch.h"

namespace {

// Restores ProgramFiles after a test that changes it.
class ProgramFilesVariable : public ::testing::Test {
protected:
    void SetUp() override { saved_ = ExpandProgramFiles(); }
    void TearDown() override { plat::SetEnvironmentVariable(L"ProgramFiles", saved_.c_str()); }
    std::wstring saved_;
};

}  // namespace

TEST(Paths, InstallationPathsHangBelowProgramFiles) {
    const std::wstring pf = ExpandProgramFiles();
    ASSERT_TRUE(plat::IsAbsolutePath(pf));
    EXPECT_NE(pf.back(), L'\\');
    EXPECT_EQ(GetRootPath(), pf + L"\\Mirelka\\ZunSapi64");
    EXPECT_EQ(GetVoicesRootPath_Post(), pf + L"\\Mirelka\\ZunSapi64\\data_quelto\\voices");
}

TEST_F(ProgramFilesVariable, UndefinedVariableStaysInEveryPath) {
    plat::SetEnvironmentVariable(L"ProgramFiles", nullptr);
    EXPECT_EQ(GetRootPath(), L"%ProgramFiles%\\Mirelka\\ZunSapi64");
    EXPECT_EQ(GetVoicesRootPath_Post().rfind(L"%ProgramFiles%\\", 0), 0u);
    EXPECT_FALSE(plat::IsAbsolutePath(GetRootPath()));
}

TEST_F(ProgramFilesVariable, OverlongExpansionGivesAnEmptyPrefixNeverAFolder) {
    const std::wstring longValue = L"C:\\" + std::wstring(300, L'x');
    plat::SetEnvironmentVariable(L"ProgramFiles", longValue.c_str());
    EXPECT_EQ(ExpandProgramFiles(), L"");
    EXPECT_EQ(GetRootPath(), L"\\Mirelka\\ZunSapi64");
    EXPECT_FALSE(plat::IsAbsolutePath(GetRootPath())) << "callers must not act on it";
}

TEST(EnsureDirectoryExists, CreatesEveryMissingLevel) {
    ScratchFolder dir(L"ensure");
    EnsureDirectoryExists(dir / L"one\\two");
    EXPECT_TRUE(plat::GetFileAttributes(dir / L"one") & plat::kFileAttributeDirectory);
    EXPECT_TRUE(plat::GetFileAttributes(dir / L"one\\two") & plat::kFileAttributeDirectory);
    EnsureDirectoryExists(dir / L"one\\two");  // all present: nothing changes, nothing fails
    EXPECT_TRUE(Exists(dir / L"one\\two"));
}

TEST(EnsureDirectoryExists, TrailingBackslashCreatesTheLastFolder) {
    ScratchFolder dir(L"ensure-trailing");
    EnsureDirectoryExists(dir / L"last\\");
    EXPECT_TRUE(plat::GetFileAttributes(dir / L"last") & plat::kFileAttributeDirectory);
}

TEST(EnsureDirectoryExists, ForwardSlashesAreNoSeparators) {
    ScratchFolder dir(L"ensure-slash");
    EnsureDirectoryExists(dir / L"a/b");  // only the whole path is tried: its parent is missing
    EXPECT_FALSE(Exists(dir / L"a"));
    EnsureDirectoryExists(dir / L"c");
    EnsureDirectoryExists(dir / L"c/d");  // one level missing: that works
    EXPECT_TRUE(Exists(dir / L"c\\d"));
}

TEST(SetFilePermission, MissingFileIsLeftAlone) {
    ScratchFolder dir(L"perm-missing");
    SetFilePermission((dir / L"absent.txt").c_str());
    EXPECT_FALSE(Exists(dir / L"absent.txt"));
}

TEST(SetFilePermission, EveryoneGetsFullAccessAndNothingElseRemains) {
    if (plat::testing::RunningUnderWine())
        GTEST_SKIP() << "Wine keeps no file access lists: it turns them into Unix mode bits and reads back a "
                        "default list, so the list can only be checked on Windows and on the stand-in";
    ScratchFolder dir(L"perm");
    const std::wstring file = dir / L"metaData.txt";
    ASSERT_TRUE(plat::WriteWholeFile(file, "Name: x\n"));
    SetFilePermission(file.c_str());
    std::vector<plat::AceSummary> entries;
    ASSERT_TRUE(plat::GetFileAccessEntries(file, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, plat::kAccessAllowedAceType);
    EXPECT_EQ(entries[0].flags, 0);
    EXPECT_EQ(entries[0].sid, L"S-1-1-0");
    EXPECT_EQ(entries[0].mask & plat::kFileAllAccess, plat::kFileAllAccess);
}
