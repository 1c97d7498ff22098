#include "driver/voice_names.h"

#include "support/text.h"

std::wstring TokenNameClaims::Claim(const std::wstring& name, const std::wstring& folder) {
    for (const auto& [held, holder] : holders_)
        if (EqualsIgnoringCase(held, name)) return holder;
    holders_.emplace_back(name, folder);
    return L"";
}

std::wstring NameConflictText(const std::wstring& name, const std::wstring& first, const std::wstring& second) {
    return L"TokenKeyName '" + name + L"' is given by two voice folders, " + first + L" and " + second + L"; " +
           second + L" is not registered";
}
