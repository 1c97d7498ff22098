#include "unit/scratch.h"

#include "platform/environment.h"
#include "platform/files.h"

ScratchFolder::ScratchFolder(const std::wstring& name) {
    wchar_t temp[plat::kMaxPath] = {};
    plat::GetTempPath(plat::kMaxPath, temp);
    path_ = std::wstring(temp) + L"pendrel-scratch-" + name;
    RemoveTreeForTest(path_);
    plat::CreateOneDirectory(path_);
}

ScratchFolder::~ScratchFolder() { RemoveTreeForTest(path_); }

void RemoveTreeForTest(const std::wstring& path) {
    plat::FindData entry;
    plat::FindHandle h = plat::FindFirstFile(path + L"\\*", entry);
    if (h != nullptr) {
        do {
            if (entry.name == L"." || entry.name == L"..") continue;
            const std::wstring child = path + L"\\" + entry.name;
            if ((entry.attributes & plat::kFileAttributeDirectory) &&
                !(entry.attributes & plat::kFileAttributeReparsePoint)) {
                RemoveTreeForTest(child);
            } else if (entry.attributes & plat::kFileAttributeDirectory) {
                plat::RemoveDirectory(child);
            } else {
                plat::SetFileAttributes(child, plat::kFileAttributeNormal);
                plat::DeleteFile(child);
            }
        } while (plat::FindNextFile(h, entry));
        plat::FindClose(h);
    }
    plat::RemoveDirectory(path);
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    plat::ReadWholeFile(path, bytes);
    return bytes;
}

bool Exists(const std::wstring& path) { return plat::GetFileAttributes(path) != plat::kInvalidFileAttributes; }
