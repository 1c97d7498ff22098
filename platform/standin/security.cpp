// The Win32 security structures, built byte for byte as Windows lays them out,
// so that the core computes the same sizes and entries on both builds.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/standin/sandbox.h"
#include "platform/security.h"
#include "platform/types.h"

namespace plat {
namespace {

constexpr std::uint16_t kSeDaclPresent = 0x0004;
constexpr std::uint16_t kSeDaclDefaulted = 0x0008;
constexpr std::uint16_t kSeSelfRelative = 0x8000;
constexpr std::uint32_t kErrorAllottedSpaceExceeded = 1344;
constexpr std::uint32_t kErrorInvalidAcl = 1336;
constexpr std::uint32_t kErrorInvalidSid = 1337;

std::uint16_t Get16(const void* p, std::size_t offset) {
    std::uint16_t v;
    std::memcpy(&v, static_cast<const std::uint8_t*>(p) + offset, 2);
    return v;
}
void Put16(void* p, std::size_t offset, std::uint16_t v) { std::memcpy(static_cast<std::uint8_t*>(p) + offset, &v, 2); }
void Put32(void* p, std::size_t offset, std::uint32_t v) { std::memcpy(static_cast<std::uint8_t*>(p) + offset, &v, 4); }

bool Fail(std::uint32_t code) {
    SetLastError(code);
    return false;
}

bool ValidAcl(AclPtr acl) { return acl != nullptr && static_cast<std::uint8_t*>(acl)[0] >= 2 && Get16(acl, 2) >= 8; }

// Bytes in use: the header and every entry.
std::size_t AclUsed(AclPtr acl) {
    std::size_t offset = 8;
    const std::uint16_t count = Get16(acl, 4);
    for (std::uint16_t i = 0; i < count; ++i) offset += Get16(acl, offset + 2);
    return offset;
}

bool AppendAce(AclPtr acl, std::uint8_t type, std::uint8_t flags, std::uint32_t mask, SidPtr sid) {
    if (!ValidAcl(acl)) return Fail(kErrorInvalidAcl);
    if (sid == nullptr) return Fail(kErrorInvalidSid);
    const std::uint32_t sidLength = GetLengthSid(sid);
    const std::size_t used = AclUsed(acl);
    const std::size_t aceSize = 8 + sidLength;
    if (used + aceSize > Get16(acl, 2)) return Fail(kErrorAllottedSpaceExceeded);
    auto* ace = static_cast<std::uint8_t*>(acl) + used;
    ace[0] = type;
    ace[1] = flags;
    Put16(ace, 2, static_cast<std::uint16_t>(aceSize));
    Put32(ace, 4, mask);
    std::memcpy(ace + 8, sid, sidLength);
    Put16(acl, 4, static_cast<std::uint16_t>(Get16(acl, 4) + 1));
    return true;
}

mode_t BitsOf(std::uint32_t mask) {
    if (mask & kGenericAll || (mask & kFileAllAccess) == kFileAllAccess) return 07;
    mode_t bits = 0;
    if (mask & (kGenericRead | 0x1)) bits |= 04;
    if (mask & (kGenericWrite | 0x2)) bits |= 02;
    if (mask & (kGenericExecute | 0x20)) bits |= 01;
    return bits;
}

std::uint32_t MaskOf(mode_t bits) {
    if (bits == 07) return kFileAllAccess;
    std::uint32_t mask = 0;
    if (bits & 04) mask |= 0x120089;  // FILE_GENERIC_READ
    if (bits & 02) mask |= 0x120116;  // FILE_GENERIC_WRITE
    if (bits & 01) mask |= 0x1200A0;  // FILE_GENERIC_EXECUTE
    return mask;
}

}  // namespace

void* LocalAlloc(std::uint32_t flags, std::size_t bytes) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    if (flags & kLptr) std::memset(block, 0, bytes == 0 ? 1 : bytes);
    return block;
}

void* LocalFree(void* block) {
    std::free(block);
    return nullptr;
}

std::uint32_t GetSidLengthRequired(std::uint8_t subAuthorityCount) { return 8u + 4u * subAuthorityCount; }

bool InitializeSid(SidPtr sid, const SidAuthority& authority, std::uint8_t subAuthorityCount) {
    if (sid == nullptr || subAuthorityCount > 15) return Fail(kErrorInvalidParameter);
    auto* p = static_cast<std::uint8_t*>(sid);
    p[0] = 1;
    p[1] = subAuthorityCount;
    std::memcpy(p + 2, authority.value, 6);
    return true;
}

std::uint32_t* GetSidSubAuthority(SidPtr sid, std::uint32_t index) {
    return reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(sid) + 8 + 4 * index);
}

std::uint32_t GetLengthSid(SidPtr sid) { return GetSidLengthRequired(static_cast<std::uint8_t*>(sid)[1]); }

bool AllocateAndInitializeSid(const SidAuthority& authority, std::uint8_t subAuthorityCount, std::uint32_t sub0,
                              SidPtr* sid) {
    if (sid == nullptr || subAuthorityCount == 0 || subAuthorityCount > 8) return Fail(kErrorInvalidParameter);
    SidPtr block = LocalAlloc(kLptr, GetSidLengthRequired(subAuthorityCount));
    if (block == nullptr) return false;
    InitializeSid(block, authority, subAuthorityCount);
    *GetSidSubAuthority(block, 0) = sub0;
    *sid = block;
    return true;
}

void* FreeSid(SidPtr sid) { return LocalFree(sid); }

std::uint32_t SetEntriesInAcl(std::uint32_t count, const ExplicitAccess* entries, AclPtr oldAcl, AclPtr* newAcl) {
    if (newAcl == nullptr || (count > 0 && entries == nullptr)) return kErrorInvalidParameter;
    std::size_t size = 8 + (oldAcl ? AclUsed(oldAcl) - 8 : 0);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (entries[i].trusteeForm != kTrusteeIsSid || entries[i].trusteeSid == nullptr) return kErrorInvalidParameter;
        size += 8 + GetLengthSid(entries[i].trusteeSid);
    }
    AclPtr acl = LocalAlloc(kLptr, size);
    if (acl == nullptr) return kErrorNotEnoughMemory;
    InitializeAcl(acl, static_cast<std::uint32_t>(size), kAclRevision);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (entries[i].accessMode != kGrantAccess) continue;
        AppendAce(acl, kAccessAllowedAceType, static_cast<std::uint8_t>(entries[i].inheritance),
                  entries[i].accessPermissions, entries[i].trusteeSid);
    }
    if (oldAcl != nullptr) {
        const std::size_t oldUsed = AclUsed(oldAcl);
        const std::size_t used = AclUsed(acl);
        std::memcpy(static_cast<std::uint8_t*>(acl) + used, static_cast<std::uint8_t*>(oldAcl) + 8, oldUsed - 8);
        Put16(acl, 4, static_cast<std::uint16_t>(Get16(acl, 4) + Get16(oldAcl, 4)));
    }
    *newAcl = acl;
    return kErrorSuccess;
}

bool InitializeAcl(AclPtr acl, std::uint32_t length, std::uint32_t revision) {
    if (acl == nullptr || length < 8 || length > 0xFFFF) return Fail(length > 0xFFFF ? kErrorInvalidParameter : kErrorInsufficientBuffer);
    if (revision != 2 && revision != 4) return Fail(kErrorInvalidParameter);
    auto* p = static_cast<std::uint8_t*>(acl);
    p[0] = static_cast<std::uint8_t>(revision);
    p[1] = 0;
    Put16(acl, 2, static_cast<std::uint16_t>(length));
    Put16(acl, 4, 0);
    Put16(acl, 6, 0);
    return true;
}

bool GetAclInformation(AclPtr acl, AclSizeInformation& info) {
    if (!ValidAcl(acl)) return Fail(kErrorInvalidAcl);
    info.aceCount = Get16(acl, 4);
    info.aclBytesInUse = static_cast<std::uint32_t>(AclUsed(acl));
    info.aclBytesFree = Get16(acl, 2) - info.aclBytesInUse;
    return true;
}

bool GetAce(AclPtr acl, std::uint32_t index, void** ace) {
    if (!ValidAcl(acl) || index >= Get16(acl, 4)) return Fail(kErrorInvalidParameter);
    std::size_t offset = 8;
    for (std::uint32_t i = 0; i < index; ++i) offset += Get16(acl, offset + 2);
    *ace = static_cast<std::uint8_t*>(acl) + offset;
    return true;
}

bool AddAce(AclPtr acl, std::uint32_t revision, std::uint32_t startingIndex, void* aceList,
            std::uint32_t aceListLength) {
    if (!ValidAcl(acl) || revision < 2) return Fail(kErrorInvalidParameter);
    std::uint32_t added = 0;
    for (std::uint32_t offset = 0; offset < aceListLength; ++added) {
        const std::uint16_t size = Get16(aceList, offset + 2);
        if (size < 4) return Fail(kErrorInvalidParameter);
        offset += size;
    }
    const std::size_t used = AclUsed(acl);
    if (used + aceListLength > Get16(acl, 2)) return Fail(kErrorAllottedSpaceExceeded);
    const std::uint16_t count = Get16(acl, 4);
    std::size_t at = used;
    if (startingIndex < count) {
        at = 8;
        for (std::uint32_t i = 0; i < startingIndex; ++i) at += Get16(acl, at + 2);
    }
    auto* base = static_cast<std::uint8_t*>(acl);
    std::memmove(base + at + aceListLength, base + at, used - at);
    std::memcpy(base + at, aceList, aceListLength);
    Put16(acl, 4, static_cast<std::uint16_t>(count + added));
    return true;
}

bool AddAccessAllowedAce(AclPtr acl, std::uint32_t revision, std::uint32_t mask, SidPtr sid) {
    if (revision < 2) return Fail(kErrorInvalidParameter);
    return AppendAce(acl, kAccessAllowedAceType, 0, mask, sid);
}

bool InitializeSecurityDescriptor(DescriptorPtr descriptor, std::uint32_t revision) {
    if (descriptor == nullptr || revision != kSecurityDescriptorRevision) return Fail(1338);  // ERROR_INVALID_SECURITY_DESCR
    std::memset(descriptor, 0, kSecurityDescriptorMinLength);
    static_cast<std::uint8_t*>(descriptor)[0] = 1;
    return true;
}

bool SetSecurityDescriptorDacl(DescriptorPtr descriptor, bool present, AclPtr acl, bool defaulted) {
    if (descriptor == nullptr) return Fail(1338);
    std::uint16_t control = Get16(descriptor, 2);
    if (control & kSeSelfRelative) return Fail(1340);  // ERROR_INVALID_SECURITY_DESCR for a relative one
    control &= static_cast<std::uint16_t>(~(kSeDaclPresent | kSeDaclDefaulted));
    if (present) control |= kSeDaclPresent;
    if (present && defaulted) control |= kSeDaclDefaulted;
    Put16(descriptor, 2, control);
    AclPtr stored = present ? acl : nullptr;
    std::memcpy(static_cast<std::uint8_t*>(descriptor) + 32, &stored, sizeof stored);
    return true;
}

bool GetSecurityDescriptorDacl(DescriptorPtr descriptor, bool* present, AclPtr* acl, bool* defaulted) {
    if (descriptor == nullptr || static_cast<std::uint8_t*>(descriptor)[0] != 1) return Fail(1338);
    const std::uint16_t control = Get16(descriptor, 2);
    *present = (control & kSeDaclPresent) != 0;
    *defaulted = (control & kSeDaclDefaulted) != 0;
    *acl = nullptr;
    if (!*present) return true;
    if (control & kSeSelfRelative) {
        std::uint32_t offset = 0;
        std::memcpy(&offset, static_cast<std::uint8_t*>(descriptor) + 16, 4);
        *acl = offset ? static_cast<std::uint8_t*>(descriptor) + offset : nullptr;
    } else {
        std::memcpy(acl, static_cast<std::uint8_t*>(descriptor) + 32, sizeof(AclPtr));
    }
    return true;
}

namespace {

// The permission bits a descriptor's list stands for; false when it has no
// list to apply.
bool ModeOf(std::uint32_t information, DescriptorPtr descriptor, mode_t& mode, bool& apply) {
    apply = false;
    if (!(information & kDaclSecurityInformation)) return true;
    bool present = false, defaulted = false;
    AclPtr acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) return false;
    if (!present) return true;
    mode_t everyone = 0, owner = 0;
    if (acl == nullptr) {
        everyone = 07;  // a null list lets everyone in
    } else {
        for (const AceSummary& ace : DescribeAcl(acl)) {
            if (ace.type != kAccessAllowedAceType) continue;
            if (ace.sid == L"S-1-1-0") everyone |= BitsOf(ace.mask);
            else if (ace.sid == L"S-1-3-4" || ace.sid == L"S-1-3-0") owner |= BitsOf(ace.mask);
        }
    }
    mode = static_cast<mode_t>(((owner | everyone) << 6) | (everyone << 3) | everyone);
    apply = true;
    return true;
}

}  // namespace

bool SetFileSecurity(const std::wstring& path, std::uint32_t information, DescriptorPtr descriptor) {
    const std::string host = sandbox::ToHostPath(path);
    struct stat st {};
    if (::stat(host.c_str(), &st) != 0) return Fail(kErrorFileNotFound);
    mode_t mode = 0;
    bool apply = false;
    if (!ModeOf(information, descriptor, mode, apply)) return false;
    if (apply && ::chmod(host.c_str(), mode) != 0) return Fail(kErrorAccessDenied);
    return true;
}

bool SetFileSecurityNoFollow(const std::wstring& path, std::uint32_t information, DescriptorPtr descriptor) {
    // O_PATH | O_NOFOLLOW opens a link itself; its own descriptor then names
    // exactly the file that was checked.
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Fail(kErrorFileNotFound);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISLNK(st.st_mode)) {
        ::close(fd);
        return Fail(kErrorAccessDenied);
    }
    mode_t mode = 0;
    bool apply = false;
    bool ok = ModeOf(information, descriptor, mode, apply);
    if (ok && apply) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        ok = ::chmod(self.c_str(), mode) == 0 || Fail(kErrorAccessDenied);
    }
    ::close(fd);
    return ok;
}

namespace sandbox {
bool SetSecurityOfDescriptor(int fd, std::uint32_t information, DescriptorPtr descriptor) {
    mode_t mode = 0;
    bool apply = false;
    if (!ModeOf(information, descriptor, mode, apply)) return false;
    if (apply && ::fchmod(fd, mode) != 0) return Fail(kErrorAccessDenied);
    if (apply) ::fremovexattr(fd, kDenyEntryAttribute);  // the whole list is replaced, deny entry and all
    return true;
}
}  // namespace sandbox

bool GetFileAccessEntries(const std::wstring& path, std::vector<AceSummary>& entries) {
    struct stat st {};
    if (::stat(sandbox::ToHostPath(path).c_str(), &st) != 0) return Fail(kErrorFileNotFound);
    entries.clear();
    const mode_t owner = (st.st_mode >> 6) & 07, everyone = st.st_mode & 07;
    if (owner != everyone && owner != 0) entries.push_back({kAccessAllowedAceType, 0, MaskOf(owner), L"S-1-3-4"});
    if (everyone != 0) entries.push_back({kAccessAllowedAceType, 0, MaskOf(everyone), L"S-1-1-0"});
    return true;
}

}  // namespace plat
