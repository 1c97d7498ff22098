// Opening, creating and filling SAPI object tokens.
#pragma once
#include <cstdint>
#include <string>

#include "platform/speech.h"
#include "platform/types.h"

// A wide string in COM task memory, or nothing.
class CSpDynamicString {
public:
    CSpDynamicString() = default;
    CSpDynamicString(const CSpDynamicString&) = delete;
    CSpDynamicString& operator=(const CSpDynamicString&) = delete;
    ~CSpDynamicString() { plat::CoTaskMemFree(m_psz); }

    // Copies `p` into task memory (nothing held for null); returns what is held.
    wchar_t* operator=(const wchar_t* p);
    // Appends both texts (a null one counts as empty).
    plat::HResult Append2HR(const wchar_t* pszSrc1, const wchar_t* pszSrc2);
    // Takes over a text already in task memory.
    void Attach(wchar_t* psz);

    operator const wchar_t*() const { return m_psz; }
    wchar_t* m_psz = nullptr;
};

plat::HResult SpGetCategoryFromId(const wchar_t* pszCategoryId, plat::SpObjectTokenCategory** ppCategory,
                                  int fCreateIfNotExist);
plat::HResult SpGetTokenFromId(const wchar_t* pszTokenId, plat::SpObjectToken** ppToken, int fCreateIfNotExist);
// Opens or creates category\Tokens\name; a null name is replaced by a new GUID.
plat::HResult SpCreateNewToken(const wchar_t* pszCategoryId, const wchar_t* pszTokenKeyName,
                               plat::SpObjectToken** ppToken);
// The name of a token's language-dependent value: the LANGID in lower-case
// hexadecimal without leading zeros ("c0a" for 0x0C0A).
std::wstring LanguageValueName(std::uint16_t langid);

// Writes CLSID, the default value and the language value, and opens Attributes.
plat::HResult SpSetCommonTokenData(plat::SpObjectToken* pToken, const plat::Guid* pclsid,
                                   const wchar_t* pszLangIndependentName, std::uint16_t langid,
                                   const wchar_t* pszLangDependentName, plat::SpDataKey** ppDataKeyAttribs);
