#include "uninstall/token_removal.h"

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/causes.h"
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

// The file's text as a text-mode stream reads it: CR LF as one line break, a
// Ctrl+Z as the end, and bytes that are not UTF-8 as the end too.
std::wstring ReadText(const std::string& raw) {
    const std::string bytes = raw.substr(0, raw.find('\x1A'));
    std::string lf;
    lf.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) lf += bytes[i];
    return DecodeUtf8UntilInvalid(lf);
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
    std::string bytes;
    if (!plat::ReadWholeFile(voiceTxtPath, bytes)) return L"";
    const std::wstring text = ReadText(bytes);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t colon = line.find(L':');
        if (colon == std::wstring::npos) continue;
        if (EqualsIgnoringCase(Trim(line.substr(0, colon)), L"TokenKeyName")) return Trim(line.substr(colon + 1));
    }
    return L"";
}
