#include "uninstall/unregistration.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/paths.h"
#include "tokens/engine_tokens.h"
#include "tokens/registration.h"
#include "tokens/token_keys.h"
#include "uninstall/token_removal.h"
#include "voices/voice_folders.h"
#include "voices/voice_files.h"
#include "voices/token_names.h"

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
