#include "tokens/rights.h"

#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/errors.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/text.h"
#include "tokens/token_keys.h"
#include "tokens/user_copies.h"

namespace {

// Keeps the thread's last error: the walk reads it after a failure was
// printed, and the console may set its own (Windows: 6 when standard output
// is a pipe).
void Print(const std::wstring& text) {
    const std::uint32_t cause = plat::GetLastError();
    plat::ConsoleWrite(plat::ConsoleStream::Output, text);
    plat::SetLastError(cause);
}

std::wstring LastError() { return std::to_wstring(static_cast<std::int32_t>(plat::GetLastError())); }

}  // namespace

bool GrantsFullAccess(const std::vector<plat::AceSummary>& entries, const std::wstring& sid) {
    for (const plat::AceSummary& ace : entries) {
        if (ace.type == plat::kAccessAllowedAceType && ace.flags == 0 && ace.sid == sid &&
            ((ace.mask & plat::kGenericAll) || (ace.mask & plat::kKeyAllAccess) == plat::kKeyAllAccess))
            return true;
    }
    return false;
}

bool ReadKeyAccessEntries(plat::HKey hKey, std::vector<plat::AceSummary>& entries, bool& present,
                          std::int32_t& code) {
    entries.clear();
    present = false;
    std::uint32_t size = 0;
    code = plat::RegGetKeySecurity(hKey, plat::kDaclSecurityInformation, nullptr, &size);
    if (size == 0) return false;
    std::vector<unsigned char> descriptor(size);
    code = plat::RegGetKeySecurity(hKey, plat::kDaclSecurityInformation, descriptor.data(), &size);
    if (code != 0) return false;
    bool defaulted = false;
    plat::AclPtr acl = nullptr;
    if (!plat::GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted)) {
        code = static_cast<std::int32_t>(plat::GetLastError());
        return false;
    }
    if (present && acl != nullptr) entries = plat::DescribeAcl(acl);
    else present = false;
    return true;
}

void DoSetHiveRights(const std::wstring& keyName) {
    const plat::OwnedLocal sid(plat::LocalAlloc(plat::kLptr, plat::GetSidLengthRequired(1)));
    if (!sid || !plat::InitializeSid(sid.get(), plat::kSecurityWorldSidAuthority, 1)) {
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"ERROR", L"    - InitializeSid failed");
        LogCause(L"key " + keyName, plat::ErrorText(cause));
        return;
    }
    *plat::GetSidSubAuthority(sid.get(), 0) = plat::kSecurityWorldRid;
    plat::SecurityDescriptorStorage descriptor;
    RegSetHiveSecurity(g_hRegKey, sid.get(), 1, descriptor.get(), keyName);
}

namespace {

// The walk below RegSetHiveSecurity. Every subkey is opened as itself: anyone
// may add keys to a token once it is open to everyone, even between the grant
// on a key and the listing of its subkeys, and a registry link among them must
// never lead the grant to the key it names. A link is deleted instead.
class Grant final : public KeyTreeVisitor {
public:
    explicit Grant(plat::SidPtr sid) : sid_(sid) {}
    [[nodiscard]] std::uint32_t Access() const override { return plat::kKeyAllAccess; }
    bool Enter(const KeyAt& at) override {
        if (stopped_ != 0) return false;
        if (AddAccessRights(at.key, sid_, plat::kGenericAll) != 0) return true;
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"ERROR", L"Could not give everyone full access to the key: " + at.where);
        LogCause(L"key " + at.where, plat::ErrorText(cause));
        // The rest of the tree is left as it is: a key whose list cannot be
        // written stops the walk above it too.
        stopped_ = static_cast<std::int32_t>(cause);
        return false;
    }
    void Link(const KeyAt& at) override { DeleteRegistryLink(at.key, at.where); }
    void Skipped(const std::wstring& where, std::int32_t code, const std::wstring& why) override {
        const std::wstring name = where.substr(where.rfind(L'\\') + 1);
        Print(L"ERROR opening '" + ShownText(name) + L"', reason == " + std::to_wstring(code) + L"\n");
        WriteLogLine(L"ERROR", L"Could not open the key to give everyone full access: " + where);
        LogCause(L"key " + where, why + L" (" + plat::ErrorText(static_cast<std::uint32_t>(code)) + L")");
    }
    std::int32_t stopped_ = 0;

private:
    plat::SidPtr sid_;
};

}  // namespace

bool DeleteRegistryLink(plat::HKey link, const std::wstring& keyName) {
    const std::int32_t code = plat::RegDeleteOpenKey(link);
    if (code == 0) {
        WriteLogLine(L"WARNING", L"Registry link found in a token and deleted, never followed: " + keyName);
        return true;
    }
    WriteLogLine(L"ERROR", L"Registry link found in a token, never followed, could not be deleted: " + keyName);
    LogCause(L"key " + keyName, plat::ErrorText(static_cast<std::uint32_t>(code)));
    return false;
}

std::int32_t RegSetHiveSecurity(plat::HKey hKey, plat::SidPtr psid, std::uint32_t, plat::DescriptorPtr,
                                const std::wstring& keyName) {
    Grant grant(psid);
    const KeyTreeEnd end = WalkKeyTree(hKey, keyName, grant);
    if (grant.stopped_ != 0) return grant.stopped_;
    if (end.code != 0) {
        WriteLogLine(L"ERROR", L"Key tree not given everyone's access, " + end.why + L": " + keyName);
        return end.code;
    }
    return static_cast<std::int32_t>(plat::kErrorNoMoreItems);
}

std::int32_t AddAccessRights(plat::HKey hKey, plat::SidPtr pSID, std::uint32_t dwAcessMask) {
    // A first read into a buffer that holds a token key's usual list; only a
    // longer one costs a second read (each is a round trip to the registry).
    constexpr std::uint32_t kUsualBytes = 512;
    std::vector<unsigned char> old(kUsualBytes);
    std::uint32_t size = kUsualBytes;
    if (const std::int32_t first = plat::RegGetKeySecurity(hKey, plat::kDaclSecurityInformation, old.data(), &size);
        first != 0) {
        if (first != static_cast<std::int32_t>(plat::kErrorInsufficientBuffer) || size == 0) {
            plat::SetLastError(static_cast<std::uint32_t>(first));  // the registry answers with a code
            return 0;
        }
        try {
            old.resize(size);
        } catch (const std::bad_alloc&) {
            plat::SetLastError(plat::kErrorNotEnoughMemory);
            Print(L"Error: Could not allocate memory for the security descriptor.\n");
            return 0;
        }
        if (const std::int32_t code = plat::RegGetKeySecurity(hKey, plat::kDaclSecurityInformation, old.data(), &size);
            code != 0) {
            plat::SetLastError(static_cast<std::uint32_t>(code));
            Print(L"Error " + LastError() + L": RegGetKeySecurity (obteniendo seguridad)\n");
            return 0;
        }
    }
    plat::SecurityDescriptorStorage descriptor;
    if (!plat::InitializeSecurityDescriptor(descriptor.get(), plat::kSecurityDescriptorRevision)) {
        Print(L"Error " + LastError() + L":InitializeSecurityDescriptor\n");
        return 0;
    }
    bool present = false, defaulted = false;
    plat::AclPtr oldAcl = nullptr;
    if (!plat::GetSecurityDescriptorDacl(old.data(), &present, &oldAcl, &defaulted)) {
        Print(L"Error " + LastError() + L":GetSecurityDescriptorDacl\n");
        return 0;
    }
    // No list at all lets everyone do everything already: nothing to add.
    if (!present || oldAcl == nullptr) return 1;
    plat::AclSizeInformation info;
    if (!plat::GetAclInformation(oldAcl, info)) {
        Print(L"Error " + LastError() + L":GetAclInformation\n");
        return 0;
    }
    // Running the installation again must not grow the list.
    if (GrantsFullAccess(plat::DescribeAcl(oldAcl), plat::SidToString(pSID))) return 1;
    const std::uint32_t newSize = plat::GetLengthSid(pSID) + info.aclBytesInUse + 8;
    const plat::OwnedLocal newAcl(plat::LocalAlloc(plat::kLptr, newSize));
    const plat::AclPtr acl = newAcl.get();
    auto fail = [&](const std::wstring& message) {
        Print(L"Error " + LastError() + message);
        return 0;
    };
    if (acl == nullptr || !plat::InitializeAcl(acl, newSize, plat::kAclRevision)) return fail(L":InitializeAcl\n");
    for (std::uint32_t i = 0; i < info.aceCount; ++i) {
        void* ace = nullptr;
        if (!plat::GetAce(oldAcl, i, &ace)) return fail(L": GetAce\n");
        const auto* header = static_cast<const unsigned char*>(ace);
        const std::uint32_t aceSize = static_cast<std::uint32_t>(header[2] | (header[3] << 8));
        if (!plat::AddAce(acl, plat::kAclRevision, plat::kMaxDword, ace, aceSize)) return fail(L":AddAce\n");
    }
    if (!plat::AddAccessAllowedAce(acl, plat::kAclRevision, dwAcessMask, pSID)) return fail(L":AddAccessAllowedAce");
    if (!plat::SetSecurityDescriptorDacl(descriptor.get(), true, acl, false)) return fail(L":SetSecurityDescriptorDacl");
    if (const std::int32_t code = plat::RegSetKeySecurity(hKey, plat::kDaclSecurityInformation, descriptor.get()); code != 0) {
        plat::SetLastError(static_cast<std::uint32_t>(code));
        return fail(L":RegSetKeySecurity\n");
    }
    return 1;
}
