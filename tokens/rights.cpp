#include "tokens/rights.h"

#include <string>
#include <vector>

#include "platform/console.h"
#include "support/log.h"
#include "tokens/user_copies.h"

namespace {

void Print(const std::wstring& text) { plat::ConsoleWrite(plat::ConsoleStream::Output, text); }

std::wstring LastError() { return std::to_wstring(static_cast<std::int32_t>(plat::GetLastError())); }

// An entry that already gives the SID full access on this key itself, as an
// earlier run left it (the system may store GENERIC_ALL as KEY_ALL_ACCESS).
bool GrantsFullAccess(plat::AclPtr acl, plat::SidPtr sid) {
    const std::wstring wanted = plat::SidToString(sid);
    for (const plat::AceSummary& ace : plat::DescribeAcl(acl)) {
        if (ace.type == plat::kAccessAllowedAceType && ace.flags == 0 && ace.sid == wanted &&
            ((ace.mask & plat::kGenericAll) || (ace.mask & plat::kKeyAllAccess) == plat::kKeyAllAccess))
            return true;
    }
    return false;
}

}  // namespace

void DoSetHiveRights() {
    plat::SidPtr sid = plat::LocalAlloc(plat::kLptr, plat::GetSidLengthRequired(1));
    if (sid == nullptr || !plat::InitializeSid(sid, plat::kSecurityWorldSidAuthority, 1)) {
        WriteLogLine(L"ERROR", L"    - InitializeSid failed");
        if (sid != nullptr) plat::LocalFree(sid);
        return;
    }
    *plat::GetSidSubAuthority(sid, 0) = plat::kSecurityWorldRid;
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    RegSetHiveSecurity(g_hRegKey, sid, 1, descriptor);
    plat::LocalFree(sid);
}

std::int32_t RegSetHiveSecurity(plat::HKey hKey, plat::SidPtr psid, std::uint32_t si, plat::DescriptorPtr psd) {
    if (AddAccessRights(hKey, psid, plat::kGenericAll) == 0) return static_cast<std::int32_t>(plat::GetLastError());
    wchar_t name[261];
    for (std::uint32_t index = 0;;) {
        const std::int32_t code = plat::RegEnumKey(hKey, index, name, 261);
        if (code != 0) return code;
        ++index;
        plat::HKey subKey = nullptr;
        const std::int32_t opened = plat::RegOpenKeyEx(hKey, name, 0, plat::kKeyAllAccess, &subKey);
        if (opened != 0) {
            Print(L"ERROR opening '" + std::wstring(name) + L"', reason == " + std::to_wstring(opened) + L"\n");
            continue;
        }
        const std::int32_t result = RegSetHiveSecurity(subKey, psid, si, psd);
        plat::RegCloseKey(subKey);
        if (result != static_cast<std::int32_t>(plat::kErrorNoMoreItems)) return result;
    }
}

std::int32_t AddAccessRights(plat::HKey hKey, plat::SidPtr pSID, std::uint32_t dwAcessMask) {
    // A first read into a buffer that holds a token key's usual list; only a
    // longer one costs a second read (each is a round trip to the registry).
    constexpr std::uint32_t kUsualBytes = 512;
    std::vector<unsigned char> old(kUsualBytes);
    std::uint32_t size = kUsualBytes;
    const std::int32_t first = plat::RegGetKeySecurity(hKey, plat::kDaclSecurityInformation, old.data(), &size);
    if (first != 0) {
        if (first != static_cast<std::int32_t>(plat::kErrorInsufficientBuffer) || size == 0) return 0;
        try {
            old.resize(size);
        } catch (const std::bad_alloc&) {
            Print(L"Error: Could not allocate memory for the security descriptor.\n");
            return 0;
        }
        if (plat::RegGetKeySecurity(hKey, plat::kDaclSecurityInformation, old.data(), &size) != 0) {
            Print(L"Error " + LastError() + L": RegGetKeySecurity (obteniendo seguridad)\n");
            return 0;
        }
    }
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    if (!plat::InitializeSecurityDescriptor(descriptor, plat::kSecurityDescriptorRevision)) {
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
    if (GrantsFullAccess(oldAcl, pSID)) return 1;
    const std::uint32_t newSize = plat::GetLengthSid(pSID) + info.aclBytesInUse + 8;
    plat::AclPtr acl = plat::LocalAlloc(plat::kLptr, newSize);
    auto fail = [&](const std::wstring& message) {
        Print(L"Error " + LastError() + message);
        if (acl != nullptr) plat::LocalFree(acl);
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
    if (!plat::SetSecurityDescriptorDacl(descriptor, true, acl, false)) return fail(L":SetSecurityDescriptorDacl");
    if (plat::RegSetKeySecurity(hKey, plat::kDaclSecurityInformation, descriptor) != 0)
        return fail(L":RegSetKeySecurity\n");
    plat::LocalFree(acl);
    return 1;
}
