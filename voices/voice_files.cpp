#include "voices/voice_files.h"

#include <cwchar>
#include <vector>

#include "platform/errors.h"
#include "support/line_reader.h"
#include "support/log.h"
#include "support/text.h"

namespace {

constexpr std::size_t kLineLimit = 254;  // characters (UTF-16 units) a metadata line may hold

void Assign(wchar_t (&field)[256], const wchar_t* value) {
    std::wcsncpy(field, value, 255);
    field[255] = 0;
}

// The key whose trimmed value still holds a tab, or null: a tab is white
// space only where the trimming removes it.
const wchar_t* ApplyLine(const std::wstring& line, VoiceMetadata& m) {
    const std::size_t colon = line.find(L':');
    if (colon == std::wstring::npos) return nullptr;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    buffer[colon] = 0;
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
    for (const auto& k : keys) {
        if (std::wcscmp(key, k.name) != 0) continue;
        if (std::wcschr(value, L'\t') != nullptr) return k.name;
        Assign(k.field, value);
    }
    return nullptr;
}

std::wstring Hex4(unsigned value) {
    const wchar_t* digits = L"0123456789ABCDEF";
    std::wstring text = L"U+";
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

// The first byte of a line's raw bytes that no value may hold, in words;
// empty when there is none. Bytes below 0x80 never occur inside a UTF-8
// sequence, so the raw bytes tell. A carriage return is allowed only just
// before the line feed (which the line reader has taken off).
std::wstring RawControlIn(const std::string& bytes, bool endedWithFeed) {
    const std::size_t end = endedWithFeed && !bytes.empty() && bytes.back() == '\r' ? bytes.size() - 1 : bytes.size();
    for (std::size_t i = 0; i < end; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\r') return L"a carriage return that no line feed follows (lines end with LF or CR LF)";
        if (b == 0) return L"a NUL character";
        if ((b < 0x20 && b != '\t') || b == 0x7F) return L"the control character " + Hex4(b);
    }
    return L"";
}

// The first C1 control character (U+0080 to U+009F) of decoded text; empty when none.
std::wstring C1ControlIn(const std::wstring& line) {
    for (wchar_t c : line)
        if (c >= 0x80 && c <= 0x9F) return L"the control character " + Hex4(static_cast<unsigned>(c));
    return L"";
}

// Reads every line into the fields; the cause that refuses the file (with
// its line), or the empty text when the whole file was read.
std::wstring ReadLines(LineReader& reader, VoiceMetadata& metadata, std::size_t& lineNumber) {
    std::string bytes;
    for (lineNumber = 1;; ++lineNumber) {
        const LineReader::Result result = reader.Next(bytes);
        if (result == LineReader::Result::End) return L"";
        if (result == LineReader::Result::Failed)
            return L"the file could not be read (" + plat::ErrorText(plat::GetLastError()) + L")";
        if (std::wstring control = RawControlIn(bytes, reader.EndedWithFeed()); !control.empty()) return control;
        const std::wstring overlong = L"the line is longer than " + std::to_wstring(kLineLimit) + L" characters";
        if (result == LineReader::Result::TooLong) return overlong;
        if (reader.EndedWithFeed() && !bytes.empty() && bytes.back() == '\r') bytes.pop_back();
        if (lineNumber == 1 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        std::size_t decoded = 0;
        const std::wstring line = DecodeUtf8UntilInvalid(bytes, &decoded);
        if (decoded < bytes.size()) return L"the bytes there are not UTF-8";
        if (Utf16Length(line) > kLineLimit) return overlong;
        if (std::wstring control = C1ControlIn(line); !control.empty()) return control;
        if (const wchar_t* key = ApplyLine(line, metadata)) return L"a tab inside the value of " + std::wstring(key);
    }
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

bool ReadVoiceMetadata(plat::PlainFile& file, const std::wstring& path, VoiceMetadata& metadata) {
    // Any line of at most 254 characters fits in this many bytes (three per
    // character at most), so a longer one is overlong whatever it holds.
    LineReader reader(4 * (kLineLimit + 2));
    reader.Use(file);
    metadata = VoiceMetadata {};
    std::size_t lineNumber = 0;
    const std::wstring refused = ReadLines(reader, metadata, lineNumber);
    if (refused.empty()) return true;
    // Nothing of a file read in part is used: the lines never read may have
    // been meant to change those that were.
    metadata = VoiceMetadata {};
    WriteLogLine(L"WARNING", L"Reading stopped at line " + std::to_wstring(lineNumber) + L" of " + path + L": " +
                                 refused + L"; voice not registered");
    return false;
}

bool ReadVoiceMetadata(const std::wstring& path, VoiceMetadata& metadata) {
    metadata = VoiceMetadata {};
    plat::PlainFile file;
    if (file.Open(path, plat::PlainFile::Access::Read) != plat::PlainFile::Opened::File) return false;
    return ReadVoiceMetadata(file, path, metadata);
}

std::wstring RefusalCause(plat::PlainFile::Opened opened, std::uint32_t links) {
    switch (opened) {
        case plat::PlainFile::Opened::Link: return L"it is a link, which is never followed";
        case plat::PlainFile::Opened::Folder: return L"it is a folder, not a file";
        case plat::PlainFile::Opened::NotAFile: return L"it is not a regular file (a device or a pipe)";
        case plat::PlainFile::Opened::MoreThanOneLink:
            return L"it has " + std::to_wstring(links) +
                   L" hard links, and another name of it may be a file that must never be opened to everyone";
        case plat::PlainFile::Opened::File:
        case plat::PlainFile::Opened::Failed: break;
    }
    return L"";
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
