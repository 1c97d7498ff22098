#include "tokens/registration.h"

#include <vector>

#include "platform/errors.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "tokens/token_keys.h"
#include "tokens/token_primitives.h"
#include "voices/token_names.h"

const wchar_t* const engines[2] = {L"SOFTWARE\\Microsoft\\Speech\\Voices", L"SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"};

std::wstring HiveName(plat::HKey hRootKey) {
    return hRootKey == plat::kHkeyLocalMachine ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
}

std::wstring TokenClassId(plat::HKey key) {
    // One read into a buffer that holds any class id this engine could have
    // written (a longer value is not one); a value that is not text is not either.
    wchar_t text[512 + 1] = {};
    std::uint32_t type = 0, bytes = 512 * sizeof(wchar_t);
    const std::int32_t found = plat::RegQueryValueEx(key, L"CLSID", &type, text, &bytes);
    if (found == 0 && (type == plat::kRegSz || type == plat::kRegExpandSz)) return text;
    if (found == static_cast<std::int32_t>(plat::kErrorFileNotFound)) return L"";
    return L"?";  // there, but not a class id this engine could have written
}

TokenOwner OwnerOfToken(plat::HKey hive, const std::wstring& tokenKeyName, const wchar_t* root, std::wstring& clsid) {
    clsid.clear();
    plat::OwnedKey key;
    const std::int32_t code = OpenKeyItself(hive, std::wstring(root) + L"\\Tokens\\" + tokenKeyName,
                                            plat::kKeyQueryValue, key);
    if (code == static_cast<std::int32_t>(plat::kErrorFileNotFound)) return TokenOwner::Absent;
    if (code == 0) clsid = TokenClassId(key.get());
    else clsid = L"?";  // not readable: only the name can make it the engine's
    return IsTheEnginesToken(tokenKeyName, clsid) ? TokenOwner::Engine : TokenOwner::Other;
}

void Regnewvoice(plat::HKey hRootKey, const wchar_t* TokenKeyName, const wchar_t* LangIndependentName,
                 const wchar_t* Langid, const wchar_t* LangDependentName, const wchar_t* Gender, const wchar_t* Name,
                 const wchar_t* Language, const wchar_t* Age, const wchar_t* Vendor, const wchar_t* SimpleName,
                 const ClearedPlaces& places) {
    if (TokenKeyName == nullptr || !IsValidTokenKeyName(TokenKeyName)) return;
    for (std::size_t engine = 0; engine < std::size(engines); ++engine) {
        if (!places.Has(hRootKey, engine)) continue;
        const wchar_t* const root = engines[engine];
        const std::wstring categoryId = HiveName(hRootKey) + L"\\" + root;
        WriteLogLine(L"INFO", L" - Adding new voice in: " + categoryId);
        const std::uint16_t langid = convertToLangID(Langid);

        const std::wstring tokenId = categoryId + L"\\Tokens\\" + TokenKeyName;
        // Each failure is logged where it happens, with the token and the cause.
        const auto failed = [&](const std::wstring& what, plat::HResult hr) {
            WriteLogLine(L"ERROR", what + L": " + tokenId);
            LogCause(L"key " + tokenId, plat::HResultText(hr));
        };

        plat::ComPtr<plat::SpObjectToken> token;
        if (const plat::HResult hr = SpCreateNewToken(categoryId.c_str(), TokenKeyName, token.put()); plat::Failed(hr)) {
            failed(L"Could not create the voice token", hr);
            continue;
        }
        plat::ComPtr<plat::SpDataKey> attributes;
        if (const plat::HResult hr = SpSetCommonTokenData(token.get(), &CLSID_QueltoEngine, LangIndependentName,
                                                          langid, LangDependentName, attributes.put());
            plat::Failed(hr)) {
            failed(L"Could not write the voice token's values", hr);
            continue;
        }
        const std::wstring voicePath = GetEngineLibraryPath();
        const struct {
            const wchar_t* name;
            const wchar_t* value;
        } values[] = {{L"Gender", Gender},     {L"Name", Name},     {L"Language", Language},
                      {L"Age", Age},           {L"Vendor", Vendor}, {L"SimpleName", SimpleName},
                      {L"VoicePath", voicePath.c_str()}};
        for (const auto& v : values) {
            if (const plat::HResult hr = attributes->SetStringValue(v.name, v.value); plat::Failed(hr))
                failed(L"Could not write the attribute " + std::wstring(v.name) + L" of the voice token", hr);
        }
    }
}
