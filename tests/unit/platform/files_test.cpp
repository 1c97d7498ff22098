#include <gtest/gtest.h>

#include <vector>

#include "platform/files.h"
#include "platform/security.h"
#include "platform/testing.h"
#include "platform/types.h"
#include "support/paths.h"
#include "unit/scratch.h"

namespace {

std::vector<plat::FindData> List(const std::wstring& folder) {
    std::vector<plat::FindData> entries;
    plat::FindData entry;
    plat::FindHandle h = plat::FindFirstFile(folder + L"\\*.*", entry);
    if (h == nullptr) return entries;
    do entries.push_back(entry);
    while (plat::FindNextFile(h, entry));
    plat::FindClose(h);
    return entries;
}

}  // namespace

TEST(Files, ListingGivesDotEntriesFirstThenNamesInOrder) {
    ScratchFolder dir(L"listing");
    ASSERT_TRUE(plat::CreateOneDirectory(dir / L"beta"));
    ASSERT_TRUE(plat::WriteWholeFile(dir / L"Alpha.txt", "a"));
    ASSERT_TRUE(plat::CreateOneDirectory(dir / L"gamma"));
    const auto entries = List(dir.path());
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].name, L".");
    EXPECT_EQ(entries[1].name, L"..");
    EXPECT_EQ(entries[2].name, L"Alpha.txt");
    EXPECT_EQ(entries[3].name, L"beta");
    EXPECT_EQ(entries[4].name, L"gamma");
    EXPECT_FALSE(entries[2].attributes & plat::kFileAttributeDirectory);
    EXPECT_TRUE(entries[3].attributes & plat::kFileAttributeDirectory);
}

TEST(Files, ListingAMissingFolderFails) {
    ScratchFolder dir(L"missing");
    plat::FindData entry;
    EXPECT_EQ(plat::FindFirstFile(dir / L"nothing\\*", entry), nullptr);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorPathNotFound);
}

TEST(Files, CreateOneDirectoryNeedsItsParentAndFailsWhenPresent) {
    ScratchFolder dir(L"mkdir");
    EXPECT_FALSE(plat::CreateOneDirectory(dir / L"a\\b"));
    EXPECT_TRUE(plat::CreateOneDirectory(dir / L"a"));
    EXPECT_FALSE(plat::CreateOneDirectory(dir / L"a"));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAlreadyExists);
}

TEST(Files, ReadOnlyFileIsDeletedOnlyAfterItsAttributesAreCleared) {
    ScratchFolder dir(L"readonly");
    const std::wstring file = dir / L"locked.txt";
    ASSERT_TRUE(plat::WriteWholeFile(file, "x"));
    ASSERT_TRUE(plat::SetFileAttributes(file, plat::kFileAttributeReadonly));
    EXPECT_TRUE(plat::GetFileAttributes(file) & plat::kFileAttributeReadonly);
    EXPECT_FALSE(plat::DeleteFile(file));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAccessDenied);
    ASSERT_TRUE(plat::SetFileAttributes(file, plat::kFileAttributeNormal));
    EXPECT_TRUE(plat::DeleteFile(file));
    EXPECT_FALSE(Exists(file));
}

TEST(Files, FolderIsRemovedOnlyWhenEmpty) {
    ScratchFolder dir(L"rmdir");
    ASSERT_TRUE(plat::CreateOneDirectory(dir / L"sub"));
    ASSERT_TRUE(plat::WriteWholeFile(dir / L"sub\\f", ""));
    EXPECT_FALSE(plat::RemoveDirectory(dir / L"sub"));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorDirNotEmpty);
    EXPECT_FALSE(plat::DeleteFile(dir / L"sub")) << "a folder is not deleted as a file";
    ASSERT_TRUE(plat::DeleteFile(dir / L"sub\\f"));
    EXPECT_TRUE(plat::RemoveDirectory(dir / L"sub"));
}

TEST(Files, AppendAddsToTheEndAndCreatesTheFile) {
    ScratchFolder dir(L"append");
    const std::wstring file = dir / L"log.txt";
    ASSERT_TRUE(plat::WriteWholeFile(file, "zero\r\n"));
    plat::AppendFile first, second;
    ASSERT_TRUE(first.Open(file));
    ASSERT_TRUE(second.Open(file)) << "appenders share the file";
    ASSERT_TRUE(first.Append("one\r\n"));
    ASSERT_TRUE(second.Append("two\r\n"));
    ASSERT_TRUE(first.Append("three\r\n"));
    EXPECT_EQ(ReadBytes(file), "zero\r\none\r\ntwo\r\nthree\r\n");
    EXPECT_FALSE(plat::AppendFile().Open(dir / L"no\\such\\folder.txt"));
}

TEST(Files, AFileHeldForAppendingCannotBeDeletedUntilLetGo) {
    ScratchFolder dir(L"append-held");
    const std::wstring file = dir / L"log.txt";
    plat::AppendFile log;
    ASSERT_TRUE(log.Open(file));
    EXPECT_FALSE(plat::DeleteFile(file));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorSharingViolation);
    ASSERT_TRUE(log.Append("kept\r\n"));
    EXPECT_EQ(ReadBytes(file), "kept\r\n");
    log.Close();
    EXPECT_TRUE(plat::DeleteFile(file));
}

TEST(Files, WholeFileRoundTripKeepsEveryByte) {
    ScratchFolder dir(L"bytes");
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    ASSERT_TRUE(plat::WriteWholeFile(dir / L"all.bin", bytes));
    std::string back;
    ASSERT_TRUE(plat::ReadWholeFile(dir / L"all.bin", back));
    EXPECT_EQ(back, bytes);
    EXPECT_FALSE(plat::ReadWholeFile(dir / L"absent.bin", back));
}

TEST(Files, AbsolutePathsNameOnePlaceWhateverTheCurrentFolder) {
    EXPECT_TRUE(plat::IsAbsolutePath(L"C:\\Program Files\\Mirelka"));
    EXPECT_TRUE(plat::IsAbsolutePath(L"\\\\server\\share\\x"));
    EXPECT_FALSE(plat::IsAbsolutePath(L"\\Mirelka\\ZunSapi64"));
    EXPECT_FALSE(plat::IsAbsolutePath(L"%ProgramFiles%\\Mirelka"));
    EXPECT_FALSE(plat::IsAbsolutePath(L"C:relative"));
    EXPECT_FALSE(plat::IsAbsolutePath(L""));
}

TEST(Files, WalkMovesAFolderUpOnlyToAFreeName) {
    ScratchFolder top(L"walkmove");
    EnsureDirectoryExists(top / L"a\\b\\c");
    plat::WriteWholeFile(top / L"a\\b\\c\\leaf.txt", "x");
    plat::WriteWholeFile(top / L"a\\file.txt", "x");
    plat::WriteWholeFile(top / L"taken", "kept");
    plat::FolderWalk walk;
    ASSERT_EQ(walk.Open(top.path()), plat::FolderWalk::Opened::Folder);
    ASSERT_EQ(walk.Enter(0), plat::FolderWalk::Entered::Folder);  // "a": b, file.txt
    ASSERT_EQ(walk.Entries().size(), 2u);
    EXPECT_FALSE(walk.MoveEntryToTop(1, L"moved")) << "a file is never moved";
    EXPECT_EQ(plat::GetLastError(), plat::kErrorDirectory);
    EXPECT_FALSE(walk.MoveEntryToTop(0, L"taken"));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorAlreadyExists);
    EXPECT_EQ(ReadBytes(top / L"taken"), "kept");
    EXPECT_TRUE(Exists(top / L"a\\b\\c\\leaf.txt"));
    ASSERT_TRUE(walk.MoveEntryToTop(0, L"moved"));
    EXPECT_EQ(ReadBytes(top / L"moved\\c\\leaf.txt"), "x");
    EXPECT_FALSE(Exists(top / L"a\\b"));
    ASSERT_TRUE(walk.Leave(false));
    ASSERT_EQ(walk.Entries().size(), 3u);
    EXPECT_EQ(walk.Entries().back().name, L"moved");
    EXPECT_EQ(walk.Enter(2), plat::FolderWalk::Entered::Folder) << "the walk reaches it from the top";
}

TEST(PlainFile, OnlyAPlainFileWithOneNameIsKeptOpen) {
    ScratchFolder dir(L"plainfile");
    ASSERT_TRUE(plat::WriteWholeFile(dir / L"one.txt", "abc"));
    ASSERT_TRUE(plat::CreateOneDirectory(dir / L"folder"));
    using Opened = plat::PlainFile::Opened;
    plat::PlainFile file;
    EXPECT_EQ(file.Open(dir / L"absent.txt", plat::PlainFile::Access::Read), Opened::Failed);
    EXPECT_EQ(plat::GetLastError(), plat::kErrorFileNotFound);
    EXPECT_EQ(file.Open(dir / L"folder", plat::PlainFile::Access::ReadAndSetAccessList), Opened::Folder);
    ASSERT_EQ(file.Open(dir / L"one.txt", plat::PlainFile::Access::Read), Opened::File);
    char buffer[8] = {};
    std::uint32_t read = 0;
    ASSERT_TRUE(file.Read(buffer, sizeof buffer, read));
    EXPECT_EQ(std::string(buffer, read), "abc");
    ASSERT_TRUE(plat::testing::AddHardLink(dir / L"two.txt", dir / L"one.txt"));
    EXPECT_EQ(file.Open(dir / L"one.txt", plat::PlainFile::Access::ReadAndSetAccessList), Opened::MoreThanOneLink);
    EXPECT_EQ(file.LinkCount(), 2u);
    EXPECT_FALSE(file.Read(buffer, sizeof buffer, read)) << "nothing stays open after a refusal";
    if (plat::testing::RunningUnderWine()) return;  // Wine's CreateSymbolicLinkW creates nothing
    ASSERT_TRUE(plat::testing::CreateLink(dir / L"link.txt", dir / L"folder", false));
    EXPECT_EQ(file.Open(dir / L"link.txt", plat::PlainFile::Access::Read), Opened::Link);
}

TEST(PlainFile, AccessListGoesOnTheFileThroughItsHandle) {
    if (plat::testing::RunningUnderWine())
        GTEST_SKIP() << "Wine keeps no file access lists: it turns them into Unix mode bits and reads back a "
                        "default list, so the list can only be checked on Windows and on the stand-in";
    ScratchFolder dir(L"plainfile-acl");
    ASSERT_TRUE(plat::WriteWholeFile(dir / L"metaData.txt", "x"));
    plat::PlainFile file;
    ASSERT_EQ(file.Open(dir / L"metaData.txt", plat::PlainFile::Access::ReadAndSetAccessList), plat::PlainFile::Opened::File);
    ASSERT_TRUE(SetFilePermission(file));
    std::vector<plat::AceSummary> entries;
    ASSERT_TRUE(plat::GetFileAccessEntries(dir / L"metaData.txt", entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].sid, L"S-1-1-0");
    EXPECT_EQ(entries[0].mask & plat::kFileAllAccess, plat::kFileAllAccess);
}
