#include "driver/install.h"

#include <cwchar>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/speech.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "tokens/registration.h"
#include "tokens/user_copies.h"

namespace {

constexpr std::size_t kLineLimit = 254;  // characters (UTF-16 units) a metadata line may hold

// Decodes one UTF-8 sequence at `i`; false at bytes that are not UTF-8.
bool DecodeOne(const std::string& bytes, std::size_t& i, char32_t& cp) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    int extra = 0;
    if (b < 0x80) cp = b;
    else if (b >= 0xC2 && b <= 0xDF) extra = 1, cp = b & 0x1F;
    else if (b >= 0xE0 && b <= 0xEF) extra = 2, cp = b & 0x0F;
    else if (b >= 0xF0 && b <= 0xF4) extra = 3, cp = b & 0x07;
    else return false;
    if (extra > 0 && i + static_cast<std::size_t>(extra) >= bytes.size()) return false;
    for (int k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
        if ((c & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (c & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
        return false;
    i += static_cast<std::size_t>(extra) + 1;
    return true;
}

// The wide form of a character, and how many UTF-16 units it counts for.
std::size_t AppendWide(std::wstring& out, char32_t cp) {
    if (cp >= 0x10000 && sizeof(wchar_t) == 2) {
        out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
        out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        return 2;
    }
    out += static_cast<wchar_t>(cp);
    return cp >= 0x10000 ? 2 : 1;
}

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

}  // namespace

bool ReadVoiceMetadata(const std::wstring& path, VoiceMetadata& metadata) {
    std::string bytes;
    if (!plat::ReadWholeFile(path, bytes)) return false;
    std::size_t i = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::wstring line;
    std::size_t units = 0;
    while (i < bytes.size()) {
        char32_t cp = 0;
        if (!DecodeOne(bytes, i, cp)) break;  // not UTF-8: as the end of the file
        if (cp == U'\n') {
            ApplyLine(line, metadata);
            line.clear();
            units = 0;
            continue;
        }
        units += AppendWide(line, cp);
        if (units > kLineLimit) return true;  // an overlong line ends the reading
    }
    if (!line.empty()) ApplyLine(line, metadata);
    return true;
}

int RunInstallMode() {
    plat::CoInitialize();
    const std::wstring programFiles = ExpandProgramFiles();
    const std::wstring voices = programFiles + L"\\Mirelka\\" + sapiFolderStr + L"\\data_quelto\\voices\\";
    const std::wstring pattern = voices + L"*.*";
    WriteLogLine(L"INFO", L"Searching for voices.");
    WriteLogLine(L"INFO", L"Voices location: " + pattern);

    // A Program Files folder that did not expand to a full path is never listed.
    plat::FindData entry;
    plat::FindHandle search = plat::IsAbsolutePath(programFiles) ? plat::FindFirstFile(pattern, entry) : nullptr;
    if (search != nullptr) {
        int counter = 0;
        do {
            if (!(entry.attributes & plat::kFileAttributeDirectory) || entry.name.empty() || entry.name[0] == L'.')
                continue;
            ++counter;
            const std::wstring metadataPath = voices + entry.name + L"\\metaData.txt";
            WriteLogLine(L"INFO", std::to_wstring(counter) + L") Voice: " + metadataPath);
            SetFilePermission(metadataPath.c_str());
            VoiceMetadata m {};
            if (!ReadVoiceMetadata(metadataPath, m)) {
                WriteLogLine(L"ERROR", L"Cannot open input file: " + metadataPath);
                continue;
            }
            if (!IsValidTokenKeyName(m.TokenKeyName)) {
                WriteLogLine(L"ERROR", L"Invalid TokenKeyName '" + std::wstring(m.TokenKeyName) +
                                           L"', voice not registered: " + metadataPath);
                continue;
            }
            WriteLogLine(L"INFO", L"Creating the new voice registries:");
            Regnewvoice(plat::kHkeyLocalMachine, m.TokenKeyName, m.LangIndependentName, m.Langid,
                        m.LangDependentName, m.Gender, m.Name, m.Language, m.Age, m.Vendor, m.SimpleName);
            CopyVoiceTokenToCurrentUserForAllEngines(plat::kHkeyLocalMachine, plat::kHkeyCurrentUser, m.TokenKeyName);
            WriteLogLine(L"INFO", L"Checking the new voice registries:");
            OpenAndSetRegKey(plat::kHkeyLocalMachine, m.TokenKeyName);
            OpenAndSetRegKey(plat::kHkeyCurrentUser, m.TokenKeyName);
        } while (plat::FindNextFile(search, entry));
        RemoveTemporalFiles();
        plat::FindClose(search);
    }
    plat::CoUninitialize();
    return 0;
}
