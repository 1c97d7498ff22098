// Security identifiers, access lists and security descriptors, in the binary
// layouts of Win32 (SID, ACL, ACE, SECURITY_DESCRIPTOR), handled through the
// functions of the Win32 security API. Blocks come from LocalAlloc and go back
// with LocalFree.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

using SidPtr = void*;
using AclPtr = void*;
using DescriptorPtr = void*;

constexpr std::uint32_t kLptr = 0x40;                       // LPTR: zero-filled fixed block
constexpr std::uint32_t kSecurityDescriptorRevision = 1;
constexpr std::uint32_t kSecurityDescriptorMinLength = 40;  // absolute descriptor, 64-bit
constexpr std::uint32_t kAclRevision = 2;
constexpr std::uint32_t kDaclSecurityInformation = 4;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

constexpr std::uint8_t kAccessAllowedAceType = 0;
constexpr std::uint8_t kAccessDeniedAceType = 1;

constexpr std::uint32_t kGenericAll = 0x10000000u;
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kGenericExecute = 0x20000000u;
constexpr std::uint32_t kKeyAllAccess = 0xF003Fu;
constexpr std::uint32_t kKeyRead = 0x20019u;
constexpr std::uint32_t kFileAllAccess = 0x1F01FFu;

// Explicit-access entry of SetEntriesInAclW (EXPLICIT_ACCESS_W with a SID trustee).
constexpr std::uint32_t kGrantAccess = 1;
constexpr std::uint32_t kNoInheritance = 0;
constexpr std::uint32_t kTrusteeIsSid = 0;
constexpr std::uint32_t kTrusteeIsWellKnownGroup = 5;
struct ExplicitAccess {
    std::uint32_t accessPermissions = 0;
    std::uint32_t accessMode = 0;
    std::uint32_t inheritance = 0;
    std::uint32_t trusteeForm = kTrusteeIsSid;
    std::uint32_t trusteeType = 0;
    SidPtr trusteeSid = nullptr;
};

struct SidAuthority {
    std::uint8_t value[6];
};
constexpr SidAuthority kSecurityWorldSidAuthority = {{0, 0, 0, 0, 0, 1}};
constexpr std::uint32_t kSecurityWorldRid = 0;

// ACL_SIZE_INFORMATION.
struct AclSizeInformation {
    std::uint32_t aceCount = 0;
    std::uint32_t aclBytesInUse = 0;
    std::uint32_t aclBytesFree = 0;
};

// Room for an absolute SECURITY_DESCRIPTOR, aligned as that structure (which
// holds pointers) must be; never a plain byte array.
struct SecurityDescriptorStorage {
    alignas(void*) unsigned char bytes[kSecurityDescriptorMinLength] = {};
    DescriptorPtr get() { return bytes; }
};

void* LocalAlloc(std::uint32_t flags, std::size_t bytes);
void* LocalFree(void* block);

bool AllocateAndInitializeSid(const SidAuthority& authority, std::uint8_t subAuthorityCount,
                              std::uint32_t sub0, SidPtr* sid);
void* FreeSid(SidPtr sid);
// Own a block from LocalAlloc (a SID from ConvertStringSidToSid, a list from
// SetEntriesInAcl, a descriptor), or a SID from AllocateAndInitializeSid, and
// give it back when they go.
struct LocalFreer {
    void operator()(void* block) const { LocalFree(block); }
};
using OwnedLocal = std::unique_ptr<void, LocalFreer>;
struct SidFreer {
    void operator()(SidPtr sid) const { FreeSid(sid); }
};
using OwnedSid = std::unique_ptr<void, SidFreer>;

std::uint32_t GetSidLengthRequired(std::uint8_t subAuthorityCount);
bool InitializeSid(SidPtr sid, const SidAuthority& authority, std::uint8_t subAuthorityCount);
std::uint32_t* GetSidSubAuthority(SidPtr sid, std::uint32_t index);
std::uint32_t GetLengthSid(SidPtr sid);

// Returns a Win32 code; the new list comes from LocalAlloc.
std::uint32_t SetEntriesInAcl(std::uint32_t count, const ExplicitAccess* entries, AclPtr oldAcl,
                              AclPtr* newAcl);
bool InitializeAcl(AclPtr acl, std::uint32_t length, std::uint32_t revision);
bool GetAclInformation(AclPtr acl, AclSizeInformation& info);
bool GetAce(AclPtr acl, std::uint32_t index, void** ace);
bool AddAce(AclPtr acl, std::uint32_t revision, std::uint32_t startingIndex, void* aceList,
            std::uint32_t aceListLength);
bool AddAccessAllowedAce(AclPtr acl, std::uint32_t revision, std::uint32_t mask, SidPtr sid);

bool InitializeSecurityDescriptor(DescriptorPtr descriptor, std::uint32_t revision);
bool SetSecurityDescriptorDacl(DescriptorPtr descriptor, bool present, AclPtr acl, bool defaulted);
bool GetSecurityDescriptorDacl(DescriptorPtr descriptor, bool* present, AclPtr* acl, bool* defaulted);

// SetFileSecurityW. On the stand-in a file's access list becomes POSIX
// permission bits: what everyone may do is granted to owner, group and others.
bool SetFileSecurity(const std::wstring& path, std::uint32_t information, DescriptorPtr descriptor);

// A readable form of one access entry, for checks and diagnostics.
struct AceSummary {
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    std::wstring sid;  // "S-1-1-0"
    bool operator==(const AceSummary&) const = default;
};
std::wstring SidToString(SidPtr sid);
std::vector<AceSummary> DescribeAcl(AclPtr acl);

// The same through a handle opened with FILE_FLAG_OPEN_REPARSE_POINT
// (SetKernelObjectSecurity): the list goes on the file the path names itself;
// a link there is refused with access denied, never followed.
bool SetFileSecurityNoFollow(const std::wstring& path, std::uint32_t information, DescriptorPtr descriptor);

// The entries of a file's discretionary access list (GetFileSecurityW). On the
// stand-in they are derived back from the permission bits. False when the file
// cannot be read.
bool GetFileAccessEntries(const std::wstring& path, std::vector<AceSummary>& entries);

}  // namespace plat
