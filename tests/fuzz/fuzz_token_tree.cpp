// Token trees as a hostile local user may shape them, on the stand-in: names
// holding U+0000 and control characters, registry links to anywhere (the
// tree itself, its parents, a decoy key of the machine, the user's hive),
// loops, keys that deny everyone everything, values of counted names. The
// grant, the copy, the check and the deletion each run over the tree; nothing
// outside the token may change, and the deletion leaves no token behind.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/security.h"
#include "platform/testing.h"
#include "tokens/registration.h"
#include "tokens/token_keys.h"
#include "tokens/user_copies.h"
#include "verify/checks.h"

namespace {

const std::wstring kName = L"TTS_Mirelka_fuzz";
const std::wstring kTokens = std::wstring(engines[0]) + L"\\Tokens";
const std::wstring kToken = kTokens + L"\\" + kName;
const std::wstring kDecoy = L"SOFTWARE\\FuzzDecoy";
const wchar_t* const kTargets[] = {
    L"\\Registry\\Machine\\SOFTWARE\\FuzzDecoy",
    L"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Mirelka_fuzz",
    L"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens",
    L"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_Other_vendor",
    L"\\Registry\\User\\S-1-5-21-1000-1000-1000-1001\\SOFTWARE\\FuzzDecoy",
    L"\\Registry\\Machine",
};
const wchar_t kAlphabet[] = {L'\0', L'x', L'\x1b', L'A', L'a', L'\r', L'\x7f', L']'};

// Everything below a key, values, lists and all, by counted names and never
// through a link: what must not change.
void Snapshot(plat::HKey key, std::wstring& out, int depth) {
    std::uint32_t size = 4096;
    std::vector<unsigned char> descriptor(size);
    if (plat::RegGetKeySecurity(key, plat::kDaclSecurityInformation, descriptor.data(), &size) == 0)
        out.append(descriptor.begin(), descriptor.begin() + size);
    wchar_t name[256];
    std::vector<unsigned char> data(65536);
    for (std::uint32_t i = 0;; ++i) {
        std::uint32_t chars = 256, bytes = static_cast<std::uint32_t>(data.size()), type = 0;
        if (plat::RegEnumValue(key, i, name, &chars, &type, data.data(), &bytes) != 0) break;
        out += L"|v" + std::wstring(name, chars) + L"=" + std::to_wstring(type) + L":";
        out.append(data.begin(), data.begin() + bytes);
    }
    for (std::uint32_t i = 0; depth < 64; ++i) {
        std::uint32_t chars = 256;
        if (plat::RegEnumKeyEx(key, i, name, &chars) != 0) break;
        const std::wstring child(name, chars);
        out += L"|k" + child + L"{";
        plat::HKey sub = nullptr;
        if (plat::RegOpenChild(key, child, plat::kRegOptionBackupRestore, plat::kKeyRead, &sub) == 0) {
            Snapshot(sub, out, depth + 1);
            plat::RegCloseKey(sub);
        }
        out += L"}";
    }
}

std::wstring Outside() {
    std::wstring out;
    const plat::BackupRestorePrivileges privileges;
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser}) {
        for (const std::wstring& path : {kDecoy, kTokens + L"\\TTS_Other_vendor"}) {
            plat::OwnedKey key;
            if (OpenKeyItself(hive, path, plat::kKeyRead, key, plat::kRegOptionBackupRestore) == 0)
                Snapshot(key.get(), out, 0);
            out += L"#";
        }
    }
    return out;
}

void Make(plat::HKey hive, const std::wstring& path, const wchar_t* value) {
    plat::HKey key = nullptr;
    if (plat::RegCreateKeyEx(hive, path.c_str(), plat::kKeyAllAccess, &key) != 0) std::abort();
    plat::RegSetValueEx(key, L"Keep", plat::kRegSz, value, static_cast<std::uint32_t>((std::wcslen(value) + 1) * 2));
    plat::RegCloseKey(key);
}

void DenyEveryone(plat::HKey key) {
    plat::SidPtr everyone = nullptr;
    plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, 0, &everyone);
    const plat::OwnedSid owned(everyone);
    const std::uint32_t size = 8 + 8 + plat::GetLengthSid(everyone);
    const plat::OwnedLocal acl(plat::LocalAlloc(plat::kLptr, size));
    plat::InitializeAcl(acl.get(), size, plat::kAclRevision);
    plat::AddAccessAllowedAce(acl.get(), plat::kAclRevision, plat::kKeyAllAccess, everyone);
    static_cast<unsigned char*>(acl.get())[8] = plat::kAccessDeniedAceType;
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    plat::InitializeSecurityDescriptor(descriptor, plat::kSecurityDescriptorRevision);
    plat::SetSecurityDescriptorDacl(descriptor, true, acl.get(), false);
    plat::RegSetKeySecurity(key, plat::kDaclSecurityInformation, descriptor);
}

// Builds one hive's tree from the input: each step picks a key made so far
// and adds a child, a link, a deny entry or a value there.
void Build(plat::HKey hive, const std::uint8_t*& data, const std::uint8_t* end) {
    std::vector<plat::OwnedKey> keys;
    plat::OwnedKey top;
    if (CreateKeyItself(hive, kToken, plat::kKeyAllAccess, top) != 0) std::abort();
    keys.push_back(std::move(top));
    while (data + 2 <= end && keys.size() < 200) {
        const std::uint8_t op = *data++, at = *data++;
        plat::HKey parent = keys[at % keys.size()].get();
        std::wstring name;
        for (int n = op >> 5; n >= 0 && data < end; --n) name += kAlphabet[*data++ % std::size(kAlphabet)];
        switch (op & 3) {
            case 0: {
                plat::HKey child = nullptr;
                if (plat::RegCreateChild(parent, name, plat::kKeyAllAccess, &child, nullptr) == 0) keys.emplace_back(child);
                break;
            }
            case 1: {
                plat::HKey link = nullptr;
                if (plat::RegCreateChild(parent, name, plat::kKeyAllAccess, &link, nullptr) != 0) break;
                const std::wstring target = kTargets[((op >> 2) & 7) % std::size(kTargets)];
                plat::RegSetValueEx(link, plat::kSymbolicLinkValueName, plat::kRegLink, target.c_str(),
                                    static_cast<std::uint32_t>(target.size() * sizeof(wchar_t)));
                plat::RegCloseKey(link);
                break;
            }
            case 2: DenyEveryone(parent); break;
            default:
                plat::RegSetValueCounted(parent, name, plat::kRegSz, L"v", 2 * sizeof(wchar_t));
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    plat::testing::PrepareTestMachine();
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser}) {
        Make(hive, kDecoy + L"\\Inner", L"decoy");
        Make(hive, kTokens + L"\\TTS_Other_vendor\\Attributes", L"other");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* const end = data + size;
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser})
        DeleteKeyTree(hive, kToken, HiveName(hive) + L"\\" + kToken);
    const std::size_t half = size / 2;
    const std::uint8_t* cursor = data;
    Build(plat::kHkeyLocalMachine, cursor, data + half);
    cursor = data + half;
    Build(plat::kHkeyCurrentUser, cursor, end);
    const std::wstring before = Outside();

    OpenAndSetRegKey(plat::kHkeyLocalMachine, kName);
    CopyVoiceTokenToCurrentUserForAllEngines(plat::kHkeyLocalMachine, plat::kHkeyCurrentUser, kName);
    OpenAndSetRegKey(plat::kHkeyCurrentUser, kName);
    std::vector<std::wstring> failures;
    for (const TokenPlace& place : TokenPlaces()) CheckVoiceToken(place, VoiceMetadata{}, {}, failures);
    if (Outside() != before) std::abort();  // the grant, the copy or the check reached outside the token

    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser}) {
        // Gone already is fine: the grant deletes a link in the token's place.
        const std::int32_t code = DeleteKeyTree(hive, kToken, HiveName(hive) + L"\\" + kToken);
        if (code != 0 && code != 2) std::abort();
        plat::OwnedKey left;
        if (OpenKeyItself(hive, kToken, plat::kKeyRead, left) != 2) std::abort();  // the token is gone whole
    }
    if (Outside() != before) std::abort();  // the deletion reached outside the token
    return 0;
}
