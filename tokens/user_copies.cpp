#include "tokens/user_copies.h"

#include <utility>

#include <vector>

#include "platform/errors.h"
#include "platform/security.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/paths.h"
#include "tokens/registration.h"
#include "tokens/rights.h"
#include "tokens/token_keys.h"
#include "voices/token_names.h"

plat::HKey g_hRegKey = nullptr;

std::int32_t CopyVoiceTokenToCurrentUserForAllEngines(plat::HKey hRootKeySrc, plat::HKey hRootKeyDst,
                                                      const std::wstring& tokenKeyName) {
    WriteLogLine(L"INFO", L"Copying the voice registries:");
    const std::wstring destination = HiveName(hRootKeyDst);
    for (const wchar_t* root : engines) {
        const std::wstring path = std::wstring(root) + L"\\Tokens\\" + tokenKeyName;
        WriteLogLine(L"INFO", L"  * Token Key: " + destination + L"\\" + path);
        if (!IsValidTokenKeyName(tokenKeyName)) continue;
        const std::uint32_t access = app64 ? plat::kKeyRead : (plat::kKeyRead | plat::kKeyWow64_64Key);
        CopyRegistryKeyRecursively(hRootKeySrc, path, hRootKeyDst, path, access);
    }
    return 1;
}

namespace {

// Each failure is logged where it happens, with the key and the cause.
void CopyFailed(const std::wstring& what, const std::wstring& key, std::int32_t code) {
    WriteLogLine(L"ERROR", what + L": " + key);
    LogCause(L"key " + key, plat::ErrorText(static_cast<std::uint32_t>(code)));
}

// Creates (or opens as itself) the copy's key `name` below `parent`; a
// registry link in its way is deleted first. 0, or the code, logged with
// `display` as the key's name.
std::int32_t CopyDestination(plat::HKey parent, const std::wstring& name, const std::wstring& display,
                             plat::OwnedKey& key) {
    constexpr std::uint32_t kAccess = plat::kKeyWrite | plat::kKeyQueryValue | plat::kDelete;
    std::int32_t code = CreateKeyItself(parent, name, kAccess, key);
    if (code == 0 && IsRegistryLink(key.get())) {
        DeleteRegistryLink(key.get(), display);
        key.reset();
        code = CreateKeyItself(parent, name, kAccess, key);
        if (code == 0 && IsRegistryLink(key.get())) code = static_cast<std::int32_t>(plat::kErrorAccessDenied);
    }
    if (code != 0) {
        key.reset();
        CopyFailed(L"Could not create the copy of the key", display, code);
    }
    return code;
}

// Copies the values, then the subkeys, of an open source key into an open
// destination key. Each level is opened from its parent's handle as itself,
// on both sides: a registry link in the source is never copied from, and one
// in the destination's way is deleted before the copy is made there, so that
// nothing is read from or written to a key outside the tokens.
void CopyOpenKey(plat::HKey source, const std::wstring& sourceName, plat::HKey destination,
                 const std::wstring& destinationName, std::uint32_t accessFlag, int depth) {
    // The buffers are sized from the key, so that no value is too long to copy.
    std::uint32_t longestSubKey = 0, longestName = 0, longestData = 0;
    plat::RegQueryInfoKey(source, nullptr, &longestSubKey, nullptr, &longestName, &longestData);
    std::vector<wchar_t> name(longestName + 1);
    std::vector<unsigned char> data(longestData + 1);
    for (std::uint32_t index = 0;; ++index) {
        auto nameChars = static_cast<std::uint32_t>(name.size());
        auto dataBytes = static_cast<std::uint32_t>(data.size());
        std::uint32_t type = 0;
        const std::int32_t code =
            plat::RegEnumValue(source, index, name.data(), &nameChars, &type, data.data(), &dataBytes);
        if (code == static_cast<std::int32_t>(plat::kErrorNoMoreItems)) break;
        if (code == static_cast<std::int32_t>(plat::kErrorMoreData)) {
            // Grown since the query: make room and read this index again.
            name.resize(name.size() * 2 + nameChars + 1);
            data.resize(data.size() * 2 + dataBytes);
            --index;
            continue;
        }
        if (code != 0) continue;
        if (const std::int32_t set = plat::RegSetValueEx(destination, name.data(), type, data.data(), dataBytes); set != 0)
            CopyFailed(L"Could not copy the value '" + std::wstring(name.data()) + L"' to the key", destinationName, set);
    }
    std::vector<wchar_t> subKey(longestSubKey + 1);
    for (std::uint32_t index = 0;; ++index) {
        auto chars = static_cast<std::uint32_t>(subKey.size());
        const std::int32_t code = plat::RegEnumKeyEx(source, index, subKey.data(), &chars);
        if (code == static_cast<std::int32_t>(plat::kErrorNoMoreItems)) break;
        if (code == static_cast<std::int32_t>(plat::kErrorMoreData)) {
            subKey.resize(subKey.size() * 2 + 1);
            --index;
            continue;
        }
        if (code != 0) continue;
        const std::wstring child(subKey.data(), chars);
        const std::wstring childSource = sourceName + L"\\" + child, childDestination = destinationName + L"\\" + child;
        if (depth + 1 > kDeepestKeyTree) {
            WriteLogLine(L"ERROR", L"Key deeper than " + std::to_wstring(kDeepestKeyTree) + L" levels, not copied: " +
                                       childSource);
            return;
        }
        plat::OwnedKey from, to;
        if (const std::int32_t opened = OpenKeyItself(source, child, accessFlag | plat::kKeyRead, from); opened != 0) {
            CopyFailed(L"Could not open the key to copy", childSource, opened);
            continue;
        }
        if (IsRegistryLink(from.get())) {
            WriteLogLine(L"WARNING", L"Registry link found in a token, not copied, never followed: " + childSource);
            continue;
        }
        if (CopyDestination(destination, child, childDestination, to) != 0) continue;
        CopyOpenKey(from.get(), childSource, to.get(), childDestination, accessFlag, depth + 1);
    }
}

}  // namespace

std::int32_t CopyRegistryKeyRecursively(plat::HKey hSrcRoot, const std::wstring& srcPath, plat::HKey hDstRoot,
                                        const std::wstring& dstPath, std::uint32_t accessFlag) {
    const std::wstring sourceName = HiveName(hSrcRoot) + L"\\" + srcPath;
    const std::wstring destinationName = HiveName(hDstRoot) + L"\\" + dstPath;
    plat::OwnedKey source, destination;
    if (const std::int32_t code = OpenKeyItself(hSrcRoot, srcPath, accessFlag | plat::kKeyRead, source); code != 0) {
        CopyFailed(L"Could not open the key to copy", sourceName, code);
        return 0;
    }
    if (IsRegistryLink(source.get())) {
        WriteLogLine(L"WARNING", L"Registry link found in a token's place, not copied, never followed: " + sourceName);
        return 0;
    }
    if (CopyDestination(hDstRoot, dstPath, destinationName, destination) != 0) return 0;
    CopyOpenKey(source.get(), sourceName, destination.get(), destinationName, accessFlag, 0);
    return 1;
}

namespace {
// Owns the key the global holds for one token: closed, and the global emptied,
// when the guard goes, on every path.
struct HeldInGlobal {
    HeldInGlobal() = default;
    HeldInGlobal(const HeldInGlobal&) = delete;
    HeldInGlobal& operator=(const HeldInGlobal&) = delete;
    ~HeldInGlobal() { const plat::OwnedKey held(std::exchange(g_hRegKey, nullptr)); }
};
}  // namespace

void OpenAndSetRegKey(plat::HKey hRootKey, const std::wstring& tokenKeyName) {
    const std::wstring hive = HiveName(hRootKey);
    for (const wchar_t* root : engines) {
        const std::wstring path = std::wstring(root) + L"\\Tokens\\" + tokenKeyName;
        const std::wstring display = hive + L"\\" + path;
        const HeldInGlobal hold;
        // The token key is opened as itself: a link in its place is deleted,
        // never given anything.
        const std::int32_t code =
            IsValidTokenKeyName(tokenKeyName)
                ? plat::RegOpenKeyEx(hRootKey, path.c_str(), plat::kRegOptionOpenLink, plat::kKeyAllAccess, &g_hRegKey)
                : -1;
        if (code == 0 && IsRegistryLink(g_hRegKey)) {
            DeleteRegistryLink(g_hRegKey, display);
        } else if (code == 0) {
            WriteLogLine(L"INFO", L"  * Key found: " + display);
            DoSetHiveRights(display);
        } else {
            WriteLogLine(L"ERROR", L"Error opening key: " + display);
            LogCause(L"key " + display, code < 0 ? L"the token key name is empty or holds a backslash"
                                                 : plat::ErrorText(static_cast<std::uint32_t>(code)));
        }
    }
}
