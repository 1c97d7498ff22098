#include <cwctype>

#include "platform/registry.h"

namespace plat {

namespace {

// Registry names compare without regard to case.
bool SameKeyName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
}

}  // namespace

bool IsRegistryLink(HKey key) {
    std::uint32_t type = kRegNone, bytes = 0;
    return RegQueryValueEx(key, kSymbolicLinkValueName, &type, nullptr, &bytes) == 0 && type == kRegLink;
}

std::int32_t CheckKeyName(HKey key, const std::wstring& expected) {
    std::wstring name;
    if (const std::int32_t code = RegQueryKeyName(key, name); code != 0) return code;
    return SameKeyName(name, expected) ? 0 : static_cast<std::int32_t>(kErrorBadKey);
}

std::int32_t CheckChildIdentity(HKey parent, std::wstring_view name, HKey child) {
    std::wstring parentName;
    if (const std::int32_t code = RegQueryKeyName(parent, parentName); code != 0) return code;
    return CheckKeyName(child, parentName + L"\\" + std::wstring(name));
}

std::int32_t RegCreateChildItself(HKey parent, std::wstring_view name, std::uint32_t samDesired, HKey* result,
                                  bool* created) {
    // Whatever is asked, the checks below need to read the key's values.
    samDesired |= kKeyQueryValue;
    HKey opened = nullptr;
    bool isNew = false;
    std::int32_t code = RegOpenChild(parent, name, 0, samDesired, &opened);
    if (code == static_cast<std::int32_t>(kErrorFileNotFound))
        code = RegCreateChild(parent, name, samDesired, &opened, &isNew);
    if (code != 0) return code;
    OwnedKey key(opened);
    // A link put there between the two calls may have been followed by the
    // creation; the key's own name tells, whatever led to it.
    if (IsRegistryLink(key.get())) return static_cast<std::int32_t>(kErrorAccessDenied);
    if (const std::int32_t identity = CheckChildIdentity(parent, name, key.get()); identity != 0) return identity;
    *result = key.release();
    if (created) *created = isNew;
    return 0;
}

}  // namespace plat
