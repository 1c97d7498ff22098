#include "platform/testing.h"
#include "platform/win32/win32.h"

#include <wincrypt.h>

#include <cwchar>
#include <vector>

namespace plat::testing {

void PrepareTestMachine() {}

bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsStandIn() { return false; }

}  // namespace plat::testing

namespace plat::testing {

void* HoldFileOpen(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

void* LockWholeFile(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    OVERLAPPED from {};
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &from)) {
        ::CloseHandle(h);
        return nullptr;
    }
    return h;  // closing the handle releases the lock
}

bool CreateRegistryLink(const std::wstring& link, const std::wstring& target, bool inUserHive) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(inUserHive ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, link.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                          KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    // The target as the kernel names it, without a terminating NUL.
    const std::wstring path = L"\\Registry\\Machine\\" + target;
    const LONG set = ::RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(path.data()),
                                      static_cast<DWORD>(path.size() * sizeof(wchar_t)));
    ::RegCloseKey(key);
    return set == ERROR_SUCCESS;
}

void* HoldAsImage(const std::wstring& path) {
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

void ReleaseImage(void* image) {
    if (image != nullptr) ::FreeLibrary(static_cast<HMODULE>(image));
}

bool SetCurrentFolder(const std::wstring& folder) { return ::SetCurrentDirectoryW(folder.c_str()) != 0; }

bool CreateLink(const std::wstring& link, const std::wstring& target, bool directory) {
    const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // ..._ALLOW_UNPRIVILEGED_CREATE
    return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) != 0;
}

bool AddHardLink(const std::wstring& link, const std::wstring& target) {
    return ::CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != 0;
}

bool DenyEveryone(const std::wstring& path, std::uint32_t rights) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) return false;
    EXPLICIT_ACCESS_W entries[2] = {};
    for (EXPLICIT_ACCESS_W& e : entries) {
        e.grfInheritance = NO_INHERITANCE;
        e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        e.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        e.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    }
    entries[0].grfAccessPermissions = rights;
    entries[0].grfAccessMode = DENY_ACCESS;
    entries[1].grfAccessPermissions = GENERIC_ALL;
    entries[1].grfAccessMode = GRANT_ACCESS;
    PACL acl = nullptr;
    bool ok = ::SetEntriesInAclW(2, entries, nullptr, &acl) == ERROR_SUCCESS;
    SECURITY_DESCRIPTOR descriptor {};
    ok = ok && ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
         ::SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &descriptor);
    if (acl) ::LocalFree(acl);
    ::FreeSid(everyone);
    return ok;
}

bool TrustRootCertificate(const std::string& der) {
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) return false;
    const BOOL ok = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                       reinterpret_cast<const BYTE*>(der.data()),
                                                       static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                       nullptr);
    ::CertCloseStore(store, 0);
    return ok != 0;
}

bool DistrustRootCertificate(const std::string& der) {
    PCCERT_CONTEXT wanted = ::CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                           static_cast<DWORD>(der.size()));
    if (wanted == nullptr) return false;
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    bool gone = store != nullptr;
    if (store != nullptr) {
        // Every copy: a test run twice may have added it twice.
        while (PCCERT_CONTEXT found =
                   ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)) {
            if (!::CertDeleteCertificateFromStore(found)) {  // frees `found` either way
                gone = false;
                break;
            }
        }
        ::CertCloseStore(store, 0);
    }
    ::CertFreeCertificateContext(wanted);
    return gone;
}

void ReleaseHeldFile(void* hold) {
    if (hold != nullptr) ::CloseHandle(hold);
}

bool ReadProgramResources(const std::wstring& path, ProgramResources& resources) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<unsigned char> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return false;
    void* value = nullptr;
    UINT length = 0;
    if (::VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        resources.fixedFileVersion = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                                     std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                     std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
                                     std::to_wstring(LOWORD(fixed->dwFileVersionLS));
    }
    struct Translation {
        WORD language, codePage;
    };
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < sizeof(Translation))
        return false;
    const Translation first = *static_cast<const Translation*>(value);
    wchar_t prefix[64];
    std::swprintf(prefix, 64, L"\\StringFileInfo\\%04x%04x\\", first.language, first.codePage);
    for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                                L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
        if (::VerQueryValueW(block.data(), (std::wstring(prefix) + name).c_str(), &value, &length) && length > 0)
            resources.strings.emplace_back(name, static_cast<const wchar_t*>(value));
    }
    // The manifest, read from the file as data: nothing of it runs.
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module != nullptr) {
        if (HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
            const DWORD bytes = ::SizeofResource(module, found);
            if (HGLOBAL loaded = ::LoadResource(module, found))
                resources.manifest.assign(static_cast<const char*>(::LockResource(loaded)), bytes);
        }
        ::FreeLibrary(module);
    }
    return true;
}

}  // namespace plat::testing
