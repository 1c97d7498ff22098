#include "install/install.h"

#include <vector>

#include "catalogue/catalogue.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/speech.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "tokens/engine_tokens.h"
#include "tokens/registration.h"
#include "tokens/token_keys.h"
#include "tokens/user_copies.h"
#include "voices/token_names.h"
#include "voices/voice_files.h"
#include "voices/voice_folders.h"

namespace {

const plat::HKey kHives[] = {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser};

// Whether the voice's tokens may be written, and if so, the old ones deleted
// so that the run starts from keys only administrators can change.
// metaData.txt is writable by everyone: a name may have been chosen to take
// over another vendor's voice, which this elevated run never touches. Every
// key of the engine's own tokens is open to everyone, so anything below them
// may be a registry link or a key that shuts administrators out; deleting
// them (links as themselves) and letting SAPI create the tokens afresh leaves
// nothing of that for the writes and the grants that follow.
// The token key and its Attributes key, made as themselves in a place
// proven clear, so that the writes that follow (SAPI's, which create keys
// the ordinary way) only ever open keys this run made. Empty, or the cause.
std::wstring PrepareTokenKeys(plat::HKey hive, const std::wstring& path) {
    plat::OwnedKey token, attributes;
    bool created = false;
    std::int32_t code = CreateKeyItself(hive, path, plat::kKeyRead | plat::kKeyWrite, token, &created);
    // Made afresh, or someone was quicker: the key must be the one this run made.
    if (code == 0 && !created) return L"its token key was made again by someone else before this run could";
    if (code == 0) code = CreateKeyItself(token.get(), L"Attributes", plat::kKeyRead | plat::kKeyWrite, attributes);
    return code == 0 ? L"" : L"its keys could not be made afresh (" + plat::ErrorText(static_cast<std::uint32_t>(code)) + L")";
}

bool ClaimTokens(const std::wstring& name, const std::wstring& metadataPath, ClearedPlaces& places) {
    std::wstring damaged;
    for (plat::HKey hive : kHives) {
        for (const wchar_t* root : engines) {
            std::wstring clsid;
            const TokenOwner owner = OwnerOfToken(hive, name, root, clsid);
            if (owner == TokenOwner::Other) {
                WriteLogLine(L"ERROR", L"Token '" + name + L"' belongs to another engine (" + (clsid.empty() ? L"no CLSID" : clsid) +
                                           L"), voice not registered: " + metadataPath);
                return false;
            }
            if (owner == TokenOwner::Engine && !clsid.empty() && !IsEngineClassId(clsid) && damaged.empty())
                damaged = HiveName(hive) + L"\\" + root + L"\\Tokens\\" + name + L" (CLSID " + clsid + L")";
        }
    }
    if (!damaged.empty())
        WriteLogLine(L"WARNING", L"Token '" + name + L"' carries the engine's prefix but names another class, so "
                                 L"it is the engine's and is written afresh: " + damaged);
    for (plat::HKey hive : kHives) {
        for (std::size_t engine = 0; engine < std::size(engines); ++engine) {
            const std::wstring path = std::wstring(engines[engine]) + L"\\Tokens\\" + name;
            const std::wstring where = HiveName(hive) + L"\\" + path;
            const std::int32_t code = DeleteKeyTree(hive, path, where);
            if (code != 0 && code != static_cast<std::int32_t>(plat::kErrorFileNotFound)) {
                WriteLogLine(L"ERROR", L"Could not delete the old token before writing it afresh: " + where);
                LogCause(L"key " + where, plat::ErrorText(static_cast<std::uint32_t>(code)));
            }
            // Written only where the old token is gone: opened as itself, the name must answer "not found".
            plat::OwnedKey left;
            const std::int32_t still = OpenKeyItself(hive, path, plat::kKeyQueryValue, left);
            std::wstring cause;
            if (still == 0) cause = L"the old token is still there";
            else if (still != static_cast<std::int32_t>(plat::kErrorFileNotFound))
                cause = L"whether the old token is gone cannot be told (" +
                        plat::ErrorText(static_cast<std::uint32_t>(still)) + L")";
            else if (hive == plat::kHkeyLocalMachine)
                cause = PrepareTokenKeys(hive, path);
            if (cause.empty()) continue;
            places.Drop(hive, engine);
            WriteLogLine(L"ERROR", L"Voice not written in this place, its old token could not be cleared: " + where);
            LogCause(L"key " + where, cause);
        }
    }
    return true;
}

// The token names the voice folders on disk give, in either of their files:
// a token one of them names is never stale, whether or not this run could
// write it. A folder that names none at all may hold any voice.
struct FolderClaims {
    std::vector<std::wstring> names;
    std::vector<std::wstring> nameless;  // the folders that name no token

    void Add(const std::wstring& folderPath, const std::wstring& fromMetadata, const std::wstring& fromVoiceTxt) {
        if (IsValidTokenKeyName(fromMetadata)) names.push_back(fromMetadata);
        if (IsValidTokenKeyName(fromVoiceTxt)) names.push_back(fromVoiceTxt);
        if (!IsValidTokenKeyName(fromMetadata) && !IsValidTokenKeyName(fromVoiceTxt)) nameless.push_back(folderPath);
    }
    [[nodiscard]] bool Claims(const std::wstring& token) const {
        for (const std::wstring& name : names)
            if (EqualsIgnoringCase(name, token)) return true;
        return false;
    }
};

// An upgrade that drops a voice folder leaves its tokens behind: every speech
// application would still list the voice and fail when it is chosen. So the
// engine's tokens (by the one rule the uninstallation uses) that no folder
// claims go, in each of the four places, deleted as the uninstallation
// deletes them; another vendor's tokens are never touched. Called only when
// the voices folder was listed: a run that cannot see the folders cannot
// tell a stale token from a voice it failed to see. For the same reason a
// folder that names no token keeps every token.
void RemoveUnclaimedTokens(const FolderClaims& claims) {
    struct Stale {
        plat::HKey hive;
        const wchar_t* root;
        std::wstring name;
    };
    std::vector<Stale> stale;
    for (plat::HKey hive : kHives)
        for (const wchar_t* root : engines)
            for (std::wstring& name : CollectEngineTokens(hive, root))
                if (!claims.Claims(name)) stale.push_back({hive, root, std::move(name)});
    if (stale.empty()) return;
    if (!claims.nameless.empty()) {
        WriteLogLine(L"WARNING", L"Tokens that no voice folder claims are kept: a voice folder names no token in "
                                 L"metaData.txt or voice.txt, and may hold any of them: " + claims.nameless.front());
        return;
    }
    for (const Stale& token : stale) {
        const std::wstring path = std::wstring(token.root) + L"\\Tokens\\" + token.name;
        const std::wstring where = HiveName(token.hive) + L"\\" + path;
        std::int32_t code = 0;
        const std::wstring other = DeleteTokenUnlessOthers(token.hive, token.name, path,
                                                           token.hive == plat::kHkeyLocalMachine ? L"HKLM" : L"HKCU",
                                                           code);
        if (!other.empty())
            WriteLogLine(L"WARNING", L"Token not deleted, it belongs to another engine (" + other + L"): " + where);
        else if (code == 0)
            WriteLogLine(L"INFO", L"Token deleted, no voice folder claims it any more: " + where);
        else if (code != static_cast<std::int32_t>(plat::kErrorFileNotFound)) {
            WriteLogLine(L"ERROR", L"Failed to delete a token no voice folder claims: " + where);
            LogCause(L"key " + where, plat::ErrorText(static_cast<std::uint32_t>(code)));
        }
    }
}

// One voice folder: its metaData.txt read into `m` (every field empty when it
// is not read whole) and, when all is well, its tokens written.
void RegisterVoiceFolder(const std::wstring& voices, const std::wstring& folder, int counter, TokenNameClaims& claims,
                         VoiceMetadata& m) {
    const std::wstring folderPath = voices + L"\\" + folder;
    const std::wstring metadataPath = folderPath + L"\\metaData.txt";
    WriteLogLine(L"INFO", std::to_wstring(counter) + L") Voice: " + metadataPath);
    // One handle for the checks, the access list and the reading: what
    // is opened to everyone is the file that was checked and is read.
    plat::PlainFile file;
    const plat::PlainFile::Opened opened = file.Open(metadataPath, plat::PlainFile::Access::ReadAndSetAccessList);
    if (opened != plat::PlainFile::Opened::File) {
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"ERROR", L"Cannot open input file: " + metadataPath);
        if (opened == plat::PlainFile::Opened::Failed) LogCause(L"file " + metadataPath, plat::ErrorText(cause));
        else WriteLogLine(L"WARNING", L"Refused, voice not registered: " + metadataPath + L" (" +
                                          RefusalCause(opened, file.LinkCount()) + L")");
        return;
    }
    if (!SetFilePermission(file)) {
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"WARNING", L"Could not open the file to everyone: " + metadataPath + L" (" +
                                     plat::ErrorText(cause) + L")");
    }
    if (!ReadVoiceMetadata(file, metadataPath, m)) return;  // the reader's WARNING says why
    if (!IsValidTokenKeyName(m.TokenKeyName)) {
        WriteLogLine(L"ERROR", L"Invalid TokenKeyName '" + std::wstring(m.TokenKeyName) +
                                   L"', voice not registered: " + metadataPath);
        return;
    }
    if (const std::wstring first = claims.Claim(m.TokenKeyName, folderPath); !first.empty())
        return WriteLogLine(L"ERROR", NameConflictText(m.TokenKeyName, first, folderPath));
    ClearedPlaces places;
    if (!ClaimTokens(m.TokenKeyName, metadataPath, places)) return;
    if (m.Language[0] == 0)
        WriteLogLine(L"WARNING", L"No Language in " + metadataPath + L": the voice is registered, but "
                                 L"applications' voice lists may skip a token without Language");
    WriteLogLine(L"INFO", L"Creating the new voice registries:");
    Regnewvoice(plat::kHkeyLocalMachine, m.TokenKeyName, m.LangIndependentName, m.Langid, m.LangDependentName,
                m.Gender, m.Name, m.Language, m.Age, m.Vendor, m.SimpleName, places);
    CopyVoiceTokenToCurrentUserForAllEngines(plat::kHkeyLocalMachine, plat::kHkeyCurrentUser, m.TokenKeyName,
                                             places);
    WriteLogLine(L"INFO", L"Checking the new voice registries:");
    OpenAndSetRegKey(plat::kHkeyLocalMachine, m.TokenKeyName, places);
    OpenAndSetRegKey(plat::kHkeyCurrentUser, m.TokenKeyName, places);
}

}  // namespace

int RunInstallMode() {
    plat::CoInitialize();
    const std::wstring programFiles = ExpandProgramFiles();
    const std::wstring voices = programFiles + L"\\Mirelka\\" + sapiFolderStr + L"\\data_quelto\\voices";
    WriteLogLine(L"INFO", L"Searching for voices.");
    WriteLogLine(L"INFO", L"Voices location: " + voices + L"\\*.*");

    int counter = 0;
    TokenNameClaims claims;
    FolderClaims folderClaims;
    const bool listed = ForEachVoiceFolder(voices, [&](const std::wstring& folder) {
        ++counter;
        const std::wstring folderPath = voices + L"\\" + folder;
        VoiceMetadata m {};
        RegisterVoiceFolder(voices, folder, counter, claims, m);
        folderClaims.Add(folderPath, m.TokenKeyName, ReadTokenKeyNameFromVoiceTxt(folderPath + L"\\voice.txt"));
    });
    if (listed) {
        RemoveUnclaimedTokens(folderClaims);
        RemoveTemporalFiles();
    }
    plat::CoUninitialize();
    return 0;
}

