#include "platform/security.h"
#include "platform/win32/win32.h"


namespace plat {

static_assert(sizeof(SECURITY_DESCRIPTOR) <= sizeof(SecurityDescriptorStorage) &&
              alignof(SECURITY_DESCRIPTOR) <= alignof(SecurityDescriptorStorage));

void* LocalAlloc(std::uint32_t flags, std::size_t bytes) { return ::LocalAlloc(flags, bytes); }
void* LocalFree(void* block) { return ::LocalFree(block); }

bool AllocateAndInitializeSid(const SidAuthority& authority, std::uint8_t subAuthorityCount, std::uint32_t sub0,
                              SidPtr* sid) {
    SID_IDENTIFIER_AUTHORITY a;
    for (int i = 0; i < 6; ++i) a.Value[i] = authority.value[i];
    return ::AllocateAndInitializeSid(&a, subAuthorityCount, sub0, 0, 0, 0, 0, 0, 0, 0, sid) != 0;
}
void* FreeSid(SidPtr sid) { return ::FreeSid(sid); }
std::uint32_t GetSidLengthRequired(std::uint8_t subAuthorityCount) { return ::GetSidLengthRequired(subAuthorityCount); }
bool InitializeSid(SidPtr sid, const SidAuthority& authority, std::uint8_t subAuthorityCount) {
    SID_IDENTIFIER_AUTHORITY a;
    for (int i = 0; i < 6; ++i) a.Value[i] = authority.value[i];
    return ::InitializeSid(sid, &a, subAuthorityCount) != 0;
}
std::uint32_t* GetSidSubAuthority(SidPtr sid, std::uint32_t index) {
    return reinterpret_cast<std::uint32_t*>(::GetSidSubAuthority(sid, index));
}
std::uint32_t GetLengthSid(SidPtr sid) { return ::GetLengthSid(sid); }

std::uint32_t SetEntriesInAcl(std::uint32_t count, const ExplicitAccess* entries, AclPtr oldAcl, AclPtr* newAcl) {
    std::vector<EXPLICIT_ACCESS_W> raw(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        raw[i] = {};
        raw[i].grfAccessPermissions = entries[i].accessPermissions;
        raw[i].grfAccessMode = static_cast<ACCESS_MODE>(entries[i].accessMode);
        raw[i].grfInheritance = entries[i].inheritance;
        raw[i].Trustee.pMultipleTrustee = nullptr;
        raw[i].Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        raw[i].Trustee.TrusteeForm = static_cast<TRUSTEE_FORM>(entries[i].trusteeForm);
        raw[i].Trustee.TrusteeType = static_cast<TRUSTEE_TYPE>(entries[i].trusteeType);
        raw[i].Trustee.ptstrName = static_cast<LPWSTR>(entries[i].trusteeSid);
    }
    PACL result = nullptr;
    const DWORD code = ::SetEntriesInAclW(count, raw.data(), static_cast<PACL>(oldAcl), &result);
    if (code == ERROR_SUCCESS) *newAcl = result;
    return code;
}

bool InitializeAcl(AclPtr acl, std::uint32_t length, std::uint32_t revision) {
    return ::InitializeAcl(static_cast<PACL>(acl), length, revision) != 0;
}
bool GetAclInformation(AclPtr acl, AclSizeInformation& info) {
    ACL_SIZE_INFORMATION raw {};
    if (!::GetAclInformation(static_cast<PACL>(acl), &raw, sizeof raw, ::AclSizeInformation)) return false;
    info.aceCount = raw.AceCount;
    info.aclBytesInUse = raw.AclBytesInUse;
    info.aclBytesFree = raw.AclBytesFree;
    return true;
}
bool GetAce(AclPtr acl, std::uint32_t index, void** ace) { return ::GetAce(static_cast<PACL>(acl), index, ace) != 0; }
bool AddAce(AclPtr acl, std::uint32_t revision, std::uint32_t startingIndex, void* aceList,
            std::uint32_t aceListLength) {
    return ::AddAce(static_cast<PACL>(acl), revision, startingIndex, aceList, aceListLength) != 0;
}
bool AddAccessAllowedAce(AclPtr acl, std::uint32_t revision, std::uint32_t mask, SidPtr sid) {
    return ::AddAccessAllowedAce(static_cast<PACL>(acl), revision, mask, sid) != 0;
}

bool InitializeSecurityDescriptor(DescriptorPtr descriptor, std::uint32_t revision) {
    return ::InitializeSecurityDescriptor(descriptor, revision) != 0;
}
bool SetSecurityDescriptorDacl(DescriptorPtr descriptor, bool present, AclPtr acl, bool defaulted) {
    return ::SetSecurityDescriptorDacl(descriptor, present, static_cast<PACL>(acl), defaulted) != 0;
}
bool GetSecurityDescriptorDacl(DescriptorPtr descriptor, bool* present, AclPtr* acl, bool* defaulted) {
    BOOL p = FALSE, d = FALSE;
    PACL a = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &p, &a, &d)) return false;
    *present = p != 0;
    *defaulted = d != 0;
    *acl = a;
    return true;
}

bool SetFileSecurity(const std::wstring& path, std::uint32_t information, DescriptorPtr descriptor) {
    return ::SetFileSecurityW(path.c_str(), information, descriptor) != 0;
}

bool SetFileSecurityNoFollow(const std::wstring& path, std::uint32_t information, DescriptorPtr descriptor) {
    HANDLE h = ::CreateFileW(LongPathForm(path).c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO tag {};
    BOOL ok = ::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag);
    if (ok && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ok = FALSE;
        ::SetLastError(ERROR_ACCESS_DENIED);
    }
    if (ok) ok = ::SetKernelObjectSecurity(h, information, descriptor);
    const DWORD error = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(error);
    return ok != 0;
}

bool GetFileAccessEntries(const std::wstring& path, std::vector<AceSummary>& entries) {
    DWORD needed = 0;
    ::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<unsigned char> buffer(needed);
    if (!::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed)) return false;
    bool present = false, defaulted = false;
    AclPtr acl = nullptr;
    if (!GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted)) return false;
    entries = DescribeAcl(acl);
    return true;
}

}  // namespace plat
