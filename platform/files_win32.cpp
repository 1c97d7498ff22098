#include "platform/files.h"
#include "platform/win32.h"

#include <cwctype>

namespace plat {

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
    HANDLE h = ::FindFirstFileW(pattern.c_str(), &raw);
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
std::uint32_t GetFileAttributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool IsAbsolutePath(const std::wstring& path) {
    if (path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    return path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
}

}  // namespace plat
