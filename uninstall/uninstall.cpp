#include "uninstall/uninstall.h"

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/console.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/paths.h"
#include "uninstall/unregistration.h"

namespace {

// What became of the entries below one folder of the walk.
struct LevelState {
    std::size_t next = 0;         // the next entry of the listing to handle
    bool scheduled = false;       // some entry below waits for the next restart
    bool left = false;            // some entry below stays for good
};

// Why an entry can be deleted at the next restart although not now: another
// program holds it (a running program's image counts), or a link that this
// platform can only open through (deleting that would reach its target).
bool DeletableAtRestart(std::uint32_t error) {
    return error == plat::kErrorSharingViolation || error == 33 /* ERROR_LOCK_VIOLATION */ ||
           error == plat::kErrorAccessDenied || error == plat::kErrorNotAReparsePoint;
}

// How many entries this run scheduled for deletion at the next restart.
std::size_t scheduledCount = 0;

// An entry that could not be deleted now: scheduled for the next restart when
// that can help, otherwise left with an ERROR line naming it and the cause.
void DeleteLater(const std::wstring& path, std::uint32_t error, LevelState& level) {
    if (DeletableAtRestart(error) && plat::ScheduleDeleteAtRestart(path)) {
        WriteLogLine(L"WARNING", L"Scheduled for deletion at the next restart: " + path);
        level.scheduled = true;
        ++scheduledCount;
        return;
    }
    WriteLogLine(L"ERROR", L"Cannot delete " + path + L" (" + plat::ErrorText(error) + L")");
    level.left = true;
}

// The session manager deletes at the restart whatever then has the scheduled
// name: a file scheduled under its own name would take a reinstallation's file
// of that name with it. So a file that cannot be deleted now is first renamed
// to a name no installation uses, which Windows allows for a running
// program's image and a file held with delete sharing, and scheduled under
// that name. One held without delete sharing cannot be renamed: it is
// scheduled under its own name, with a WARNING.
void DeleteFileLater(plat::FolderWalk& walk, std::size_t index, const std::wstring& path, LevelState& level) {
    const std::uint32_t error = plat::GetLastError();
    if (!DeletableAtRestart(error) || error == plat::kErrorNotAReparsePoint) return DeleteLater(path, error, level);
    static std::size_t renamed = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring aside = L"~pendrel-deleted-" + std::to_wstring(plat::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(++renamed) + L".tmp";
        if (walk.RenameEntry(index, aside)) {
            WriteLogLine(L"INFO", L"Renamed, so that a reinstallation keeps its own file: " + path);
            return DeleteLater(walk.CurrentPath() + L"\\" + aside, error, level);
        }
        const std::uint32_t why = plat::GetLastError();
        if (why != plat::kErrorAlreadyExists && why != plat::kErrorFileExists) break;
    }
    WriteLogLine(L"WARNING", L"Cannot be renamed, so a reinstallation before the restart would lose its own file "
                             L"of this name: " + path);
    DeleteLater(path, error, level);
}

// The walk never opens a folder whose path is longer than this many
// characters plus one name: a folder found deeper is first moved up into the
// top folder and deleted from there, so a tree of any depth goes. Far inside
// every limit on paths: "\\?\" paths end at 32,767 characters, and Wine
// turns each into one Unix path of at most 4,096 bytes.
constexpr std::size_t kLongestWalkPath = 512;

// Moves folder entry `index` up into the top folder under a name not taken
// there. False when it could not be moved: then it is entered where it is.
bool MoveUpToTop(plat::FolderWalk& walk, std::size_t index, std::size_t& moved) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (walk.MoveEntryToTop(index, L"pendrel-deep-" + std::to_wstring(++moved))) return true;
        const std::uint32_t error = plat::GetLastError();
        if (error != plat::kErrorAlreadyExists && error != plat::kErrorFileExists) return false;
    }
    return false;
}

// The temporary files of catalogue searches that were killed, in the user's
// temporary folder (where the catalogue goes by default): each deleted through
// a handle of its own, a link as itself and never what it leads to.
void RemoveCatalogueLeftovers() {
    wchar_t buffer[plat::kMaxPath] = {};
    const std::uint32_t length = plat::GetTempPath(plat::kMaxPath, buffer);
    std::wstring folder = length > 0 && length < plat::kMaxPath ? buffer : L"";
    if (!plat::IsAbsolutePath(folder)) return;
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    plat::FolderWalk walk;
    if (walk.Open(folder) != plat::FolderWalk::Opened::Folder) return;
    const std::vector<plat::FindData>& entries = walk.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bool folderEntry = (entries[i].attributes & plat::kFileAttributeDirectory) &&
                                 !(entries[i].attributes & plat::kFileAttributeReparsePoint);
        if (folderEntry || !IsCatalogueLeftover(entries[i].name)) continue;
        const std::wstring path = folder + L"\\" + entries[i].name;
        WriteLogLine(L"INFO", L"   - Interrupted catalogue download: " + path);
        if (!walk.DeleteEntry(i))
            WriteLogLine(L"ERROR", L"Cannot delete " + path + L" (" + plat::ErrorText(plat::GetLastError()) + L")");
    }
}

}  // namespace

bool DeleteDirectoryRecursive(const std::wstring& dirPath) {
    plat::FolderWalk walk;
    switch (walk.Open(dirPath)) {
        case plat::FolderWalk::Opened::Link: return plat::RemoveDirectory(dirPath);  // the link goes, not its target
        case plat::FolderWalk::Opened::Failed: {
            const std::uint32_t error = plat::GetLastError();
            if (error != plat::kErrorFileNotFound && error != plat::kErrorPathNotFound)
                WriteLogLine(L"ERROR", L"Cannot open folder " + dirPath + L" (" + plat::ErrorText(error) + L")");
            return false;
        }
        case plat::FolderWalk::Opened::Folder: break;
    }
    // One state per open folder, on the heap: the depth of the tree never
    // reaches the call stack.
    std::vector<LevelState> levels(1);
    std::size_t moved = 0;
    while (walk.Depth() > 0) {
        LevelState& level = levels.back();
        const std::vector<plat::FindData>& entries = walk.Entries();
        if (level.next < entries.size()) {
            const std::size_t index = level.next++;
            const plat::FindData& entry = entries[index];
            const std::wstring path = walk.CurrentPath() + L"\\" + entry.name;
            const bool folder = (entry.attributes & plat::kFileAttributeDirectory) &&
                                !(entry.attributes & plat::kFileAttributeReparsePoint);
            if (folder) {
                if (walk.Depth() > 1 && walk.CurrentPath().size() > kLongestWalkPath && MoveUpToTop(walk, index, moved))
                    continue;
                const auto entered = walk.Enter(index);
                if (entered == plat::FolderWalk::Entered::Folder) {
                    levels.emplace_back();
                    continue;
                }
                if (entered == plat::FolderWalk::Entered::Failed) {
                    const std::uint32_t error = plat::GetLastError();
                    WriteLogLine(L"ERROR", L"Cannot open folder " + path + L" (" + plat::ErrorText(error) + L")");
                    level.left = true;
                    continue;
                }
                // Not a folder after all (a link, or replaced meanwhile): deleted as an entry.
            }
            if (!walk.DeleteEntry(index)) DeleteFileLater(walk, index, path, level);
            continue;
        }
        // Every entry handled: the folder itself, unless something stays below.
        const LevelState done = level;
        levels.pop_back();
        LevelState topResult;
        LevelState& parent = levels.empty() ? topResult : levels.back();
        const std::wstring path = walk.CurrentPath();
        const bool top = walk.Depth() == 1;
        bool removed = false;
        if (done.left) {
            walk.Leave(false);
            parent.left = true;
        } else if (done.scheduled) {
            walk.Leave(false);
            // Removed at restart after its entries, which were scheduled first.
            DeleteLater(path, plat::kErrorSharingViolation, parent);
        } else {
            removed = walk.Leave(true);
            if (!removed) DeleteLater(path, plat::GetLastError(), parent);
        }
        if (top) return removed;
        if (walk.Depth() == 0) {
            WriteLogLine(L"ERROR", L"The folder tree changed while it was deleted, nothing more deleted: " + dirPath);
            return false;
        }
    }
    return false;
}

namespace {

// The maker's folder above the installation folder, when the uninstallation
// left it empty: through its own handle, and only while it has no entry.
void RemoveEmptyVendorFolder(const std::wstring& vendor) {
    plat::FolderWalk walk;
    if (walk.Open(vendor) != plat::FolderWalk::Opened::Folder || !walk.Entries().empty()) return;
    if (walk.Leave(true)) WriteLogLine(L"INFO", L"Removed the empty folder: " + vendor);
}

}  // namespace

int RunUninstallMode() {
    WriteLogLine(L"INFO", L"Starting uninstallation of Mirelka voices");
    // An uninstaller may start the run from inside the installation folder,
    // which would then be held open until the run ends.
    if (!plat::MoveCurrentFolderToSystemFolder())
        WriteLogLine(L"WARNING", L"Could not leave the current folder for the system folder (" +
                                     plat::ErrorText(plat::GetLastError()) + L")");
    scheduledCount = 0;
    UnregisterAllVoicesFromDisk();
    const std::wstring root = GetRootPath();
    WriteLogLine(L"INFO", L"Removing installation files: " + root);
    // Only a full path is ever deleted: an unexpanded or empty Program Files
    // would make it relative to wherever the uninstaller runs.
    if (plat::IsAbsolutePath(root)) {
        DeleteDirectoryRecursive(root);
        RemoveEmptyVendorFolder(root.substr(0, root.rfind(L'\\')));
    }
    RemoveTemporalFiles();
    RemoveCatalogueLeftovers();
    WriteLogLine(L"INFO", L"Finished uninstallation of Mirelka voices");
    if (scheduledCount > 0) {
        const std::wstring pending = std::to_wstring(scheduledCount) +
                                     (scheduledCount == 1 ? L" entry waits" : L" entries wait") +
                                     L" for deletion at the next restart; /verify reports them until then";
        plat::ConsoleWrite(plat::ConsoleStream::Output, pending + L"\n");
        WriteLogLine(L"WARNING", pending);
    }
    return 0;
}
