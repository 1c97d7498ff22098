#include "platform/files.h"
#include "platform/testing.h"
#include "platform/win32/win32.h"

#include <cstddef>
#include <cstring>
#include <cwctype>
#include <utility>
#include <vector>

namespace plat {

namespace {
// GetFullPathNameW: the path with "." and ".." resolved and the current
// folder and drive applied; the path itself when that fails.
std::wstring FullPathName(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring buffer(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr);
    return length > 0 && length < needed ? buffer.substr(0, length) : path;
}
}  // namespace

std::wstring LongPathForm(const std::wstring& path) {
    const bool full = path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
    const bool unc = path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.';
    if (!full && !unc) return path;
    // The "\\?\" form is taken literally: "." and ".." are resolved first.
    const std::wstring resolved = FullPathName(path);
    if (resolved.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + resolved.substr(2);
    return L"\\\\?\\" + resolved;
}

struct FindState {
    HANDLE handle;
};

namespace {
void Fill(const WIN32_FIND_DATAW& raw, FindData& data) {
    data.attributes = raw.dwFileAttributes;
    data.name = raw.cFileName;
}
}  // namespace

FindHandle FindFirstFile(const std::wstring& pattern, FindData& data) {
    WIN32_FIND_DATAW raw {};
    // Voice folders may lie deeper than MAX_PATH.
    HANDLE h = ::FindFirstFileW(LongPathForm(pattern).c_str(), &raw);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    Fill(raw, data);
    return new FindState {h};
}

bool FindNextFile(FindHandle handle, FindData& data) {
    if (handle == nullptr) return false;
    WIN32_FIND_DATAW raw {};
    if (!::FindNextFileW(handle->handle, &raw)) return false;
    Fill(raw, data);
    return true;
}

void FindClose(FindHandle handle) {
    if (handle == nullptr) return;
    ::FindClose(handle->handle);
    delete handle;
}

bool CreateOneDirectory(const std::wstring& path) { return ::CreateDirectoryW(path.c_str(), nullptr) != 0; }
bool DeleteFile(const std::wstring& path) { return ::DeleteFileW(path.c_str()) != 0; }
bool RemoveDirectory(const std::wstring& path) { return ::RemoveDirectoryW(path.c_str()) != 0; }
bool SetFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    return ::SetFileAttributesW(path.c_str(), attributes) != 0;
}
std::uint32_t GetFileAttributes(const std::wstring& path) { return ::GetFileAttributesW(LongPathForm(path).c_str()); }

namespace {
// The range every appender locks: far beyond any real log's end, so that the
// lock (mandatory on Windows) never stands in the way of a reader.
constexpr DWORD kAppendLockOffsetHigh = 0x7FFFFFFF;

// Waits for the range at most kAppendLockWaitMs, or, once a wait has run out
// in this run, only tries it: a writer stuck while holding it, or a program
// locking the whole log, must never hold the run up. Where LockFileEx fails
// outright (a redirector without byte-range locks), the write goes without it.
class AppendLock {
public:
    AppendLock(HANDLE file, bool& stuck) : file_(file) {
        overlapped_.OffsetHigh = kAppendLockOffsetHigh;
        const ULONGLONG deadline = ::GetTickCount64() + (stuck ? 0 : kAppendLockWaitMs);
        for (;;) {
            locked_ = ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &overlapped_) != 0;
            if (locked_) return;
            const DWORD error = ::GetLastError();
            if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return;
            if (::GetTickCount64() >= deadline) {
                stuck = true;
                return;
            }
            ::Sleep(10);
        }
    }
    ~AppendLock() {
        if (locked_) ::UnlockFileEx(file_, 0, 1, 0, &overlapped_);
    }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;
    bool locked() const { return locked_; }

private:
    HANDLE file_;
    OVERLAPPED overlapped_ {};
    bool locked_ = false;
};

// A handle closed when it goes out of scope.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    OwnedHandle(OwnedHandle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (valid()) {
            const DWORD error = ::GetLastError();  // closing must not hide the cause of a failure
            ::CloseHandle(h_);
            ::SetLastError(error);
        }
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};
}  // namespace

struct AppendFileState {
    OwnedHandle file;
    bool lockStuck = false;
};

AppendFile::AppendFile() : state_(new AppendFileState) {}
AppendFile::~AppendFile() { delete state_; }

bool AppendFile::Open(const std::wstring& path) {
    Close();
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end.
    // Read access is what LockFileEx needs from the handle. No FILE_SHARE_DELETE:
    // while the handle is open, every open asking for delete access fails with
    // ERROR_SHARING_VIOLATION, so the file cannot be deleted or renamed, and
    // its folder, not empty, cannot be removed; no line written meanwhile is lost.
    state_->file = OwnedHandle(::CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    return state_->file.valid();
}

bool AppendFile::IsOpen() const { return state_->file.valid(); }

void AppendFile::Close() { state_->file = OwnedHandle(); }

bool AppendFile::Append(const std::string& bytes) {
    const HANDLE file = state_->file.get();
    if (!state_->file.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Windows never lets the name go while the handle is held; under Wine the
    // host can. A file without a name would take the lines with it.
    FILE_STANDARD_INFO standard {};
    if (::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
        (standard.NumberOfLinks == 0 || standard.DeletePending)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    // Appending is atomic on a local NTFS volume, but not on a network share
    // nor under every emulation of Windows: the lock, held across processes,
    // keeps concurrent writers from landing on the same offset.
    AppendLock lock(file, state_->lockStuck);
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    const DWORD error = ::GetLastError();
    if (!ok || written != bytes.size()) {
        ::SetLastError(ok ? ERROR_DISK_FULL : error);
        return false;
    }
    return true;
}

namespace testing {
bool AppendInTwoWritesUnderLock(const std::wstring& path, const std::string& first, const std::string& second,
                                unsigned pauseMs) {
    const OwnedHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    bool stuck = false;
    const AppendLock lock(file.get(), stuck);
    if (!lock.locked()) return false;
    DWORD written = 0;
    if (!::WriteFile(file.get(), first.data(), static_cast<DWORD>(first.size()), &written, nullptr)) return false;
    ::Sleep(pauseMs);
    return ::WriteFile(file.get(), second.data(), static_cast<DWORD>(second.size()), &written, nullptr) != 0;
}
}  // namespace testing

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string content;
    char chunk[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, chunk, sizeof chunk, &n, nullptr)) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(h);
            ::SetLastError(error);
            return false;
        }
        if (n == 0) break;
        content.append(chunk, n);
    }
    ::CloseHandle(h);
    bytes.swap(content);
    return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    const DWORD error = ::GetLastError();
    ::CloseHandle(h);
    if (!ok || written != bytes.size()) {
        ::SetLastError(ok ? ERROR_DISK_FULL : error);
        return false;
    }
    return true;
}

struct FileObject {
    HANDLE handle;
};

namespace {
FileHandle OpenForWriting(const std::wstring& path, bool shareRead, DWORD disposition) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, shareRead ? FILE_SHARE_READ : 0, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : new FileObject {h};
}
}  // namespace

FileHandle CreateFileForWriting(const std::wstring& path, bool shareRead) {
    return OpenForWriting(path, shareRead, CREATE_ALWAYS);
}

FileHandle CreateNewFileForWriting(const std::wstring& path, bool shareRead) {
    // CREATE_NEW fails with ERROR_FILE_EXISTS on any existing name, a symbolic
    // link or junction included, and never opens what it points to.
    return OpenForWriting(path, shareRead, CREATE_NEW);
}

bool WriteToFile(FileHandle file, const void* data, std::uint32_t bytes, std::uint32_t* written) {
    DWORD n = 0;
    const BOOL ok = ::WriteFile(file->handle, data, bytes, &n, nullptr);
    if (written) *written = n;
    return ok != 0;
}

bool FlushFile(FileHandle file) {
    if (file == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::FlushFileBuffers(file->handle) != 0;
}

bool CloseFile(FileHandle file) {
    if (file == nullptr) return false;
    const BOOL ok = ::CloseHandle(file->handle);
    delete file;
    return ok != 0;
}

bool GetTempFileName(const std::wstring& folder, const wchar_t* prefix, std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    if (::GetTempFileNameW(folder.c_str(), prefix, 0, buffer) == 0) return false;
    path = buffer;
    return true;
}

bool MoveFileReplacing(const std::wstring& from, const std::wstring& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool InspectPath(const std::wstring& path, PathFacts& facts) {
    facts = PathFacts();
    OwnedHandle entry(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!entry.valid()) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    // A console, NUL, a pipe or a port: no file of the disk's.
    if (::GetFileType(entry.get()) != FILE_TYPE_DISK) {
        facts.kind = PathKind::Other;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info {};
    if (!::GetFileInformationByHandle(entry.get(), &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) facts.kind = PathKind::Other;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) facts.kind = PathKind::Folder;
    else facts.kind = PathKind::File;
    facts.volume = info.dwVolumeSerialNumber;
    facts.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool IsAbsolutePath(const std::wstring& path) {
    if (path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    return path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
}

// -- The folder walk ----------------------------------------------------------

namespace {


// The class and flags of FileDispositionInfoEx, by value: the SDK declares them
// only for newer target versions, while the program runs on older ones too.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1, kDispositionPosixSemantics = 0x2, kDispositionIgnoreReadOnly = 0x10;
struct DispositionInfoEx {
    DWORD flags;
};

constexpr DWORD kNoFollow = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD kFolderAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// DELETE alone does for the POSIX deletion and for a rename. Everyone may
// change metaData.txt's access list, and so deny FILE_WRITE_ATTRIBUTES on it,
// which no right on the folder overrides: a handle asking for it could then
// neither delete nor rename the file. DELETE is granted all the same through
// FILE_DELETE_CHILD on the folder, FILE_READ_ATTRIBUTES through
// FILE_LIST_DIRECTORY. FILE_WRITE_ATTRIBUTES is asked for only where the
// read-only attribute must be cleared (DeleteThroughHandle's fallback).
constexpr DWORD kEntryAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The "\\?\" form of a full path, which the file functions take as it is:
// no MAX_PATH limit, no trailing dots or spaces stripped, no device names.
std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    return LongPathForm(FullPathName(path));
}

OwnedHandle OpenNoFollow(const std::wstring& extendedPath, DWORD access, DWORD share) {
    return OwnedHandle(::CreateFileW(extendedPath.c_str(), access, share, nullptr, OPEN_EXISTING, kNoFollow, nullptr));
}

bool AttributesOfHandle(HANDLE h, DWORD& attributes) {
    FILE_ATTRIBUTE_TAG_INFO info {};
    if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info)) return false;
    attributes = info.FileAttributes;
    return true;
}

bool SetAttributesOfHandle(HANDLE h, DWORD attributes) {
    FILE_BASIC_INFO basic {};  // times of zero stay as they are
    basic.FileAttributes = attributes & kSettableAttributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The folder's entries, read through its handle, "." and ".." left out.
bool ListThroughHandle(HANDLE h, std::vector<FindData>& entries) {
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // aligned as the records need
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    entries.clear();
    for (;;) {
        if (!::GetFileInformationByHandleEx(h, kind, buffer.data(), static_cast<DWORD>(buffer.size() * 8)))
            return ::GetLastError() == ERROR_NO_MORE_FILES;
        kind = FileIdBothDirectoryInfo;
        const auto* record = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(record);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") entries.push_back({entry->FileAttributes, std::move(name)});
            if (entry->NextEntryOffset == 0) break;
            record += entry->NextEntryOffset;
        }
    }
}

// Deletes the entry the handle (opened with DELETE access) stands for. The
// POSIX semantics take the name away at once and the read-only attribute is
// ignored, so nothing about the file changes but its removal. Windows before
// 10 version 1809 and Wine know neither (ERROR_INVALID_PARAMETER and the
// like): then a read-only attribute is cleared through a second handle of the
// same file (ReOpenFile, the only one that asks for FILE_WRITE_ATTRIBUTES)
// and the classic disposition used, the name going when the handle closes.
bool DeleteThroughHandle(HANDLE h, DWORD attributes) {
    DispositionInfoEx ex {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
    if (::SetFileInformationByHandle(h, kFileDispositionInfoEx, &ex, sizeof ex)) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) {
        ::SetLastError(error);
        return false;
    }
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    OwnedHandle writable;
    if (readOnly) {
        writable = OwnedHandle(::ReOpenFile(h, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kNoFollow));
        if (!writable.valid() || !SetAttributesOfHandle(writable.get(), attributes & ~FILE_ATTRIBUTE_READONLY))
            return false;
    }
    FILE_DISPOSITION_INFO classic {TRUE};
    if (::SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic)) {
        // The attribute belongs to the file, not to the name: a file that
        // keeps another name (a hard link elsewhere) keeps its attribute too.
        FILE_STANDARD_INFO standard {};
        if (readOnly && ::GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) &&
            standard.NumberOfLinks > 1)
            SetAttributesOfHandle(writable.get(), attributes);
        return true;
    }
    const DWORD failed = ::GetLastError();
    if (readOnly) SetAttributesOfHandle(writable.get(), attributes);  // left as it was found
    ::SetLastError(failed);
    return false;
}

}  // namespace

struct FolderWalkState {
    struct Level {
        OwnedHandle handle;  // opened without delete sharing: the folder cannot be renamed meanwhile
        DWORD attributes = 0;
        BY_HANDLE_FILE_INFORMATION identity {};  // to know the folder again when it is deleted
        std::size_t pathLength = 0, extendedLength = 0;
        std::vector<FindData> entries;
    };
    std::vector<Level> levels;
    std::wstring path, extended;
};

FolderWalk::FolderWalk() : state_(new FolderWalkState) {}
FolderWalk::~FolderWalk() {
    // The deepest folder first, as the walk would leave them.
    while (!state_->levels.empty()) state_->levels.pop_back();
    delete state_;
}

FolderWalk::Opened FolderWalk::Open(const std::wstring& folder) {
    while (!state_->levels.empty()) state_->levels.pop_back();
    const std::wstring extended = ExtendedPath(folder);
    // The top folder is held without DELETE access: a rename into it (a folder
    // moved up) has the system open it as the target's folder, sharing read and
    // write only, which a handle of ours with DELETE access would refuse.
    OwnedHandle h = OpenNoFollow(extended, kFolderAccess & ~DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!h.valid()) return Opened::Failed;
    FolderWalkState::Level level;
    if (!AttributesOfHandle(h.get(), level.attributes) || !::GetFileInformationByHandle(h.get(), &level.identity))
        return Opened::Failed;
    if (level.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Opened::Link;
    if (!(level.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_DIRECTORY);
        return Opened::Failed;
    }
    if (!ListThroughHandle(h.get(), level.entries)) return Opened::Failed;
    level.handle = std::move(h);
    state_->path = folder;
    state_->extended = extended;
    level.pathLength = folder.size();
    level.extendedLength = extended.size();
    state_->levels.push_back(std::move(level));
    return Opened::Folder;
}

std::size_t FolderWalk::Depth() const { return state_->levels.size(); }
const std::wstring& FolderWalk::CurrentPath() const { return state_->path; }
const std::vector<FindData>& FolderWalk::Entries() const { return state_->levels.back().entries; }

FolderWalk::Entered FolderWalk::Enter(std::size_t index) {
    const FindData& entry = state_->levels.back().entries.at(index);
    const std::wstring name = entry.name;
    const bool listedAsLink = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // Entered without DELETE access, which a folder that another process
    // holds (as its current folder, say) would refuse: what is inside it can
    // go all the same. DELETE is asked for when the folder itself goes.
    OwnedHandle h = OpenNoFollow(state_->extended + L"\\" + name, kFolderAccess & ~DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!h.valid()) return Entered::Failed;
    FolderWalkState::Level level;
    if (!AttributesOfHandle(h.get(), level.attributes) || !::GetFileInformationByHandle(h.get(), &level.identity))
        return Entered::Failed;
    if ((level.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(level.attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        listedAsLink) {
        ::SetLastError(listedAsLink ? kErrorNotAReparsePoint : ERROR_DIRECTORY);
        return Entered::NotAFolder;
    }
    if (!ListThroughHandle(h.get(), level.entries)) return Entered::Failed;
    level.handle = std::move(h);
    state_->path += L"\\" + name;
    state_->extended += L"\\" + name;
    level.pathLength = state_->path.size();
    level.extendedLength = state_->extended.size();
    state_->levels.push_back(std::move(level));
    return Entered::Folder;
}

namespace {
// An entry of the current folder opened as itself (a link is not followed)
// for deleting or moving it, and its attributes as the handle shows them;
// invalid, with the last error, when either fails.
OwnedHandle OpenEntry(const FolderWalkState& state, const FindData& entry, DWORD& attributes) {
    OwnedHandle h = OpenNoFollow(state.extended + L"\\" + entry.name, kEntryAccess,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h.valid() && !AttributesOfHandle(h.get(), attributes)) return OwnedHandle();
    return h;
}
}  // namespace

bool FolderWalk::DeleteEntry(std::size_t index) {
    const FindData& entry = state_->levels.back().entries.at(index);
    const bool listedAsLink = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    DWORD attributes = 0;
    OwnedHandle h = OpenEntry(*state_, entry, attributes);
    if (!h.valid()) return false;
    if (listedAsLink && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // Opened through the link after all: deleting would reach its target.
        ::SetLastError(kErrorNotAReparsePoint);
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return DeleteThroughHandle(h.get(), attributes);
}

namespace {
// Renames what the handle stands for to `target`, a full path in the NT form
// ("\??\" where the Win32 form has "\\?\"), which NtSetInformationFile
// takes, and which the conversion of Win32 paths that newer systems apply to
// this class leaves as it is. A relative name with RootDirectory is not used:
// a system that converts names would resolve it against the current folder.
bool RenameThroughHandle(HANDLE h, const std::wstring& target) {
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<std::uint64_t> buffer((offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t) + 7) / 8);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.c_str(), nameBytes + sizeof(wchar_t));
    return ::SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buffer.size() * 8)) != 0;
}
}  // namespace

bool FolderWalk::MoveEntryToTop(std::size_t index, const std::wstring& newName) {
    const FindData& entry = state_->levels.back().entries.at(index);
    if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    DWORD attributes = 0;
    OwnedHandle h = OpenEntry(*state_, entry, attributes);
    if (!h.valid()) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    // The rename goes through the handle, so it moves what was checked.
    FolderWalkState::Level& top = state_->levels.front();
    const std::wstring topExtended = state_->extended.substr(0, top.extendedLength);
    if (!RenameThroughHandle(h.get(), L"\\??\\" + topExtended.substr(4) + L"\\" + newName)) return false;
    top.entries.push_back({attributes, newName});
    return true;
}

bool FolderWalk::RenameEntry(std::size_t index, const std::wstring& newName) {
    const FindData& entry = state_->levels.back().entries.at(index);
    DWORD attributes = 0;
    OwnedHandle h = OpenEntry(*state_, entry, attributes);
    if (!h.valid()) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) !=
                                                       (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return RenameThroughHandle(h.get(), L"\\??\\" + state_->extended.substr(4) + L"\\" + newName);
}

namespace {
// A folder of the walk opened again by its path, now with DELETE access, once
// its own handle is let go; invalid (ERROR_PATH_NOT_FOUND) when what has its
// name now is not the folder that was walked.
OwnedHandle ReopenForDeletion(const std::wstring& extended, FolderWalkState::Level& top) {
    top.handle = OwnedHandle();
    OwnedHandle h = OpenNoFollow(extended, kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!h.valid()) return h;
    BY_HANDLE_FILE_INFORMATION now {};
    DWORD attributes = 0;
    if (!::GetFileInformationByHandle(h.get(), &now) || !AttributesOfHandle(h.get(), attributes)) return OwnedHandle();
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || now.dwVolumeSerialNumber != top.identity.dwVolumeSerialNumber ||
        now.nFileIndexHigh != top.identity.nFileIndexHigh || now.nFileIndexLow != top.identity.nFileIndexLow) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return OwnedHandle();
    }
    top.attributes = attributes;
    return h;
}
}  // namespace

bool FolderWalk::Leave(bool remove) {
    FolderWalkState::Level& current = state_->levels.back();
    bool removed = !remove;
    if (remove) {
        current.handle = ReopenForDeletion(state_->extended, current);
        remove = current.handle.valid();
    }
    if (remove) {
        // NTFS refuses to remove a folder with the read-only attribute.
        DWORD attributes = current.attributes;
        if ((attributes & FILE_ATTRIBUTE_READONLY) && SetAttributesOfHandle(current.handle.get(), attributes & ~FILE_ATTRIBUTE_READONLY))
            attributes &= ~FILE_ATTRIBUTE_READONLY;
        removed = DeleteThroughHandle(current.handle.get(), attributes);
    }
    const DWORD error = ::GetLastError();
    state_->levels.pop_back();  // closing the handle completes a classic deletion
    if (!state_->levels.empty()) {
        state_->path.resize(state_->levels.back().pathLength);
        state_->extended.resize(state_->levels.back().extendedLength);
    } else {
        state_->path.clear();
        state_->extended.clear();
    }
    ::SetLastError(error);
    return removed;
}

bool MoveCurrentFolderToSystemFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH && ::SetCurrentDirectoryW(folder) != 0;
}

bool ScheduleDeleteAtRestart(const std::wstring& path) {
    // The name exactly as given: normalising a full path again would strip a
    // trailing dot or space and turn "aux" into a device, and the session
    // manager would then delete another entry at the restart, or none.
    const bool drivePath = path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
                           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    const std::wstring exact = path.rfind(L"\\\\?\\", 0) == 0 ? path : drivePath ? L"\\\\?\\" + path : ExtendedPath(path);
    return ::MoveFileExW(exact.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

// -- Reading without following links -------------------------------------------

struct FileReaderState {
    OwnedHandle handle;
};

FileReader::FileReader() : state_(new FileReaderState) {}
FileReader::~FileReader() { delete state_; }

bool FileReader::Open(const std::wstring& path) {
    state_->handle = OwnedHandle();
    OwnedHandle h(::CreateFileW(LongPathForm(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.valid()) return false;
    DWORD attributes = 0;
    if (!AttributesOfHandle(h.get(), attributes)) return false;
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) || ::GetFileType(h.get()) != FILE_TYPE_DISK) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    state_->handle = std::move(h);
    return true;
}

bool FileReader::Read(char* buffer, std::uint32_t capacity, std::uint32_t& read) {
    DWORD n = 0;
    const BOOL ok = ::ReadFile(state_->handle.get(), buffer, capacity, &n, nullptr);
    read = n;
    return ok != 0;
}

// -- A plain file opened once, as itself ---------------------------------------

struct PlainFileState {
    OwnedHandle handle;
    std::uint32_t links = 0;
};

PlainFile::PlainFile() : state_(new PlainFileState) {}
PlainFile::~PlainFile() { delete state_; }

PlainFile::Opened PlainFile::Open(const std::wstring& path, Access access) {
    state_->handle = OwnedHandle();
    state_->links = 0;
    // READ_CONTROL and WRITE_DAC only where the list is to be set, so that a
    // run that changes nothing asks for nothing it does not use. Backup
    // semantics open a folder too, so that it is told apart and named.
    const DWORD rights = GENERIC_READ | (access == Access::ReadAndSetAccessList ? READ_CONTROL | WRITE_DAC : 0);
    OwnedHandle h(::CreateFileW(LongPathForm(path).c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid()) return Opened::Failed;
    if (::GetFileType(h.get()) != FILE_TYPE_DISK) return Opened::NotAFile;
    BY_HANDLE_FILE_INFORMATION info {};
    if (!::GetFileInformationByHandle(h.get(), &info)) return Opened::Failed;
    state_->links = info.nNumberOfLinks;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Opened::Link;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Opened::Folder;
    if (info.nNumberOfLinks > 1) return Opened::MoreThanOneLink;
    state_->handle = std::move(h);
    return Opened::File;
}

std::uint32_t PlainFile::LinkCount() const { return state_->links; }

bool PlainFile::SetSecurity(std::uint32_t information, void* descriptor) {
    if (!state_->handle.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if ((information & DACL_SECURITY_INFORMATION) &&
        !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return false;
    // Protected: the list given is the whole list, as SetFileSecurityW left
    // it; without the flag SetSecurityInfo would add the folder's inheritable
    // entries to it.
    const SECURITY_INFORMATION what =
        information | ((information & DACL_SECURITY_INFORMATION) ? PROTECTED_DACL_SECURITY_INFORMATION : 0);
    const DWORD code = ::SetSecurityInfo(state_->handle.get(), SE_FILE_OBJECT, what, nullptr, nullptr,
                                         present ? dacl : nullptr, nullptr);
    ::SetLastError(code);
    return code == ERROR_SUCCESS;
}

bool PlainFile::Read(char* buffer, std::uint32_t capacity, std::uint32_t& read) {
    read = 0;
    if (!state_->handle.valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD n = 0;
    const BOOL ok = ::ReadFile(state_->handle.get(), buffer, capacity, &n, nullptr);
    read = n;
    return ok != 0;
}

}  // namespace plat
