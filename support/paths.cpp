#include "support/paths.h"

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/security.h"

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

bool SetFilePermission(plat::PlainFile& file) {
    // Each step needs the one before; when one fails the rest is skipped.
    plat::SidPtr sid = nullptr;
    if (!plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, plat::kSecurityWorldRid, &sid)) return false;
    const plat::OwnedSid everyone(sid);
    plat::ExplicitAccess entry;
    entry.accessPermissions = 0xFFFFFFFFu;
    entry.accessMode = plat::kGrantAccess;
    entry.inheritance = plat::kNoInheritance;
    entry.trusteeForm = plat::kTrusteeIsSid;
    entry.trusteeType = plat::kTrusteeIsWellKnownGroup;
    entry.trusteeSid = everyone.get();
    plat::AclPtr list = nullptr;
    if (const std::uint32_t code = plat::SetEntriesInAcl(1, &entry, nullptr, &list); code != plat::kErrorSuccess) {
        plat::SetLastError(code);
        return false;
    }
    const plat::OwnedLocal acl(list);
    const plat::OwnedLocal descriptor(plat::LocalAlloc(plat::kLptr, plat::kSecurityDescriptorMinLength));
    return descriptor && plat::InitializeSecurityDescriptor(descriptor.get(), plat::kSecurityDescriptorRevision) &&
           plat::SetSecurityDescriptorDacl(descriptor.get(), true, acl.get(), false) &&
           file.SetSecurity(plat::kDaclSecurityInformation, descriptor.get());
}

void SetFilePermission(const wchar_t* FileName) {
    plat::PlainFile file;
    if (file.Open(FileName, plat::PlainFile::Access::ReadAndSetAccessList) == plat::PlainFile::Opened::File)
        SetFilePermission(file);
}
