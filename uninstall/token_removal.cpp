#include "uninstall/token_removal.h"

#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/causes.h"
#include "support/line_reader.h"
#include "support/log.h"
#include "support/text.h"
#include "tokens/registration.h"

namespace {

// The reader's white space: the C runtime's, and the byte-order mark, so that
// a file saved with one still yields the entry on its first line.
bool IsVoiceTxtSpace(wchar_t c) { return IsWhiteSpace(c) || c == 0xFEFF; }

std::wstring Trim(const std::wstring& s) {
    std::size_t start = 0, end = s.size();
    while (start < end && IsVoiceTxtSpace(s[start])) ++start;
    while (end > start && IsVoiceTxtSpace(s[end - 1])) --end;
    return s.substr(start, end - start);
}

// Lines longer than this end the reading: a token name is at most 255
// characters, and the memory spent stays the same whatever the file's size.
constexpr std::size_t kVoiceTxtLineBytes = 64 * 1024;

// What deleting a key's tree asks of each key, and what the class id check reads.
constexpr std::uint32_t kTreeAccess = plat::kDelete | plat::kKeyEnumerateSubKeys | plat::kKeyQueryValue;

// Windows keeps registry trees at most this deep; a deeper one is not walked.
constexpr int kDeepestKeyTree = 512;

// Deletes the key the handle names and everything below it, each subkey
// through a handle opened from its parent's, so that the key that was checked
// is the key that goes. A subkey that is a registry link is opened as itself,
// so the link goes and never what it leads to (anyone may add keys to a token).
// 0, or the first failure's code (what went before it is gone, as with RegDeleteTree).
std::int32_t DeleteOpenTree(plat::HKey key, int depth = 0) {
    if (depth > kDeepestKeyTree) return static_cast<std::int32_t>(plat::kErrorBadKey);
    std::vector<wchar_t> name(256);  // a key name is at most 255 characters
    for (;;) {
        auto chars = static_cast<std::uint32_t>(name.size());
        const std::int32_t listed = plat::RegEnumKeyEx(key, 0, name.data(), &chars);
        if (listed == static_cast<std::int32_t>(plat::kErrorNoMoreItems)) break;
        if (listed != 0) return listed;
        plat::HKey child = nullptr;
        if (const std::int32_t code = plat::RegOpenKeyEx(key, name.data(), plat::kRegOptionOpenLink, kTreeAccess, &child);
            code != 0)
            return code;
        const plat::OwnedKey owned(child);
        if (const std::int32_t code = DeleteOpenTree(child, depth + 1); code != 0) return code;
    }
    return plat::RegDeleteOpenKey(key);
}

// Opens the key at `path` (a link as itself) for deleting its tree.
std::int32_t OpenTree(plat::HKey hive, const std::wstring& path, plat::HKey* key) {
    return plat::RegOpenKeyEx(hive, path.c_str(), plat::kRegOptionOpenLink, kTreeAccess, key);
}

// Deletes the token key at `path` unless it belongs to another engine; the
// other engine's class id when it does. `code`: 0, 2 when there is no such
// key, or why it was not deleted.
std::wstring DeleteTokenUnlessOthers(plat::HKey hive, const std::wstring& path, std::int32_t& code) {
    plat::HKey key = nullptr;
    code = OpenTree(hive, path, &key);
    if (code == static_cast<std::int32_t>(plat::kErrorFileNotFound)) return L"";
    // Not open for deletion: another engine's token is still told apart, and
    // the open's code says why ours was not deleted.
    if (code != 0) return OtherEngineOfToken(hive, path);
    const plat::OwnedKey owned(key);
    const std::wstring other = OtherEngineOfKey(key);
    if (other.empty()) code = DeleteOpenTree(key);
    return other;
}

// Deletes the key at `path` and its tree; 0, 2 when there is no such key, or why not.
std::int32_t DeleteKeyTree(plat::HKey hive, const std::wstring& path) {
    plat::HKey key = nullptr;
    if (const std::int32_t code = OpenTree(hive, path, &key); code != 0) return code;
    const plat::OwnedKey owned(key);
    return DeleteOpenTree(key);
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
            const std::wstring otherEngine = DeleteTokenUnlessOthers(h.hive, path, code);
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
        const std::int32_t code = DeleteKeyTree(h.hive, voicePaths);
        if (code != 0 && code != static_cast<std::int32_t>(plat::kErrorFileNotFound)) {
            WriteLogLine(L"ERROR", L"Failed to delete key: " + HiveName(h.hive) + L"\\" + voicePaths);
            LogCause(L"key " + HiveName(h.hive) + L"\\" + voicePaths, plat::ErrorText(static_cast<std::uint32_t>(code)));
        }
    }
}

std::wstring ReadTokenKeyNameFromVoiceTxt(const std::wstring& voiceTxtPath) {
    // Read as a text-mode stream reads it: a Ctrl+Z is the end of the file, and
    // so are bytes that are not UTF-8. A carriage return before a line feed is
    // white space to the trimming.
    LineReader reader(kVoiceTxtLineBytes);
    if (!reader.Open(voiceTxtPath)) return L"";
    std::string bytes;
    for (;;) {
        const LineReader::Result result = reader.Next(bytes);
        if (result != LineReader::Result::Line) return L"";
        const std::size_t ctrlZ = bytes.find('\x1A');
        if (ctrlZ != std::string::npos) bytes.resize(ctrlZ);
        std::size_t decoded = 0;
        const std::wstring line = DecodeUtf8UntilInvalid(bytes, &decoded);
        const std::size_t colon = line.find(L':');
        if (colon != std::wstring::npos && EqualsIgnoringCase(Trim(line.substr(0, colon)), L"TokenKeyName"))
            return Trim(line.substr(colon + 1));
        if (ctrlZ != std::string::npos || decoded < bytes.size()) return L"";
    }
}
