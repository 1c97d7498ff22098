#include "voices/token_names.h"

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

const plat::Guid CLSID_QueltoEngine = {0x8D758097, 0x2AAE, 0x4277, {0x88, 0xCC, 0x3A, 0x6B, 0xDD, 0x34, 0x4F, 0x53}};

bool IsValidTokenKeyName(const std::wstring& tokenKeyName) {
    return !tokenKeyName.empty() && tokenKeyName.find(L'\\') == std::wstring::npos;
}

bool HasEngineTokenPrefix(const std::wstring& tokenKeyName) {
    static const std::wstring prefix = L"TTS_Mirelka_";
    return tokenKeyName.compare(0, prefix.size(), prefix) == 0;
}

bool IsEngineClassId(const std::wstring& clsid) {
    wchar_t* own = nullptr;
    if (clsid.empty() || plat::Failed(plat::StringFromCLSID(CLSID_QueltoEngine, &own))) return false;
    const bool ours = EqualsIgnoringCase(clsid, own);
    plat::CoTaskMemFree(own);
    return ours;
}

bool IsTheEnginesToken(const std::wstring& tokenKeyName, const std::wstring& clsid) {
    return HasEngineTokenPrefix(tokenKeyName) || IsEngineClassId(clsid);
}
