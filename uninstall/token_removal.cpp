#include "uninstall/token_removal.h"

#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/text.h"
#include "tokens/engine_tokens.h"
#include "tokens/registration.h"
#include "tokens/token_keys.h"
#include "voices/token_names.h"

void UnregisterTokenEverywhere(const std::wstring& tokenKeyName) {
    if (!IsValidTokenKeyName(tokenKeyName)) {
        WriteLogLine(L"ERROR", L"Refused to delete a token with an invalid name: '" + tokenKeyName + L"'");
        return;
    }
    const struct {
        plat::HKey hive;
        const wchar_t* label;
    } hives[] = {{plat::kHkeyLocalMachine, L"HKLM"}, {plat::kHkeyCurrentUser, L"HKCU"}};
    for (const auto& h : hives) {
        for (const wchar_t* root : engines) {
            const std::wstring path = std::wstring(root) + L"\\Tokens\\" + tokenKeyName;
            std::int32_t code = 0;
            const std::wstring otherEngine = DeleteTokenUnlessOthers(h.hive, tokenKeyName, path, h.label, code);
            if (!otherEngine.empty()) {
                WriteLogLine(L"WARNING", L"Token not deleted, it belongs to another engine (" + otherEngine + L"): " +
                                             path + L" (" + h.label + L")");
                continue;
            }
            if (code == 0)
                WriteLogLine(L"INFO", L"Token deleted: " + path + L" (" + h.label + L")");
            else if (code != static_cast<std::int32_t>(plat::kErrorFileNotFound)) {
                WriteLogLine(L"ERROR", L"Failed to delete token: " + path + L" (" + std::to_wstring(code) + L")");
                LogCause(L"key " + HiveName(h.hive) + L"\\" + path, plat::ErrorText(static_cast<std::uint32_t>(code)));
            }
        }
        const std::wstring voicePaths = L"Software\\Mirelka\\VoicePaths";
        const std::int32_t code = DeleteKeyTree(h.hive, voicePaths, HiveName(h.hive) + L"\\" + voicePaths);
        if (code != 0 && code != static_cast<std::int32_t>(plat::kErrorFileNotFound)) {
            WriteLogLine(L"ERROR", L"Failed to delete key: " + HiveName(h.hive) + L"\\" + voicePaths);
            LogCause(L"key " + HiveName(h.hive) + L"\\" + voicePaths, plat::ErrorText(static_cast<std::uint32_t>(code)));
        }
    }
}

