#include "platform/files.h"
#include "platform/testing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "platform/registry.h"
#include "platform/standin/sandbox.h"

namespace plat {

struct FindState {
    std::vector<FindData> entries;
    std::size_t next = 0;
};

namespace {

std::uint32_t FromErrno(int e) {
    switch (e) {
        case ENOENT: return kErrorFileNotFound;
        case ENOTDIR: return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR: return kErrorAccessDenied;
        case EEXIST: return kErrorAlreadyExists;
        case ENOTEMPTY: return kErrorDirNotEmpty;
        case ENOMEM: return kErrorNotEnoughMemory;
        // A file grown past what this process may write counts as a full disk, as Windows has no other word for it.
        case ENOSPC:
        case EFBIG:
        case EDQUOT: return kErrorDiskFull;
        default: return kErrorAccessDenied;
    }
}

bool Fail(int e) {
    SetLastError(FromErrno(e));
    return false;
}

// Whether another program holds the file open `fd` names (its exclusive lock
// stands for a handle without delete sharing); closes `fd`. False for -1.
// Two bytes far beyond any real end of a file (open file description locks,
// as Windows' byte-range locks belong to a handle): one that an appender locks
// for each write, and one that every holder of the file keeps read-locked.
constexpr off_t kAppendByte = static_cast<off_t>(0x7FFFFFFF) << 32;
constexpr off_t kHoldByte = kAppendByte + 1;

struct flock FarByte(short type, off_t byte) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = byte;
    range.l_len = 1;
    return range;
}

// Whether another open file holds the file the way a handle without delete
// sharing does: an exclusive flock (a file held open, in the tests) or a read
// lock on the hold byte (a held log). Closes `fd`.
bool HeldByAnother(int fd) {
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!held) ::flock(fd, LOCK_UN);
    struct flock probe = FarByte(F_WRLCK, kHoldByte);
    if (!held && ::fcntl(fd, F_OFD_GETLK, &probe) == 0) held = probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

// A shared flock held by another process stands for a running program's
// image: Windows refuses to delete it (access denied) but lets it be renamed.
// Closes `fd`.
bool HeldAsImage(int fd) {
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// The process's current folder in the modelled machine: the host's current
// folder when it lies on one of the sandbox's drives (SetCurrentFolder,
// MoveCurrentFolderToSystemFolder), and otherwise the model's system folder,
// C:\Windows, so that no relative path ever leads outside the sandbox.
std::wstring CurrentFolderInModel() {
    char* here = ::getcwd(nullptr, 0);
    char* root = ::realpath(sandbox::Root().c_str(), nullptr);
    std::wstring folder = L"C:\\Windows";
    if (here != nullptr && root != nullptr) {
        const std::string cwd = here, drives = std::string(root) + "/drive_";
        if (cwd.compare(0, drives.size(), drives) == 0 && cwd.size() > drives.size() &&
            std::isalpha(static_cast<unsigned char>(cwd[drives.size()])) &&
            (cwd.size() == drives.size() + 1 || cwd[drives.size() + 1] == '/')) {
            folder = std::wstring(1, static_cast<wchar_t>(std::towupper(cwd[drives.size()]))) + L":";
            for (std::size_t at = drives.size() + 1; at < cwd.size();) {
                std::size_t end = cwd.find('/', at + 1);
                if (end == std::string::npos) end = cwd.size();
                folder += L"\\" + sandbox::NameFromHost(cwd.substr(at + 1, end - at - 1));
                at = end;
            }
        }
    }
    std::free(here);
    std::free(root);
    return folder;
}

// The host path of a file that /out= may name and the catalogue writes,
// replaces or deletes: as sandbox::ToHostPath, but a relative path is taken
// from the current folder in the model, never from one on the host.
std::string FileHostPath(const std::wstring& path) {
    const bool rooted = !path.empty() && (path[0] == L'/' || path[0] == L'\\');
    const bool drive = path.size() >= 2 && path[1] == L':';
    if (rooted || drive || path.empty()) return sandbox::ToHostPath(path);
    return sandbox::ToHostPath(CurrentFolderInModel() + L"\\" + path);
}

// Whether a host file is a running program's image: this process's own, or
// one another process holds as such. Windows refuses to replace either.
bool IsRunningImage(const std::string& host) {
    struct stat target {}, self {};
    if (::lstat(host.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return false;
    if (::stat("/proc/self/exe", &self) == 0 && self.st_dev == target.st_dev && self.st_ino == target.st_ino)
        return true;
    return HeldAsImage(::open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

// Win32 attributes of a host file: links are reparse points (and directories
// when they lead to one), a file without write permission is read-only.
std::uint32_t AttributesOf(const std::string& host) {
    struct stat st {};
    if (::lstat(host.c_str(), &st) != 0) return kInvalidFileAttributes;
    if (S_ISLNK(st.st_mode)) {
        struct stat target {};
        std::uint32_t attributes = kFileAttributeReparsePoint;
        if (::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) attributes |= kFileAttributeDirectory;
        return attributes;
    }
    // A folder without write permission plays one with the read-only attribute.
    if (S_ISDIR(st.st_mode)) return kFileAttributeDirectory | ((st.st_mode & S_IWUSR) ? 0 : kFileAttributeReadonly);
    std::uint32_t attributes = kFileAttributeArchive;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= kFileAttributeReadonly;
    return attributes;
}

bool LessIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return std::towupper(x) < std::towupper(y);
    });
}

}  // namespace

FindHandle FindFirstFile(const std::wstring& pattern, FindData& data) {
    const auto slash = pattern.find_last_of(L"\\/");
    const std::wstring mask = slash == std::wstring::npos ? pattern : pattern.substr(slash + 1);
    const std::wstring folder = slash == std::wstring::npos ? L"." : pattern.substr(0, slash + 1);
    if (mask != L"*" && mask != L"*.*") {
        SetLastError(kErrorInvalidParameter);  // the program lists whole folders only
        return nullptr;
    }
    const std::string host = sandbox::ToHostPath(folder);
    DIR* dir = ::opendir(host.empty() ? "." : host.c_str());
    if (dir == nullptr) {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? kErrorPathNotFound : FromErrno(errno));
        return nullptr;
    }
    auto* state = new FindState;
    std::vector<FindData> names;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        names.push_back({AttributesOf(host + "/" + name), sandbox::NameFromHost(name)});
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), [](const FindData& a, const FindData& b) { return LessIgnoringCase(a.name, b.name); });
    state->entries.push_back({kFileAttributeDirectory, L"."});
    state->entries.push_back({kFileAttributeDirectory, L".."});
    state->entries.insert(state->entries.end(), names.begin(), names.end());
    data = state->entries[state->next++];
    return state;
}

bool FindNextFile(FindHandle handle, FindData& data) {
    if (handle == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (handle->next >= handle->entries.size()) {
        SetLastError(18);  // ERROR_NO_MORE_FILES
        return false;
    }
    data = handle->entries[handle->next++];
    return true;
}

void FindClose(FindHandle handle) { delete handle; }

bool CreateOneDirectory(const std::wstring& path) {
    if (::mkdir(sandbox::ToHostPath(path).c_str(), 0755) != 0) return Fail(errno);
    return true;
}

bool DeleteFile(const std::wstring& path) {
    const std::string host = FileHostPath(path);
    const std::uint32_t attributes = AttributesOf(host);
    if (attributes == kInvalidFileAttributes) return Fail(errno);
    // Windows refuses to delete a folder or a read-only file with DeleteFileW.
    if ((attributes & kFileAttributeDirectory) && !(attributes & kFileAttributeReparsePoint)) return Fail(EACCES);
    if (attributes & kFileAttributeReadonly) return Fail(EACCES);
    if (!(attributes & kFileAttributeReparsePoint)) {
        // A file another program holds (an exclusive lock stands for an open
        // handle without delete sharing) cannot be deleted, as on Windows.
        if (HeldByAnother(::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))) {
            SetLastError(kErrorSharingViolation);
            return false;
        }
    }
    if (::unlink(host.c_str()) != 0) return Fail(errno);
    return true;
}

bool RemoveDirectory(const std::wstring& path) {
    const std::string host = sandbox::ToHostPath(path);
    const std::uint32_t attributes = AttributesOf(host);
    if (attributes == kInvalidFileAttributes) return Fail(errno);
    if (attributes & kFileAttributeReparsePoint) {
        // A link to a folder is removed itself, never its target.
        if (!(attributes & kFileAttributeDirectory)) {
            SetLastError(267);  // ERROR_DIRECTORY
            return false;
        }
        if (::unlink(host.c_str()) != 0) return Fail(errno);
        return true;
    }
    // NTFS refuses to remove a folder with the read-only attribute.
    if (attributes & kFileAttributeReadonly) return Fail(EACCES);
    if (::rmdir(host.c_str()) != 0) return Fail(errno);
    return true;
}

bool SetFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    const std::string host = sandbox::ToHostPath(path);
    struct stat st {};
    if (::lstat(host.c_str(), &st) != 0) return Fail(errno);
    if (S_ISLNK(st.st_mode)) return true;  // a link has no permission bits of its own
    mode_t mode = st.st_mode & 07777;
    if (attributes & kFileAttributeReadonly) mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else mode |= S_IWUSR;
    if (::chmod(host.c_str(), mode) != 0) return Fail(errno);
    return true;
}

std::uint32_t GetFileAttributes(const std::wstring& path) {
    const std::uint32_t attributes = AttributesOf(sandbox::ToHostPath(path));
    if (attributes == kInvalidFileAttributes) SetLastError(FromErrno(errno));
    return attributes;
}

struct AppendFileState {
    int fd = -1;
    // Once a wait for the per-write lock has run out, later writes only try it.
    bool lockStuck = false;
};

AppendFile::AppendFile() : state_(new AppendFileState) {}
AppendFile::~AppendFile() {
    Close();
    delete state_;
}

namespace {
// Takes the per-write lock, waiting for it at most kAppendLockWaitMs (or not
// at all once a wait has run out in this run): a writer stuck while holding
// it, or a program locking the whole log, must never hold the run up. False
// when the bytes go without it, as where the file system has no locks at all.
bool LockForAppending(int fd, struct flock& range, bool& stuck) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(stuck ? 0 : kAppendLockWaitMs);
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &range) == 0) return true;
        if (errno != EINTR && errno != EAGAIN && errno != EACCES) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            stuck = true;
            return false;
        }
        ::usleep(10000);
    }
}
}  // namespace

bool AppendFile::Open(const std::wstring& path) {
    Close();
    // Read access as well, which the hold's read lock needs (as LockFileEx does on Windows).
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(errno);
    // The hold that stands for a handle without delete sharing: a read lock on
    // one byte far beyond any real end, so that every appender holds at once
    // and DeleteFile's probe for a write lock there fails. Not flock: where
    // flock is emulated with byte-range locks over the whole file (NFS), the
    // holds of two runs would block each other's per-write lock for good.
    // A program that has locked the whole file keeps the hold from being
    // taken; the file is written all the same, as on Windows, where locks
    // never stop a file from being opened.
    struct flock hold = FarByte(F_RDLCK, kHoldByte);
    ::fcntl(fd, F_OFD_SETLK, &hold);
    state_->fd = fd;
    return true;
}

bool AppendFile::IsOpen() const { return state_->fd >= 0; }

void AppendFile::Close() {
    if (state_->fd >= 0) ::close(state_->fd);
    state_->fd = -1;
}

bool AppendFile::Append(const std::string& bytes) {
    const int fd = state_->fd;
    if (fd < 0) return Fail(EBADF);
    // Removed by something that ignores the hold (the host, a program outside
    // the sandbox): the caller opens the file again by its path.
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Fail(errno);
    if (st.st_nlink == 0) return Fail(ENOENT);
    // O_APPEND alone is not atomic on network file systems: a lock, held
    // across processes, keeps concurrent writers from sharing an offset. As on
    // Windows it is a byte range far beyond any real end (an open file
    // description's lock, apart from the shared hold above).
    struct flock range = FarByte(F_WRLCK, kAppendByte);
    const bool locked = LockForAppending(fd, range, state_->lockStuck);
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    const int e = errno;
    if (locked) {
        range.l_type = F_UNLCK;
        ::fcntl(fd, F_OFD_SETLK, &range);
    }
    if (written != static_cast<ssize_t>(bytes.size())) return Fail(written < 0 ? e : ENOSPC);
    return true;
}

namespace testing {
bool AppendInTwoWritesUnderLock(const std::wstring& path, const std::string& first, const std::string& second,
                                unsigned pauseMs) {
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct flock range = FarByte(F_WRLCK, kAppendByte);
    bool stuck = false;
    bool ok = LockForAppending(fd, range, stuck) &&
              ::write(fd, first.data(), first.size()) == static_cast<ssize_t>(first.size());
    if (ok) ::usleep(pauseMs * 1000);
    ok = ok && ::write(fd, second.data(), second.size()) == static_cast<ssize_t>(second.size());
    ::close(fd);  // lets go of the lock
    return ok;
}
}  // namespace testing

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    // Opened without waiting: a FIFO or a device put where a file belongs must
    // never hold the run up. Only a regular file is read.
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(EACCES);
    }
    std::string content;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            return Fail(e);
        }
        if (n == 0) break;
        content.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    bytes.swap(content);
    return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            const int e = n < 0 ? errno : ENOSPC;
            ::close(fd);
            return Fail(e);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) return Fail(errno);
    return true;
}

struct FileObject {
    int fd;
};

namespace {
FileHandle OpenForWriting(const std::wstring& path, bool shareRead, int disposition) {
    const std::string host = FileHostPath(path);
    // A symbolic link in the file's place is refused, never written through.
    const int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | disposition | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        // Windows tells a missing folder (3) from a missing file.
        Fail(errno == ENOENT ? ENOTDIR : errno);
        return nullptr;
    }
    // Without read sharing the file is held as Windows holds it: no deletion meanwhile.
    if (!shareRead) ::flock(fd, LOCK_EX | LOCK_NB);
    return new FileObject {fd};
}
}  // namespace

FileHandle CreateFileForWriting(const std::wstring& path, bool shareRead) {
    return OpenForWriting(path, shareRead, O_TRUNC);
}

FileHandle CreateNewFileForWriting(const std::wstring& path, bool shareRead) {
    // O_EXCL never follows a link in the last component: a planted one makes it fail.
    return OpenForWriting(path, shareRead, O_EXCL | O_NOFOLLOW);
}

bool WriteToFile(FileHandle file, const void* data, std::uint32_t bytes, std::uint32_t* written) {
    std::uint32_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::write(file->fd, static_cast<const char*>(data) + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (written) *written = done;
            return Fail(n < 0 ? errno : ENOSPC);
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (written) *written = done;
    return true;
}

bool FlushFile(FileHandle file) {
    if (file == nullptr) return Fail(EBADF);
    return ::fsync(file->fd) == 0 || Fail(errno);
}

bool CloseFile(FileHandle file) {
    if (file == nullptr) return false;
    const int result = ::close(file->fd);
    delete file;
    return result == 0;
}

bool GetTempFileName(const std::wstring& folder, const wchar_t* prefix, std::wstring& path) {
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    const std::wstring stem = base + std::wstring(prefix).substr(0, 3);
    static unsigned counter = static_cast<unsigned>(::getpid());
    for (int attempt = 0; attempt < 65535; ++attempt) {
        const unsigned unique = (counter++ % 0xFFFF) + 1;
        wchar_t hex[8];
        std::swprintf(hex, 8, L"%X", unique);
        const std::wstring candidate = stem + hex + L".TMP";
        const int fd = ::open(sandbox::ToHostPath(candidate).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            path = candidate;
            return true;
        }
        if (errno != EEXIST) return Fail(errno == ENOENT ? ENOTDIR : errno);
    }
    return Fail(EEXIST);
}

bool MoveFileReplacing(const std::wstring& from, const std::wstring& to) {
    const std::string target = FileHostPath(to);
    // A running program's image cannot be replaced on Windows (access denied); the host would let it go.
    if (IsRunningImage(target)) return Fail(EACCES);
    if (::rename(FileHostPath(from).c_str(), target.c_str()) != 0) return Fail(errno);
    // The rename is on the disk once the folder holding the new name is.
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail(errno);
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    return synced || Fail(error);
}

bool InspectPath(const std::wstring& path, PathFacts& facts) {
    facts = PathFacts();
    struct stat st {};
    if (::lstat(FileHostPath(path).c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR || Fail(errno);
    if (S_ISREG(st.st_mode)) facts.kind = PathKind::File;
    else if (S_ISDIR(st.st_mode)) facts.kind = PathKind::Folder;
    else facts.kind = PathKind::Other;  // a link, a device, a pipe, a socket
    facts.volume = static_cast<std::uint64_t>(st.st_dev);
    facts.index = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool IsAbsolutePath(const std::wstring& path) {
    if (path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') return true;
    return !path.empty() && path[0] == L'/';
}

// -- The folder walk ----------------------------------------------------------

struct FolderWalkState {
    struct Level {
        dev_t dev = 0;
        ino_t ino = 0;
        std::string hostName;        // its name in its parent folder
        std::size_t pathLength = 0;  // of the walk's path while it is current
        std::vector<FindData> entries;
        std::vector<std::string> hostNames;  // the entries' own names, index for index
    };
    int fd = -1;     // the current folder: with the top one, the only descriptors held, whatever the depth
    int topFd = -1;  // the top folder, where folders too deep are moved
    std::vector<Level> levels;
    std::wstring path;

    void Close() {
        if (fd >= 0) ::close(fd);
        if (topFd >= 0) ::close(topFd);
        fd = topFd = -1;
        levels.clear();
        path.clear();
    }
};

namespace {

// The entries of the folder open as `fd`, each described without following it.
bool ListFolder(int fd, FolderWalkState::Level& level) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return Fail(errno);
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        const int e = errno;
        ::close(copy);
        return Fail(e);
    }
    std::vector<std::pair<FindData, std::string>> found;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        std::uint32_t attributes = kFileAttributeArchive;
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) attributes = kFileAttributeReparsePoint;
            else if (S_ISDIR(st.st_mode)) attributes = kFileAttributeDirectory;
            if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) attributes |= kFileAttributeReadonly;
        }
        found.push_back({{attributes, sandbox::NameFromHost(name)}, name});
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return LessIgnoringCase(a.first.name, b.first.name); });
    level.entries.clear();
    level.hostNames.clear();
    for (auto& [data, name] : found) {
        level.entries.push_back(std::move(data));
        level.hostNames.push_back(std::move(name));
    }
    return true;
}

// A folder without write permission stands for one with the read-only
// attribute; its entries can be deleted only once that is cleared, through the
// folder's own descriptor.
void ClearReadOnly(int fd, const struct stat& st) {
    if (!(st.st_mode & S_IWUSR)) ::fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
}

}  // namespace

FolderWalk::FolderWalk() : state_(new FolderWalkState) {}
FolderWalk::~FolderWalk() {
    state_->Close();
    delete state_;
}

namespace {
// One level of the walk from its folder's descriptor: its entries, its
// identity (to check on the way back up) and its read-only mark cleared.
// The descriptor is closed when this fails.
bool TakeLevel(int fd, FolderWalkState::Level& level) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return Fail(e);
    }
    if (!ListFolder(fd, level)) {
        const std::uint32_t error = GetLastError();
        ::close(fd);
        SetLastError(error);
        return false;
    }
    ClearReadOnly(fd, st);
    level.dev = st.st_dev;
    level.ino = st.st_ino;
    return true;
}
}  // namespace

FolderWalk::Opened FolderWalk::Open(const std::wstring& folder) {
    state_->Close();
    std::string host = sandbox::ToHostPath(folder);
    while (host.size() > 1 && host.back() == '/') host.pop_back();
    const int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        struct stat st {};
        const bool exists = ::lstat(host.c_str(), &st) == 0;
        if (exists && S_ISLNK(st.st_mode)) return Opened::Link;
        if (exists && !S_ISDIR(st.st_mode)) SetLastError(kErrorDirectory);
        else Fail(e);
        return Opened::Failed;
    }
    // The sandbox's promise: a link on the way to the top folder (above the
    // installation folder, say) never takes the walk out of the sandbox.
    if (const std::string& root = sandbox::Root(); host.compare(0, root.size() + 1, root + "/") == 0) {
        char real[PATH_MAX + 1] = {}, top[PATH_MAX + 1] = {};
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(self.c_str(), real, PATH_MAX);
        const bool inside = n > 0 && ::realpath(root.c_str(), top) != nullptr &&
                            std::string(real, static_cast<std::size_t>(n)).compare(0, std::strlen(top) + 1,
                                                                                   std::string(top) + "/") == 0;
        if (!inside) {
            ::close(fd);
            SetLastError(1921);  // ERROR_CANT_RESOLVE_FILENAME
            return Opened::Failed;
        }
    }
    FolderWalkState::Level level;
    if (!TakeLevel(fd, level)) return Opened::Failed;
    const auto slash = host.find_last_of('/');
    level.hostName = slash == std::string::npos ? host : host.substr(slash + 1);
    level.pathLength = folder.size();
    state_->topFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (state_->topFd < 0) {
        const int e = errno;
        ::close(fd);
        Fail(e);
        return Opened::Failed;
    }
    state_->fd = fd;
    state_->path = folder;
    state_->levels.push_back(std::move(level));
    return Opened::Folder;
}

std::size_t FolderWalk::Depth() const { return state_->levels.size(); }
const std::wstring& FolderWalk::CurrentPath() const { return state_->path; }
const std::vector<FindData>& FolderWalk::Entries() const { return state_->levels.back().entries; }

FolderWalk::Entered FolderWalk::Enter(std::size_t index) {
    const FolderWalkState::Level& current = state_->levels.back();
    const std::string name = current.hostNames.at(index);
    const std::wstring windowsName = current.entries.at(index).name;
    const int child = ::openat(state_->fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (child < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            SetLastError(kErrorDirectory);
            return Entered::NotAFolder;
        }
        Fail(errno);
        return Entered::Failed;
    }
    FolderWalkState::Level level;
    if (!TakeLevel(child, level)) return Entered::Failed;
    level.hostName = name;
    state_->path += L"\\" + windowsName;
    level.pathLength = state_->path.size();
    ::close(state_->fd);
    state_->fd = child;
    state_->levels.push_back(std::move(level));
    return Entered::Folder;
}

namespace {
// The rights the Windows build asks for when it opens an entry to delete or
// rename it (its kEntryAccess).
constexpr std::uint32_t kDeleteRight = 0x10000, kReadAttributesRight = 0x80, kSynchronizeRight = 0x100000;
constexpr std::uint32_t kEntryAccess = kDeleteRight | kReadAttributesRight | kSynchronizeRight;

// Whether a deny entry on the plain file `name` refuses an administrator's
// open asking for `access`: DELETE and FILE_READ_ATTRIBUTES come from the
// folder whatever the file's list says.
bool DeniedByTheFile(int folderFd, const std::string& name, std::uint32_t access) {
    const int fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char mask[4] = {};
    const bool has = ::fgetxattr(fd, sandbox::kDenyEntryAttribute, mask, sizeof mask) == sizeof mask;
    ::close(fd);
    const std::uint32_t denied = mask[0] | (mask[1] << 8) | (mask[2] << 16) | (static_cast<std::uint32_t>(mask[3]) << 24);
    return has && (denied & access & ~(kDeleteRight | kReadAttributesRight)) != 0;
}

// An entry's status, a link's own; false with the last error (kErrorDirectory
// for a folder).
bool StatOfNonFolder(int folderFd, const std::string& name, struct stat& st) {
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail(errno);
    if (!S_ISDIR(st.st_mode)) return true;
    SetLastError(kErrorDirectory);
    return false;
}
}  // namespace

bool FolderWalk::DeleteEntry(std::size_t index) {
    const std::string& name = state_->levels.back().hostNames.at(index);
    struct stat st {};
    if (!StatOfNonFolder(state_->fd, name, st)) return false;
    if (S_ISREG(st.st_mode) && DeniedByTheFile(state_->fd, name, kEntryAccess)) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        // A file another program holds (an exclusive lock stands for an open
        // handle without delete sharing) cannot be deleted, as on Windows.
        if (HeldByAnother(::openat(state_->fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC))) {
            SetLastError(kErrorSharingViolation);
            return false;
        }
        if (HeldAsImage(::openat(state_->fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC))) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
    }
    // unlinkat never follows a link: a link goes, never what it leads to.
    if (::unlinkat(state_->fd, name.c_str(), 0) != 0) return Fail(errno);
    return true;
}

bool FolderWalk::MoveEntryToTop(std::size_t index, const std::wstring& newName) {
    const std::string& name = state_->levels.back().hostNames.at(index);
    struct stat st {};
    if (::fstatat(state_->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail(errno);
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(kErrorDirectory);
        return false;
    }
    // renameat moves the entry itself, whatever it has become meanwhile; the
    // walk checks it again when it enters it from the top folder.
    const std::string hostName = sandbox::NameToHost(newName);
    if (::renameat2(state_->fd, name.c_str(), state_->topFd, hostName.c_str(), RENAME_NOREPLACE) != 0) return Fail(errno);
    state_->levels.front().entries.push_back({kFileAttributeDirectory, newName});
    state_->levels.front().hostNames.push_back(hostName);
    return true;
}

bool FolderWalk::RenameEntry(std::size_t index, const std::wstring& newName) {
    const std::string& name = state_->levels.back().hostNames.at(index);
    struct stat st {};
    if (!StatOfNonFolder(state_->fd, name, st)) return false;
    if (S_ISREG(st.st_mode) && DeniedByTheFile(state_->fd, name, kEntryAccess)) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    // As on Windows, a file held without delete sharing cannot be renamed either.
    if (S_ISREG(st.st_mode) &&
        HeldByAnother(::openat(state_->fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC))) {
        SetLastError(kErrorSharingViolation);
        return false;
    }
    const std::string hostName = sandbox::NameToHost(newName);
    if (::renameat2(state_->fd, name.c_str(), state_->fd, hostName.c_str(), RENAME_NOREPLACE) != 0) return Fail(errno);
    return true;
}

bool FolderWalk::Leave(bool remove) {
    auto& levels = state_->levels;
    const FolderWalkState::Level current = {levels.back().dev, levels.back().ino, levels.back().hostName, 0, {}, {}};
    // ".." is never a link; its identity shows whether the tree was moved
    // meanwhile, in which case the walk stops rather than act elsewhere.
    const int parent = ::openat(state_->fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (parent < 0 || ::fstat(parent, &st) != 0 ||
        (levels.size() >= 2 && (st.st_dev != levels[levels.size() - 2].dev || st.st_ino != levels[levels.size() - 2].ino))) {
        if (parent >= 0) ::close(parent);
        state_->Close();
        SetLastError(kErrorPathNotFound);
        return false;
    }
    bool removed = !remove;
    if (remove) {
        struct stat own {};
        if (::fstatat(parent, current.hostName.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0 || own.st_dev != current.dev ||
            own.st_ino != current.ino) {
            SetLastError(kErrorPathNotFound);  // renamed meanwhile: whatever has its name now is not it
        } else if (::unlinkat(parent, current.hostName.c_str(), AT_REMOVEDIR) == 0) {
            removed = true;
        } else {
            Fail(errno);
        }
    }
    const std::uint32_t error = GetLastError();
    ::close(state_->fd);
    levels.pop_back();
    if (levels.empty()) {
        ::close(parent);
        ::close(state_->topFd);
        state_->fd = state_->topFd = -1;
        state_->path.clear();
    } else {
        state_->fd = parent;
        state_->path.resize(levels.back().pathLength);
    }
    SetLastError(error);
    return removed;
}

bool MoveCurrentFolderToSystemFolder() {
    if (::chdir((sandbox::Root() + "/drive_c/Windows").c_str()) == 0) return true;
    return Fail(errno);
}

bool ScheduleDeleteAtRestart(const std::wstring& path) {
    HKey key = nullptr;
    const std::int32_t opened = RegCreateKeyEx(kHkeyLocalMachine, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                               kKeyQueryValue | kKeySetValue, &key);
    if (opened != 0) {
        SetLastError(static_cast<std::uint32_t>(opened));
        return false;
    }
    // Pairs of strings, a source and its destination (empty: a deletion), the
    // list ended by an empty source.
    const wchar_t* const name = L"PendingFileRenameOperations";
    std::uint32_t type = 0, bytes = 0;
    std::vector<std::wstring> pairs;
    if (RegQueryValueEx(key, name, &type, nullptr, &bytes) == 0 && type == kRegMultiSz && bytes >= sizeof(wchar_t)) {
        std::vector<wchar_t> old(bytes / sizeof(wchar_t));
        if (RegQueryValueEx(key, name, &type, old.data(), &bytes) != 0) old.clear();
        old.resize(std::min<std::size_t>(old.size(), bytes / sizeof(wchar_t)));
        std::size_t i = 0;
        auto next = [&] {
            std::wstring text;
            while (i < old.size() && old[i] != 0) text += old[i++];
            ++i;
            return text;
        };
        while (i < old.size()) {
            std::wstring source = next();
            if (source.empty()) break;
            pairs.push_back(std::move(source));
            pairs.push_back(next());
        }
    }
    pairs.push_back(L"\\??\\" + path);
    pairs.push_back(L"");
    std::vector<wchar_t> data;
    for (const std::wstring& text : pairs) {
        data.insert(data.end(), text.begin(), text.end());
        data.push_back(0);
    }
    data.push_back(0);
    const std::int32_t set = RegSetValueEx(key, name, kRegMultiSz, data.data(),
                                           static_cast<std::uint32_t>(data.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    if (set != 0) {
        SetLastError(static_cast<std::uint32_t>(set));
        return false;
    }
    return true;
}

// -- Reading without following links -------------------------------------------

struct FileReaderState {
    int fd = -1;
};

FileReader::FileReader() : state_(new FileReaderState) {}
FileReader::~FileReader() {
    if (state_->fd >= 0) ::close(state_->fd);
    delete state_;
}

bool FileReader::Open(const std::wstring& path) {
    if (state_->fd >= 0) ::close(state_->fd);
    state_->fd = -1;
    // Non-blocking, so that opening a pipe never waits for a writer.
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(errno == ELOOP ? EACCES : errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(EACCES);
    }
    state_->fd = fd;
    return true;
}

namespace {

// One read from an open descriptor, as ReadFile answers: the count, 0 at the end.
bool ReadDescriptor(int fd, char* buffer, std::uint32_t capacity, std::uint32_t& read) {
    read = 0;
    if (fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    for (;;) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(errno);
        read = static_cast<std::uint32_t>(n);
        return true;
    }
}

}  // namespace

bool FileReader::Read(char* buffer, std::uint32_t capacity, std::uint32_t& read) {
    return ReadDescriptor(state_->fd, buffer, capacity, read);
}

// -- A plain file opened once, as itself ---------------------------------------

struct PlainFileState {
    int fd = -1;
    std::uint32_t links = 0;
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

PlainFile::PlainFile() : state_(new PlainFileState) {}
PlainFile::~PlainFile() {
    state_->Close();
    delete state_;
}

PlainFile::Opened PlainFile::Open(const std::wstring& path, Access) {
    state_->Close();
    state_->links = 0;
    // Non-blocking, so that a pipe never waits for a writer; a folder opens
    // read-only too, and is then told apart. The permission bits are changed
    // through the descriptor, which needs no write access of its own.
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) return Opened::Link;
        Fail(errno);
        return Opened::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        Fail(e);
        return Opened::Failed;
    }
    state_->links = static_cast<std::uint32_t>(st.st_nlink);
    Opened opened = Opened::File;
    if (S_ISDIR(st.st_mode)) opened = Opened::Folder;
    else if (!S_ISREG(st.st_mode)) opened = Opened::NotAFile;
    else if (st.st_nlink > 1) opened = Opened::MoreThanOneLink;
    if (opened != Opened::File) {
        ::close(fd);
        return opened;
    }
    state_->fd = fd;
    return Opened::File;
}

std::uint32_t PlainFile::LinkCount() const { return state_->links; }

bool PlainFile::SetSecurity(std::uint32_t information, void* descriptor) {
    if (state_->fd < 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return sandbox::SetSecurityOfDescriptor(state_->fd, information, descriptor);
}

bool PlainFile::Read(char* buffer, std::uint32_t capacity, std::uint32_t& read) {
    return ReadDescriptor(state_->fd, buffer, capacity, read);
}

}  // namespace plat
