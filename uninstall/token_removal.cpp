#include "uninstall/token_removal.h"

#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/text.h"
#include "tokens/registration.h"
#include "tokens/token_keys.h"
#include "voices/token_names.h"

namespace {

// Deletes the token key at `path` when it is the engine's; the CLSID of
// another engine's token when it is not ("no CLSID" when it has none).
// `code`: 0, 2 when there is no such key, or why it was not deleted.
std::wstring DeleteTokenUnlessOthers(plat::HKey hive, const std::wstring& name, const std::wstring& path,
                                     const std::wstring& label, std::int32_t& code) {
    const std::wstring where = HiveName(hive) + L"\\" + path;
    plat::OwnedKey key;
    code = OpenKeyForDeletion(hive, path, where, key);
    if (code == static_cast<std::int32_t>(plat::kErrorFileNotFound)) return L"";
    std::wstring clsid = L"?";
    if (code == 0) clsid = TokenClassId(key.get());
    else if (plat::OwnedKey readable; OpenKeyItself(hive, path, plat::kKeyQueryValue, readable) == 0) {
        // Not open for deletion: another engine's token is still told apart,
        // and the open's code says why ours was not deleted.
        clsid = TokenClassId(readable.get());
    }
    if (!IsTheEnginesToken(name, clsid)) return clsid.empty() ? L"no CLSID" : clsid;
    if (code != 0) return L"";
    if (!clsid.empty() && !IsEngineClassId(clsid))
        WriteLogLine(L"WARNING", L"Token carries the engine's prefix but names another class (" + clsid +
                                     L"), deleted as the engine's: " + path + L" (" + label + L")");
    code = DeleteOpenKeyTree(key.get(), where);
    return L"";
}

}  // namespace

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

