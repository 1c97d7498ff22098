#include "uninstall/token_removal.h"

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
            const std::wstring otherEngine = OtherEngineOfToken(h.hive, path);
            if (!otherEngine.empty()) {
                WriteLogLine(L"WARNING", L"Token not deleted, it belongs to another engine (" + otherEngine + L"): " +
                                             path + L" (" + h.label + L")");
                continue;
            }
            const std::int32_t code = plat::RegDeleteTree(h.hive, path.c_str());
            if (code == 0)
                WriteLogLine(L"INFO", L"Token deleted: " + path + L" (" + h.label + L")");
            else if (code != static_cast<std::int32_t>(plat::kErrorFileNotFound)) {
                WriteLogLine(L"ERROR", L"Failed to delete token: " + path + L" (" + std::to_wstring(code) + L")");
                LogCause(L"key " + HiveName(h.hive) + L"\\" + path, plat::ErrorText(static_cast<std::uint32_t>(code)));
            }
        }
        const std::wstring voicePaths = L"Software\\Mirelka\\VoicePaths";
        const std::int32_t code = plat::RegDeleteTree(h.hive, voicePaths.c_str());
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
