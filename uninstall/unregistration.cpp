#include "uninstall/unregistration.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/paths.h"
#include "tokens/registration.h"
#include "tokens/token_keys.h"
#include "uninstall/token_removal.h"
#include "voices/voice_folders.h"
#include "voices/voice_files.h"
#include "voices/token_names.h"

namespace {

// More tokens than any machine has; a collection past it is scanned this far.
constexpr std::size_t kMostTokensListed = 65536;

// The names in one token collection of the tokens that are the engine's: those
// that carry its prefix (exact case), and any other that names its class.
std::vector<std::wstring> CollectEngineTokens(plat::HKey hive, const wchar_t* root) {
    std::vector<std::wstring> names;
    plat::HKey opened = nullptr;
    const std::wstring path = std::wstring(root) + L"\\Tokens";
    if (plat::RegOpenKeyEx(hive, path.c_str(), 0, plat::kKeyRead | plat::kKeyWrite, &opened) != 0) return names;
    const plat::OwnedKey owned(opened);
    const plat::HKey tokens = owned.get();
    // Every name counted, as the registry lists it: a name may hold U+0000.
    std::vector<std::wstring> listed;
    ListSubkeys(tokens, listed, kMostTokensListed);
    for (const std::wstring& found : listed) {
        std::wstring clsid;
        if (!HasEngineTokenPrefix(found)) {
            plat::OwnedKey token;
            if (OpenKeyItself(tokens, found, plat::kKeyQueryValue, token) == 0) clsid = TokenClassId(token.get());
        }
        if (IsTheEnginesToken(found, clsid)) names.push_back(found);
    }
    return names;
}

}  // namespace

void UnregisterAllVoicesFromDisk() {
    const std::wstring voices = GetVoicesRootPath_Post();
    ForEachVoiceFolder(voices, [&](const std::wstring& folder) {
        const std::wstring name = ReadTokenKeyNameFromVoiceTxt(voices + L"\\" + folder + L"\\voice.txt");
        if (!name.empty()) UnregisterTokenEverywhere(name);
    });
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser}) {
        for (const wchar_t* root : engines) {
            // Collected first: nothing is deleted while the collection is enumerated.
            for (const std::wstring& name : CollectEngineTokens(hive, root)) UnregisterTokenEverywhere(name);
        }
    }
}
