#include "tokens/registration.h"

#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "tokens/token_primitives.h"

const wchar_t* const engines[2] = {L"SOFTWARE\\Microsoft\\Speech\\Voices", L"SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"};

const plat::Guid CLSID_QueltoEngine = {0x8D758097, 0x2AAE, 0x4277, {0x88, 0xCC, 0x3A, 0x6B, 0xDD, 0x34, 0x4F, 0x53}};

std::wstring HiveName(plat::HKey hRootKey) {
    return hRootKey == plat::kHkeyLocalMachine ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
}

bool IsValidTokenKeyName(const std::wstring& tokenKeyName) {
    return !tokenKeyName.empty() && tokenKeyName.find(L'\\') == std::wstring::npos;
}

bool HasEngineTokenPrefix(const std::wstring& tokenKeyName) {
    static const std::wstring prefix = L"TTS_Mirelka_";
    return tokenKeyName.compare(0, prefix.size(), prefix) == 0;
}

void Regnewvoice(plat::HKey hRootKey, const wchar_t* TokenKeyName, const wchar_t* LangIndependentName,
                 const wchar_t* Langid, const wchar_t* LangDependentName, const wchar_t* Gender, const wchar_t* Name,
                 const wchar_t* Language, const wchar_t* Age, const wchar_t* Vendor, const wchar_t* SimpleName) {
    if (TokenKeyName == nullptr || !IsValidTokenKeyName(TokenKeyName)) return;
    for (const wchar_t* root : engines) {
        const std::wstring categoryId = HiveName(hRootKey) + L"\\" + root;
        WriteLogLine(L"INFO", L" - Adding new voice in: " + categoryId);
        const std::uint16_t langid = convertToLangID(Langid);

        plat::SpObjectToken* token = nullptr;
        if (plat::Failed(SpCreateNewToken(categoryId.c_str(), TokenKeyName, &token))) continue;
        plat::SpDataKey* attributes = nullptr;
        if (plat::Failed(SpSetCommonTokenData(token, &CLSID_QueltoEngine, LangIndependentName, langid,
                                              LangDependentName, &attributes))) {
            token->Release();
            continue;
        }
        attributes->SetStringValue(L"Gender", Gender);
        attributes->SetStringValue(L"Name", Name);
        attributes->SetStringValue(L"Language", Language);
        attributes->SetStringValue(L"Age", Age);
        attributes->SetStringValue(L"Vendor", Vendor);
        attributes->SetStringValue(L"SimpleName", SimpleName);
        attributes->SetStringValue(L"VoicePath", GetEngineLibraryPath().c_str());
        attributes->Release();
        token->Release();
    }
}
