#include "voices/voice_files.h"

#include <cwchar>
#include <vector>

#include "support/line_reader.h"
#include "support/log.h"
#include "support/text.h"

namespace {

constexpr std::size_t kLineLimit = 254;  // characters (UTF-16 units) a metadata line may hold

void Assign(wchar_t (&field)[256], const wchar_t* value) {
    std::wcsncpy(field, value, 255);
    field[255] = 0;
}

void ApplyLine(std::wstring line, VoiceMetadata& m) {
    const std::size_t colon = line.find(L':');
    if (colon == std::wstring::npos) return;
    line[colon] = 0;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    wchar_t* key = buffer.data();
    wchar_t* value = key + colon + 1;
    trim_inplace(key);
    trim_inplace(value);
    const struct {
        const wchar_t* name;
        wchar_t (&field)[256];
    } keys[] = {{L"TokenKeyName", m.TokenKeyName}, {L"LangIndependentName", m.LangIndependentName},
                {L"Langid", m.Langid},             {L"LangDependentName", m.LangDependentName},
                {L"Gender", m.Gender},             {L"Name", m.Name},
                {L"Language", m.Language},         {L"Age", m.Age},
                {L"Vendor", m.Vendor},             {L"SimpleName", m.SimpleName}};
    for (const auto& k : keys)
        if (std::wcscmp(key, k.name) == 0) Assign(k.field, value);
}

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

bool ReadVoiceMetadata(const std::wstring& path, VoiceMetadata& metadata) {
    // Any line of at most 254 characters fits in this many bytes (three per
    // character at most), so a longer one is overlong whatever it holds.
    LineReader reader(4 * (kLineLimit + 2));
    if (!reader.Open(path)) return false;
    // The fields after an early stop stay empty: the warning explains a voice
    // registered without them.
    const auto stoppedEarly = [&](std::size_t lineNumber, const std::wstring& why) {
        WriteLogLine(L"WARNING", L"Reading stopped at line " + std::to_wstring(lineNumber) + L" of " + path + L": " +
                                     why + L"; the fields after it stay empty");
    };
    std::string bytes;
    for (std::size_t lineNumber = 1;; ++lineNumber) {
        const LineReader::Result result = reader.Next(bytes);
        if (result == LineReader::Result::End || result == LineReader::Result::Failed) break;
        if (lineNumber == 1 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        std::size_t decoded = 0;
        const std::wstring line = DecodeUtf8UntilInvalid(bytes, &decoded);
        if (Utf16Length(line) > kLineLimit) {  // an overlong line ends the reading
            stoppedEarly(lineNumber, L"the line is longer than " + std::to_wstring(kLineLimit) + L" characters");
            break;
        }
        ApplyLine(line, metadata);
        if (decoded < bytes.size()) {  // bytes that are not UTF-8 end the text, as the file's end does
            stoppedEarly(lineNumber, L"the bytes there are not UTF-8");
            break;
        }
    }
    return true;
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
