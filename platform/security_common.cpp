// Reading the Win32 binary layouts back into a readable form; the same on
// every platform, since the layouts are.
#include <cstring>

#include "platform/security.h"

namespace plat {

std::wstring SidToString(SidPtr sid) {
    if (sid == nullptr) return L"";
    const auto* p = static_cast<const std::uint8_t*>(sid);
    std::uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | p[i];
    std::wstring text = L"S-" + std::to_wstring(p[0]) + L"-" + std::to_wstring(authority);
    for (int i = 0; i < p[1]; ++i) {
        std::uint32_t sub = 0;
        std::memcpy(&sub, p + 8 + 4 * i, 4);
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

std::vector<AceSummary> DescribeAcl(AclPtr acl) {
    std::vector<AceSummary> entries;
    if (acl == nullptr) return entries;
    const auto* p = static_cast<const std::uint8_t*>(acl);
    std::uint16_t size = 0, count = 0;
    std::memcpy(&size, p + 2, 2);
    std::memcpy(&count, p + 4, 2);
    std::size_t offset = 8;
    for (std::uint16_t i = 0; i < count && offset + 8 <= size; ++i) {
        AceSummary ace;
        ace.type = p[offset];
        ace.flags = p[offset + 1];
        std::uint16_t aceSize = 0;
        std::memcpy(&aceSize, p + offset + 2, 2);
        std::memcpy(&ace.mask, p + offset + 4, 4);
        if (ace.type <= kAccessDeniedAceType && aceSize >= 16)
            ace.sid = SidToString(const_cast<std::uint8_t*>(p + offset + 8));
        entries.push_back(ace);
        if (aceSize < 4) break;
        offset += aceSize;
    }
    return entries;
}

}  // namespace plat
