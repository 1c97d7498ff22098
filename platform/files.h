// The file system, in the terms of the Win32 file functions.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace plat {

constexpr std::uint32_t kFileAttributeReadonly = 0x1;
constexpr std::uint32_t kFileAttributeHidden = 0x2;
constexpr std::uint32_t kFileAttributeSystem = 0x4;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeArchive = 0x20;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

// One entry of a directory listing (WIN32_FIND_DATAW, the parts used here).
struct FindData {
    std::uint32_t attributes = 0;
    std::wstring name;
};

struct FindState;
using FindHandle = FindState*;  // nullptr plays INVALID_HANDLE_VALUE

// FindFirstFileW / FindNextFileW / FindClose. The pattern is a folder followed
// by "\*" or "\*.*". The listing yields "." and ".." first, then the names in
// the order of the file system (alphabetical, ignoring case, on NTFS).
FindHandle FindFirstFile(const std::wstring& pattern, FindData& data);
bool FindNextFile(FindHandle handle, FindData& data);
void FindClose(FindHandle handle);

// Owns a listing, and closes it when it goes.
struct FindCloser {
    void operator()(FindHandle handle) const { FindClose(handle); }
};
using OwnedFind = std::unique_ptr<FindState, FindCloser>;

// _wmkdir: creates one folder; fails when it exists or its parent is missing.
bool CreateOneDirectory(const std::wstring& path);
bool DeleteFile(const std::wstring& path);
bool RemoveDirectory(const std::wstring& path);
bool SetFileAttributes(const std::wstring& path, std::uint32_t attributes);
std::uint32_t GetFileAttributes(const std::wstring& path);  // kInvalidFileAttributes when absent

// A file held open for appending as long as the object holds it: created when
// missing, shared for reading and writing with every other opener, never for
// deletion (CreateFileW without FILE_SHARE_DELETE), so that neither the file
// nor its folder can be deleted or renamed meanwhile. The stand-in holds a
// read lock on one byte far past the end, which its deletion honours as it
// honours a handle without delete sharing.
constexpr unsigned kAppendLockWaitMs = 2000;
struct AppendFileState;
class AppendFile {
public:
    AppendFile();
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens the file, letting go of the one held before.
    bool Open(const std::wstring& path);
    bool IsOpen() const;
    void Close();

    // Writes the bytes at the end with a single write call under a lock held
    // across processes: concurrent appenders never tear, overwrite or lose one
    // another's bytes, whatever the file system. The lock is waited for at most
    // kAppendLockWaitMs, and only once per object: after a wait that ran out,
    // and where the file system has no such locks, the bytes go without it
    // (Windows may then refuse the write, when another program has locked the
    // range, and the call fails with that cause). False, with nothing written,
    // when the file no longer has a name (removed by something that ignores the
    // hold, such as the host under Wine), so that the caller opens it again.
    bool Append(const std::string& bytes);

private:
    AppendFileState* state_;
};

// SetCurrentDirectoryW to the system folder (GetSystemDirectoryW). Every
// process holds its current folder open without delete sharing, so a run that
// deletes folders first leaves any of them. The stand-in changes to the
// sandbox's C:\Windows.
bool MoveCurrentFolderToSystemFolder();

// Reads a whole file as raw bytes, with sharing allowed. False when it cannot
// be opened or read.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);

// Creates (or replaces) a file with exactly these bytes.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

// A file opened for writing (CreateFileW with CREATE_ALWAYS: created anew,
// an existing file replaced). `shareRead` lets other programs read it meanwhile.
struct FileObject;
using FileHandle = FileObject*;  // nullptr plays INVALID_HANDLE_VALUE
FileHandle CreateFileForWriting(const std::wstring& path, bool shareRead);
// CreateFileW with CREATE_NEW: fails when anything, a link included, already
// has the name, so that a name planted in the folder is never followed.
FileHandle CreateNewFileForWriting(const std::wstring& path, bool shareRead);
bool WriteToFile(FileHandle file, const void* data, std::uint32_t bytes, std::uint32_t* written);
// FlushFileBuffers: the bytes written so far are on the disk when it returns.
bool FlushFile(FileHandle file);
bool CloseFile(FileHandle file);

// Owns a file opened for writing; CloseFile(owned.release()) closes it where
// the result of closing matters.
struct FileCloser {
    void operator()(FileHandle file) const { CloseFile(file); }
};
using UniqueFile = std::unique_ptr<FileObject, FileCloser>;

// GetTempFileNameW(folder, prefix, 0): a new empty file "<prefix>XXXX.TMP" in
// the folder; false when none can be made.
bool GetTempFileName(const std::wstring& folder, const wchar_t* prefix, std::wstring& path);

// MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: the
// file takes the new name in one step, replacing what was there, and the move
// is on the disk when it returns.
bool MoveFileReplacing(const std::wstring& from, const std::wstring& to);

// What a path names, seen without following a link at its end: nothing (the
// name or its folder missing), a plain file, a folder, or anything else (a
// link, a device, a pipe). A file's `volume` and `index` (the volume serial
// number and file index of GetFileInformationByHandle; on the stand-in the
// device and inode numbers) are the same for every name of it, and tell it
// from every other file.
enum class PathKind { Absent, File, Folder, Other };
struct PathFacts {
    PathKind kind = PathKind::Absent;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};
// Opens nothing but the entry's attributes (CreateFileW with
// FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT and
// FILE_FLAG_BACKUP_SEMANTICS), which no other program's sharing refuses.
// False, with the last error, when it cannot tell.
bool InspectPath(const std::wstring& path, PathFacts& facts);

// True for a path that names one place whatever the current folder and drive
// are: "X:\..." or "\\server\share\..." (and, on the stand-in, a host path
// starting with "/"). Paths the core composes are checked with it before they
// are listed or deleted.
bool IsAbsolutePath(const std::wstring& path);

}  // namespace plat

namespace plat {

// ERROR_DIRECTORY, and ERROR_NOT_A_REPARSE_POINT: an entry listed as a link
// whose handle, opened without following links, shows none (Wine 8 opens the
// target of a Unix link to a folder that way).
constexpr std::uint32_t kErrorDirectory = 267;
constexpr std::uint32_t kErrorNotAReparsePoint = 4390;

// A walk down a folder tree that never follows a link, even when the tree
// changes meanwhile. Each folder is opened with FILE_FLAG_OPEN_REPARSE_POINT |
// FILE_FLAG_BACKUP_SEMANTICS on its "\\?\" path (so neither MAX_PATH, nor the
// stripping of trailing dots and spaces, nor device names such as "aux" apply),
// checked through that handle and listed through it. The folders above the
// current one stay open without delete sharing, so none of them can be renamed
// or replaced by a link meanwhile. Entries are deleted through handles of their
// own (FileDispositionInfoEx with POSIX semantics and the read-only attribute
// ignored; where Windows lacks it, and on Wine, the read-only attribute is
// cleared through the same handle and FileDispositionInfo used). The stand-in
// keeps the same guarantees with openat, unlinkat and O_NOFOLLOW | O_DIRECTORY,
// holding one descriptor whatever the depth.
struct FolderWalkState;
class FolderWalk {
public:
    enum class Opened { Folder, Link, Failed };
    enum class Entered { Folder, NotAFolder, Failed };

    FolderWalk();
    ~FolderWalk();
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Opens and lists the top folder, a full path. Link: the path names a
    // link, which is left unopened. Failed: the last error says why.
    Opened Open(const std::wstring& folder);

    // The folders open, the top one included; 0 once the top one is left.
    std::size_t Depth() const;

    // The current folder's full path, as the caller wrote the top one.
    const std::wstring& CurrentPath() const;

    // The current folder's entries without "." and "..", as listed when it was
    // opened.
    const std::vector<FindData>& Entries() const;

    // Opens entry `index` of the current folder as a folder, lists it and makes
    // it current. NotAFolder: the handle shows a file or a link, whatever the
    // listing said; nothing was opened.
    Entered Enter(std::size_t index);

    // Deletes entry `index` of the current folder, a file or a link (the link
    // itself), through a handle of its own; read-only entries too. False with
    // the last error: 32 when another program holds it, kErrorDirectory when
    // it turned out to be a folder, kErrorNotAReparsePoint when a link could
    // only be opened through.
    bool DeleteEntry(std::size_t index);

    // Moves folder entry `index` of the current folder, the entry itself and
    // never what a link leads to, into the top folder as `newName`, and adds it
    // to the end of the top folder's entries, so that the walk reaches it from
    // there. An existing entry of that name is never replaced (false, kErrorAlreadyExists).
    // False with the last error when nothing was moved; kErrorDirectory when
    // the entry turned out not to be a folder.
    bool MoveEntryToTop(std::size_t index, const std::wstring& newName);

    // Renames entry `index` of the current folder, a file (never what a link
    // leads to), to `newName` in the same folder, through a handle of its own;
    // the listing keeps its old name. Windows renames a running program's
    // image or a file held with delete sharing, which it cannot delete. An
    // existing entry of that name is never replaced. False with the last error.
    bool RenameEntry(std::size_t index, const std::wstring& newName);

    // Makes the parent folder current; with `remove`, first deletes the
    // current folder (empty by then) through its own handle, its read-only
    // attribute cleared. False when it was not deleted, or the parent could
    // not be reached again (the walk then ends).
    bool Leave(bool remove);

private:
    FolderWalkState* state_;
};

// MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT): the entry is deleted
// when the machine next starts (a folder only if it is empty by then). The
// full path is taken exactly as given, never normalised again, so that an
// entry named "held." or "aux" is the one scheduled. Windows
// records it in HKLM\SYSTEM\CurrentControlSet\Control\Session Manager, value
// PendingFileRenameOperations; the stand-in records it there the same way.
bool ScheduleDeleteAtRestart(const std::wstring& path);

// A file opened for reading (CreateFileW with GENERIC_READ, every kind of
// sharing and FILE_FLAG_OPEN_REPARSE_POINT), read in pieces so that its size
// never decides the memory spent. A link at the end of the path is refused,
// never read through, and so is anything but a plain file (a folder, a device,
// a pipe that would block the run).
struct FileReaderState;
class FileReader {
public:
    FileReader();
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool Open(const std::wstring& path);
    // Up to `capacity` bytes into `buffer`; `read` is 0 at the end of the file.
    bool Read(char* buffer, std::uint32_t capacity, std::uint32_t& read);

private:
    FileReaderState* state_;
};

// A file opened once, as itself, so that the file that is checked is the one
// whose access list is set and whose bytes are read: CreateFileW with
// FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS and every kind of
// sharing (the stand-in: O_NOFOLLOW | O_NONBLOCK, never waiting for a pipe's
// writer). Only a plain file with a single name is kept open: a link is never
// followed, and a folder, a device or a pipe is refused, as is a file with
// more than one hard link (another of its names may be a system file, which
// must never receive the access list meant for this one). The facts come from
// the handle (GetFileInformationByHandle: FILE_ATTRIBUTE_REPARSE_POINT,
// FILE_ATTRIBUTE_DIRECTORY, nNumberOfLinks; the stand-in's fstat: S_ISREG,
// st_nlink).
struct PlainFileState;
class PlainFile {
public:
    enum class Opened { File, Failed, Link, Folder, NotAFile, MoreThanOneLink };
    enum class Access { Read, ReadAndSetAccessList };

    PlainFile();
    ~PlainFile();
    PlainFile(const PlainFile&) = delete;
    PlainFile& operator=(const PlainFile&) = delete;

    // Failed: the last error says why; every other refusal leaves nothing open.
    Opened Open(const std::wstring& path, Access access);
    // The names the file had when it was refused or opened (MoreThanOneLink).
    std::uint32_t LinkCount() const;
    // SetSecurityInfo on the handle (the stand-in: the descriptor's permission
    // bits through fchmod); a DACL replaces the file's list whole, inheriting
    // nothing from the folder. Needs Access::ReadAndSetAccessList.
    bool SetSecurity(std::uint32_t information, void* descriptor);
    // Up to `capacity` bytes into `buffer`; `read` is 0 at the end of the file.
    bool Read(char* buffer, std::uint32_t capacity, std::uint32_t& read);

private:
    PlainFileState* state_;
};

}  // namespace plat
