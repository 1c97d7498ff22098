#include "voices/voice_folders.h"

#include "platform/files.h"
#include "support/log.h"

bool ForEachVoiceFolder(const std::wstring& voicesFolder, const std::function<void(const std::wstring&)>& visit) {
    // A folder that did not expand to a full path is never listed.
    if (!plat::IsAbsolutePath(voicesFolder)) return false;
    plat::FindData entry;
    const plat::OwnedFind listing(plat::FindFirstFile(voicesFolder + L"\\*.*", entry));
    if (listing == nullptr) return false;
    do {
        if (!(entry.attributes & plat::kFileAttributeDirectory) || entry.name.empty() || entry.name[0] == L'.')
            continue;
        if (entry.attributes & plat::kFileAttributeReparsePoint) {
            // A junction or link would lead this elevated run to files elsewhere.
            WriteLogLine(L"WARNING", L"Voice folder is a link, skipped: " + voicesFolder + L"\\" + entry.name);
            continue;
        }
        visit(entry.name);
    } while (plat::FindNextFile(listing.get(), entry));
    return true;
}
