// The file system, in the terms of the Win32 file functions.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

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

// _wmkdir: creates one folder; fails when it exists or its parent is missing.
bool CreateOneDirectory(const std::wstring& path);
bool DeleteFile(const std::wstring& path);
bool RemoveDirectory(const std::wstring& path);
bool SetFileAttributes(const std::wstring& path, std::uint32_t attributes);
std::uint32_t GetFileAttributes(const std::wstring& path);  // kInvalidFileAttributes when absent

// Opens the file for appending (created when missing, shared with every other
// opener), writes the bytes with a single write call and closes it. Two
// processes appending at once never interleave within one call's bytes.
bool AppendToFile(const std::wstring& path, const std::string& bytes);

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

// True for a path that names one place whatever the current folder and drive
// are: "X:\..." or "\\server\share\..." (and, on the stand-in, a host path
// starting with "/"). Paths the core composes are checked with it before they
// are listed or deleted.
bool IsAbsolutePath(const std::wstring& path);

}  // namespace plat
