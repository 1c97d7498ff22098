#include "tokens/engine_tokens.h"

#include "platform/errors.h"
#include "support/log.h"
#include "tokens/registration.h"
#include "tokens/token_keys.h"
#include "voices/token_names.h"

namespace {

// More tokens than any machine has; a collection past it is scanned this far.
constexpr std::size_t kMostTokensListed = 65536;

}  // namespace

std::vector<std::wstring> CollectEngineTokens(plat::HKey hive, const wchar_t* root) {
    std::vector<std::wstring> names;
    plat::HKey opened = nullptr;
    const std::wstring path = std::wstring(root) + L"\\Tokens";
    if (plat::RegOpenKeyEx(hive, path.c_str(), 0, plat::kKeyRead | plat::kKeyWrite, &opened) != 0) return names;
    const plat::OwnedKey owned(opened);
    const plat::HKey tokens = owned.get();
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
