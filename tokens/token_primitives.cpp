#include "tokens/token_primitives.h"

#include <cwchar>

wchar_t* CSpDynamicString::operator=(const wchar_t* p) {
    if (p == m_psz) return m_psz;
    plat::CoTaskMemFree(m_psz);
    m_psz = nullptr;
    if (p != nullptr) {
        const std::uint64_t bytes = (static_cast<std::uint64_t>(std::wcslen(p)) + 1) * sizeof(wchar_t);
        if (bytes <= 0xFFFFFFFFull) {
            m_psz = static_cast<wchar_t*>(plat::CoTaskMemAlloc(static_cast<std::size_t>(bytes)));
            if (m_psz == nullptr) plat::SetLastError(plat::kErrorOutOfMemory);
            else std::wmemcpy(m_psz, p, static_cast<std::size_t>(bytes / sizeof(wchar_t)));
        }
    }
    return m_psz;
}

void CSpDynamicString::Attach(wchar_t* psz) {
    plat::CoTaskMemFree(m_psz);
    m_psz = psz;
}

plat::HResult CSpDynamicString::Append2HR(const wchar_t* pszSrc1, const wchar_t* pszSrc2) {
    const std::size_t length1 = pszSrc1 ? std::wcslen(pszSrc1) : 0;
    const std::size_t length2 = pszSrc2 ? std::wcslen(pszSrc2) : 0;
    if (length1 == 0 && length2 == 0) return plat::kSOk;
    const std::size_t held = m_psz ? std::wcslen(m_psz) : 0;
    const std::uint64_t bytes = (static_cast<std::uint64_t>(held) + length1 + length2 + 1) * sizeof(wchar_t);
    if (bytes > 0xFFFFFFFFull) return plat::kEOutOfMemory;
    auto* block = static_cast<wchar_t*>(plat::CoTaskMemAlloc(static_cast<std::size_t>(bytes)));
    if (block == nullptr) return plat::kEOutOfMemory;
    wchar_t* end = block;
    *end = 0;
    if (m_psz != nullptr) {
        std::wmemcpy(block, m_psz, held + 1);
        end += held;
        plat::CoTaskMemFree(m_psz);
    }
    if (length1) end = std::wmemcpy(end, pszSrc1, length1 + 1) + length1;
    if (length2) std::wmemcpy(end, pszSrc2, length2 + 1);
    m_psz = block;
    return plat::kSOk;
}

plat::HResult SpGetCategoryFromId(const wchar_t* pszCategoryId, plat::SpObjectTokenCategory** ppCategory,
                                  int fCreateIfNotExist) {
    void* object = nullptr;
    plat::HResult hr = plat::CoCreateInstance(plat::CLSID_SpObjectTokenCategory, plat::kClsctxAll,
                                              plat::IID_ISpObjectTokenCategory, &object);
    if (plat::Failed(hr)) return hr;
    plat::ComPtr<plat::SpObjectTokenCategory> category(static_cast<plat::SpObjectTokenCategory*>(object));
    hr = category->SetId(pszCategoryId, fCreateIfNotExist != 0);
    if (plat::Succeeded(hr)) *ppCategory = category.release();
    return hr;
}

plat::HResult SpGetTokenFromId(const wchar_t* pszTokenId, plat::SpObjectToken** ppToken, int fCreateIfNotExist) {
    void* object = nullptr;
    plat::HResult hr =
        plat::CoCreateInstance(plat::CLSID_SpObjectToken, plat::kClsctxAll, plat::IID_ISpObjectToken, &object);
    if (plat::Failed(hr)) return hr;
    plat::ComPtr<plat::SpObjectToken> token(static_cast<plat::SpObjectToken*>(object));
    hr = token->SetId(nullptr, pszTokenId, fCreateIfNotExist != 0);
    if (plat::Succeeded(hr)) *ppToken = token.release();
    return hr;
}

plat::HResult SpCreateNewToken(const wchar_t* pszCategoryId, const wchar_t* pszTokenKeyName,
                               plat::SpObjectToken** ppToken) {
    // The category object only makes sure that the category key exists.
    plat::ComPtr<plat::SpObjectTokenCategory> category;
    plat::HResult hr = SpGetCategoryFromId(pszCategoryId, category.put(), 1);
    CSpDynamicString guidText;
    if (plat::Succeeded(hr) && pszTokenKeyName == nullptr) {
        plat::Guid guid;
        hr = plat::CoCreateGuid(&guid);
        wchar_t* text = nullptr;
        if (plat::Succeeded(hr)) hr = plat::StringFromCLSID(guid, &text);
        if (plat::Succeeded(hr)) {
            guidText.Attach(text);
            pszTokenKeyName = guidText.m_psz;
        }
    }
    if (plat::Succeeded(hr)) {
        CSpDynamicString tokenId;
        tokenId = pszCategoryId;
        if (tokenId.m_psz == nullptr || plat::Failed(tokenId.Append2HR(L"\\Tokens\\", pszTokenKeyName))) {
            hr = plat::kEOutOfMemory;
        } else {
            hr = SpGetTokenFromId(tokenId, ppToken, 1);
        }
    }
    return hr;
}

std::wstring LanguageValueName(std::uint16_t langid) {
    wchar_t name[10];
    std::swprintf(name, 10, L"%x", static_cast<unsigned>(langid));
    return name;
}

plat::HResult SpSetCommonTokenData(plat::SpObjectToken* pToken, const plat::Guid* pclsid,
                                   const wchar_t* pszLangIndependentName, std::uint16_t langid,
                                   const wchar_t* pszLangDependentName, plat::SpDataKey** ppDataKeyAttribs) {
    plat::HResult hr = plat::kSOk;
    if (pclsid != nullptr) {
        wchar_t* text = nullptr;
        hr = plat::StringFromCLSID(*pclsid, &text);
        if (plat::Succeeded(hr)) {
            hr = pToken->SetStringValue(L"CLSID", text);
            plat::CoTaskMemFree(text);
        }
    }
    if (plat::Succeeded(hr) && pszLangIndependentName != nullptr)
        hr = pToken->SetStringValue(nullptr, pszLangIndependentName);
    if (plat::Succeeded(hr) && pszLangDependentName != nullptr) {
        hr = pToken->SetStringValue(LanguageValueName(langid).c_str(), pszLangDependentName);
    }
    if (plat::Succeeded(hr) && ppDataKeyAttribs != nullptr) hr = pToken->CreateKey(L"Attributes", ppDataKeyAttribs);
    return hr;
}
