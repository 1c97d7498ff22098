#include "unit/registry_support.h"

#include <gtest/gtest.h>

#include "tokens/registration.h"

std::wstring ReadString(plat::HKey root, const std::wstring& path, const wchar_t* name) {
    plat::HKey key = nullptr;
    if (plat::RegOpenKeyEx(root, path.c_str(), 0, plat::kKeyRead, &key) != 0) return L"<absent>";
    std::uint32_t type = 0, bytes = 0;
    std::wstring text = L"<absent>";
    if (plat::RegQueryValueEx(key, name, &type, nullptr, &bytes) == 0 && type == plat::kRegSz) {
        std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
        plat::RegQueryValueEx(key, name, &type, buffer.data(), &bytes);
        text = buffer.data();
    }
    plat::RegCloseKey(key);
    return text;
}

bool KeyExists(plat::HKey root, const std::wstring& path) {
    plat::HKey key = nullptr;
    if (plat::RegOpenKeyEx(root, path.c_str(), 0, plat::kKeyRead, &key) != 0) return false;
    plat::RegCloseKey(key);
    return true;
}

std::vector<std::wstring> ValueNames(plat::HKey root, const std::wstring& path) {
    std::vector<std::wstring> names;
    plat::HKey key = nullptr;
    if (plat::RegOpenKeyEx(root, path.c_str(), 0, plat::kKeyRead, &key) != 0) return names;
    wchar_t name[1024];
    for (std::uint32_t i = 0;; ++i) {
        std::uint32_t chars = 1024;
        if (plat::RegEnumValue(key, i, name, &chars, nullptr, nullptr, nullptr) != 0) break;
        names.push_back(name);
    }
    plat::RegCloseKey(key);
    return names;
}

std::vector<plat::AceSummary> KeyAccessEntries(plat::HKey root, const std::wstring& path) {
    plat::HKey key = nullptr;
    if (plat::RegOpenKeyEx(root, path.c_str(), 0, plat::kKeyRead, &key) != 0) return {};
    std::uint32_t size = 0;
    plat::RegGetKeySecurity(key, plat::kDaclSecurityInformation, nullptr, &size);
    std::vector<unsigned char> buffer(size + 1);
    std::vector<plat::AceSummary> entries;
    if (plat::RegGetKeySecurity(key, plat::kDaclSecurityInformation, buffer.data(), &size) == 0) {
        bool present = false, defaulted = false;
        plat::AclPtr acl = nullptr;
        if (plat::GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted)) entries = plat::DescribeAcl(acl);
    }
    plat::RegCloseKey(key);
    return entries;
}

void RemoveTestToken(const std::wstring& name) {
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser})
        for (const wchar_t* root : engines) plat::RegDeleteTree(hive, (std::wstring(root) + L"\\Tokens\\" + name).c_str());
}

bool IsEveryoneFullAccess(const plat::AceSummary& ace) {
    return ace.type == plat::kAccessAllowedAceType && ace.flags == 0 && ace.sid == L"S-1-1-0" &&
           ((ace.mask & plat::kGenericAll) || (ace.mask & plat::kKeyAllAccess) == plat::kKeyAllAccess);
}

void DenyEveryone(plat::HKey root, const std::wstring& path, std::uint32_t denied) {
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegOpenKeyEx(root, path.c_str(), 0, plat::kWriteDac, &key), 0);
    plat::SidPtr everyone = nullptr;
    plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, 0, &everyone);
    const std::uint32_t size = 8 + 2 * (8 + plat::GetLengthSid(everyone));
    plat::AclPtr acl = plat::LocalAlloc(plat::kLptr, size);
    plat::InitializeAcl(acl, size, plat::kAclRevision);
    plat::AddAccessAllowedAce(acl, plat::kAclRevision, denied, everyone);
    static_cast<unsigned char*>(acl)[8] = plat::kAccessDeniedAceType;
    plat::AddAccessAllowedAce(acl, plat::kAclRevision, plat::kKeyAllAccess, everyone);
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    plat::InitializeSecurityDescriptor(descriptor, plat::kSecurityDescriptorRevision);
    plat::SetSecurityDescriptorDacl(descriptor, true, acl, false);
    ASSERT_EQ(plat::RegSetKeySecurity(key, plat::kDaclSecurityInformation, descriptor), 0);
    plat::LocalFree(acl);
    plat::FreeSid(everyone);
    plat::RegCloseKey(key);
}
