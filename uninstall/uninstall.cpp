#include "uninstall/uninstall.h"

#include "platform/files.h"
#include "support/log.h"
#include "support/paths.h"
#include "uninstall/unregistration.h"

bool DeleteDirectoryRecursive(const std::wstring& dirPath) {
    const std::uint32_t own = plat::GetFileAttributes(dirPath);
    if (own != plat::kInvalidFileAttributes && (own & plat::kFileAttributeReparsePoint))
        return plat::RemoveDirectory(dirPath);  // a link: the link goes, not what it leads to
    plat::FindData entry;
    plat::FindHandle listing = plat::FindFirstFile(dirPath + L"\\*", entry);
    if (listing == nullptr) return false;
    do {
        if (entry.name == L"." || entry.name == L"..") continue;
        const std::wstring path = dirPath + L"\\" + entry.name;
        const bool directory = (entry.attributes & plat::kFileAttributeDirectory) != 0;
        if (entry.attributes & plat::kFileAttributeReparsePoint) {
            if (directory) plat::RemoveDirectory(path);
            else plat::DeleteFile(path);
        } else if (directory) {
            DeleteDirectoryRecursive(path);
        } else {
            plat::SetFileAttributes(path, plat::kFileAttributeNormal);
            plat::DeleteFile(path);
        }
    } while (plat::FindNextFile(listing, entry));
    plat::FindClose(listing);
    return plat::RemoveDirectory(dirPath);
}

int RunUninstallMode() {
    WriteLogLine(L"INFO", L"Starting uninstallation of Mirelka voices");
    UnregisterAllVoicesFromDisk();
    const std::wstring root = GetRootPath();
    WriteLogLine(L"INFO", L"Removing installation files: " + root);
    // Only a full path is ever deleted: an unexpanded or empty Program Files
    // would make it relative to wherever the uninstaller runs.
    if (plat::IsAbsolutePath(root)) DeleteDirectoryRecursive(root);
    RemoveTemporalFiles();
    WriteLogLine(L"INFO", L"Finished uninstallation of Mirelka voices");
    return 0;
}
