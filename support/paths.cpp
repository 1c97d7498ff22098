#include "support/paths.h"

#include <memory>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/security.h"
#include "support/log.h"

const wchar_t* const programFilesEnv = L"%ProgramFiles%";
const wchar_t* const sapiFolder = L"ZunSapi64";
const std::wstring sapiFolderStr = L"ZunSapi64";
const std::int32_t app64 = 1;

std::wstring ExpandProgramFiles() {
    wchar_t buffer[plat::kMaxPath] = {};
    const std::uint32_t needed = plat::ExpandEnvironmentStrings(programFilesEnv, buffer, plat::kMaxPath);
    // An expansion longer than the buffer would leave it unfilled: an empty
    // prefix then, which no caller takes for a real folder.
    if (needed == 0 || needed > plat::kMaxPath) return L"";
    return buffer;
}

std::wstring GetRootPath() { return ExpandProgramFiles() + L"\\Mirelka\\" + sapiFolderStr; }

std::wstring GetEngineLibraryPath() { return GetRootPath() + L"\\QueltoEngine.dll"; }

std::wstring GetVoicesRootPath_Post() { return GetRootPath() + L"\\data_quelto\\voices"; }

bool ForEachVoiceFolder(const std::wstring& voicesFolder, const std::function<void(const std::wstring&)>& visit) {
    // A folder that did not expand to a full path is never listed.
    if (!plat::IsAbsolutePath(voicesFolder)) return false;
    plat::FindData entry;
    const std::unique_ptr<plat::FindState, void (*)(plat::FindHandle)> listing(
        plat::FindFirstFile(voicesFolder + L"\\*.*", entry), plat::FindClose);
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

void EnsureDirectoryExists(const std::wstring& path) {
    std::size_t position = 0;
    for (;;) {
        const std::size_t p = path.find(L'\\', position + 1);
        if (p == std::wstring::npos) break;
        plat::CreateOneDirectory(path.substr(0, p));
        position = p;
    }
    plat::CreateOneDirectory(path);
}

void SetFilePermission(const wchar_t* FileName) {
    // Each step needs the one before; when one fails the rest is skipped.
    plat::SidPtr everyone = nullptr;
    if (!plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, plat::kSecurityWorldRid, &everyone))
        return;
    plat::ExplicitAccess entry;
    entry.accessPermissions = 0xFFFFFFFFu;
    entry.accessMode = plat::kGrantAccess;
    entry.inheritance = plat::kNoInheritance;
    entry.trusteeForm = plat::kTrusteeIsSid;
    entry.trusteeType = plat::kTrusteeIsWellKnownGroup;
    entry.trusteeSid = everyone;
    plat::AclPtr acl = nullptr;
    if (plat::SetEntriesInAcl(1, &entry, nullptr, &acl) == plat::kErrorSuccess) {
        if (plat::DescriptorPtr descriptor = plat::LocalAlloc(plat::kLptr, plat::kSecurityDescriptorMinLength)) {
            if (plat::InitializeSecurityDescriptor(descriptor, plat::kSecurityDescriptorRevision) &&
                plat::SetSecurityDescriptorDacl(descriptor, true, acl, false)) {
                plat::SetFileSecurityNoFollow(FileName, plat::kDaclSecurityInformation, descriptor);
            }
            plat::LocalFree(descriptor);
        }
        plat::LocalFree(acl);
    }
    plat::FreeSid(everyone);
}

void RemoveTemporalFiles() {
    wchar_t buffer[plat::kMaxPath] = {};
    const std::uint32_t length = plat::GetTempPath(plat::kMaxPath, buffer);
    const std::wstring temp = length > 0 && length < plat::kMaxPath ? buffer : L"";
    WriteLogLine(L"INFO", L"Removing temporal files: ");
    if (!plat::IsAbsolutePath(temp)) {
        WriteLogLine(L"ERROR", L"   - Temporary folder not found: nothing removed");
        return;
    }
    WriteLogLine(L"INFO", L"   - Available voices file: " + temp + L"quelto_voices.json");
    plat::DeleteFile(temp + L"quelto_voices.json");
    WriteLogLine(L"INFO", L"   - Selected voices file: " + temp + L"quelto_selected.txt");
    plat::DeleteFile(temp + L"quelto_selected.txt");
}
