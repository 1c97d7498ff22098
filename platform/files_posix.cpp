#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "platform/sandbox_posix.h"
#include "platform/text.h"

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
        default: return kErrorAccessDenied;
    }
}

bool Fail(int e) {
    SetLastError(FromErrno(e));
    return false;
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
    if (S_ISDIR(st.st_mode)) return kFileAttributeDirectory;
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
        names.push_back({AttributesOf(host + "/" + name), Utf8BytesToWide(std::string(e->d_name))});
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
    const std::string host = sandbox::ToHostPath(path);
    const std::uint32_t attributes = AttributesOf(host);
    if (attributes == kInvalidFileAttributes) return Fail(errno);
    // Windows refuses to delete a folder or a read-only file with DeleteFileW.
    if ((attributes & kFileAttributeDirectory) && !(attributes & kFileAttributeReparsePoint)) return Fail(EACCES);
    if (attributes & kFileAttributeReadonly) return Fail(EACCES);
    if (!(attributes & kFileAttributeReparsePoint)) {
        // A file another program holds (an exclusive lock stands for an open
        // handle without delete sharing) cannot be deleted, as on Windows.
        const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            ::close(fd);
            if (held) {
                SetLastError(kErrorSharingViolation);
                return false;
            }
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
    else if (!S_ISDIR(st.st_mode)) mode |= S_IWUSR;
    if (::chmod(host.c_str(), mode) != 0) return Fail(errno);
    return true;
}

std::uint32_t GetFileAttributes(const std::wstring& path) {
    const std::uint32_t attributes = AttributesOf(sandbox::ToHostPath(path));
    if (attributes == kInvalidFileAttributes) SetLastError(FromErrno(errno));
    return attributes;
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(errno);
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    const int e = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(bytes.size())) return Fail(written < 0 ? e : ENOSPC);
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
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
    const std::string host = sandbox::ToHostPath(path);
    const int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | disposition | O_CLOEXEC, 0644);
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
    const std::string target = sandbox::ToHostPath(to);
    if (::rename(sandbox::ToHostPath(from).c_str(), target.c_str()) != 0) return Fail(errno);
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

bool IsAbsolutePath(const std::wstring& path) {
    if (path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') return true;
    return !path.empty() && path[0] == L'/';
}

}  // namespace plat
