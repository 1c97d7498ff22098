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
                                                      const std::wstring& tokenKeyName,
                                                      const ClearedPlaces& places) {
    WriteLogLine(L"INFO", L"Copying the voice registries:");
    const std::wstring destination = HiveName(hRootKeyDst);
    for (std::size_t engine = 0; engine < std::size(engines); ++engine) {
        const std::wstring path = std::wstring(engines[engine]) + L"\\Tokens\\" + tokenKeyName;
        WriteLogLine(L"INFO", L"  * Token Key: " + destination + L"\\" + path);
        if (!IsValidTokenKeyName(tokenKeyName)) continue;
        // Neither copied from a token that was not written afresh, nor into a place not proven clear.
        if (!places.Has(hRootKeySrc, engine) || !places.Has(hRootKeyDst, engine)) continue;
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
    if (code == static_cast<std::int32_t>(plat::kErrorAccessDenied)) {
        // A registry link in the way (or a key that shuts administrators out): opened as itself and deleted.
        plat::OwnedKey link;
        if (OpenKeyItself(parent, name, kDeleteTreeAccess, link) == 0 && IsRegistryLink(link.get()) &&
            DeleteRegistryLink(link.get(), display))
            code = CreateKeyItself(parent, name, kAccess, key);
    }
    if (code != 0) {
        key.reset();
        CopyFailed(L"Could not create the copy of the key", display, code);
    }
    return code;
}

// Copies the values of an open source key into an open destination key, each
// under its counted name.
void CopyValues(plat::HKey source, plat::HKey destination, const std::wstring& destinationName) {
    // The buffers are sized from the key, so that no value is too long to copy.
    std::uint32_t longestName = 0, longestData = 0;
    plat::RegQueryInfoKey(source, nullptr, nullptr, nullptr, &longestName, &longestData);
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
        const std::wstring valueName(name.data(), nameChars);  // counted: it may hold U+0000
        if (const std::int32_t set = plat::RegSetValueCounted(destination, valueName, type, data.data(), dataBytes);
            set != 0)
            CopyFailed(L"Could not copy the value '" + valueName + L"' to the key", destinationName, set);
    }
}

// The copy of a token's tree: the values, then the subkeys, each level made
// in the destination as the walk reaches it in the source. A registry link in
// the source is never copied from, and one in the destination's way is
// deleted before the copy is made there, so that nothing is read from or
// written to a key outside the tokens.
class Copy final : public KeyTreeVisitor {
public:
    Copy(std::uint32_t accessFlag, plat::OwnedKey top, const std::wstring& topName) : access_(accessFlag | plat::kKeyRead) {
        destinations_.push_back(std::move(top));
        names_.push_back(topName);
    }
    [[nodiscard]] std::uint32_t Access() const override { return access_; }
    bool Enter(const KeyAt& at) override {
        if (at.depth > 0) {
            const std::wstring name = names_.back() + L"\\" + at.name;
            plat::OwnedKey to;
            if (CopyDestination(destinations_.back().get(), at.name, name, to) != 0) return false;
            destinations_.push_back(std::move(to));
            names_.push_back(name);
        }
        CopyValues(at.key, destinations_.back().get(), names_.back());
        return true;
    }
    void Leave(const KeyAt& at) override {
        if (at.depth == 0) return;
        destinations_.pop_back();
        names_.pop_back();
    }
    void Link(const KeyAt& at) override {
        WriteLogLine(L"WARNING", L"Registry link found in a token, not copied, never followed: " + at.where);
    }
    void Skipped(const std::wstring& where, std::int32_t code, const std::wstring& why) override {
        WriteLogLine(L"ERROR", L"Could not open the key to copy: " + where);
        LogCause(L"key " + where, why + L" (" + plat::ErrorText(static_cast<std::uint32_t>(code)) + L")");
    }

private:
    std::uint32_t access_;
    std::vector<plat::OwnedKey> destinations_;
    std::vector<std::wstring> names_;
};

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
    Copy copy(accessFlag, std::move(destination), destinationName);
    if (const KeyTreeEnd end = WalkKeyTree(source.get(), sourceName, copy); end.code != 0)
        WriteLogLine(L"ERROR", L"Key tree not copied whole, " + end.why + L": " + sourceName);
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

void OpenAndSetRegKey(plat::HKey hRootKey, const std::wstring& tokenKeyName, const ClearedPlaces& places) {
    const std::wstring hive = HiveName(hRootKey);
    for (std::size_t engine = 0; engine < std::size(engines); ++engine) {
        if (!places.Has(hRootKey, engine)) continue;
        const std::wstring path = std::wstring(engines[engine]) + L"\\Tokens\\" + tokenKeyName;
        const std::wstring display = hive + L"\\" + path;
        const HeldInGlobal hold;
        // The token key is opened as itself: a link in its place is deleted,
        // never given anything.
        plat::OwnedKey token;
        const std::int32_t code =
            IsValidTokenKeyName(tokenKeyName) ? OpenKeyItself(hRootKey, path, plat::kKeyAllAccess, token) : -1;
        g_hRegKey = token.release();
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
