#include "verify/checks.h"

#include <algorithm>
#include <cwchar>

#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/speech.h"
#include "support/paths.h"
#include "support/text.h"
#include "tokens/registration.h"
#include "tokens/rights.h"
#include "tokens/key_tree.h"
#include "tokens/token_keys.h"
#include "tokens/token_primitives.h"
#include "voices/voice_files.h"
#include "voices/token_names.h"

namespace {

constexpr std::int32_t kNotFound = static_cast<std::int32_t>(plat::kErrorFileNotFound);
// A value longer than this is never read into memory: no value the
// installation writes comes near it.
constexpr std::uint32_t kValueLimit = 64 * 1024;
const wchar_t* const kEveryone = L"S-1-1-0";
const wchar_t* const kAttributeNames[] = {L"Gender", L"Name", L"Language", L"Age", L"Vendor", L"SimpleName"};

std::wstring Hex(std::uint32_t code) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(code));
    return text;
}

void CannotRead(std::vector<std::wstring>& failures, const std::wstring& what, std::int32_t code) {
    failures.push_back(L"cannot read " + what + L" (" + plat::ErrorText(static_cast<std::uint32_t>(code)) + L")");
}

// Found text in quotes, every control character escaped: a value may hold
// a line feed or a NUL that would otherwise split or cut the report.
std::wstring Quoted(const std::wstring& text) { return L"\"" + ShownText(text) + L"\""; }

// Opens a key for reading only, its last name as itself: a registry link
// there is read as the link it is, never followed. 0, or the registry's code.
std::int32_t OpenForReading(plat::HKey root, const std::wstring& path, plat::OwnedKey& key,
                            std::uint32_t view = 0) {
    return OpenKeyItself(root, path, plat::kKeyRead | view, key);
}

// A value as the checks see it.
struct Value {
    bool present = false;
    bool text = false;  // a string value, read whole
    std::uint32_t type = plat::kRegNone;
    std::uint32_t bytes = 0;
    std::wstring content;

    // What was found, for a report: the text in quotes, or what stands there instead.
    std::wstring Found() const {
        if (!present) return L"nothing";
        if (text) return Quoted(content);
        if (type == plat::kRegSz || type == plat::kRegExpandSz)
            return L"a text of " + std::to_wstring(bytes) + L" bytes";
        return L"a value of type " + std::to_wstring(type);
    }
};

// Reads the named value (null: the default value); false when the registry
// could not answer, with the failure recorded under `where`.
bool ReadValue(plat::HKey key, const wchar_t* name, const std::wstring& where, Value& value,
               std::vector<std::wstring>& failures) {
    value = Value();
    std::int32_t code = plat::RegQueryValueEx(key, name, &value.type, nullptr, &value.bytes);
    if (code == kNotFound) return true;
    if (code != 0) {
        CannotRead(failures, where, code);
        return false;
    }
    value.present = true;
    if ((value.type != plat::kRegSz && value.type != plat::kRegExpandSz) || value.bytes > kValueLimit) return true;
    std::vector<wchar_t> buffer(value.bytes / sizeof(wchar_t) + 1, L'\0');
    std::uint32_t bytes = value.bytes;
    code = plat::RegQueryValueEx(key, name, &value.type, buffer.data(), &bytes);
    if (code != 0) {
        CannotRead(failures, where, code);
        return false;
    }
    value.text = true;
    // Counted, never cut at a NUL: "Elena" NUL "x" is not the text "Elena".
    std::size_t chars = bytes / sizeof(wchar_t);
    if (chars > 0 && buffer[chars - 1] == L'\0') --chars;
    value.content.assign(buffer.data(), chars);
    return true;
}

// The file a path value names: environment references expanded for an
// expandable value, surrounding quotes removed.
std::wstring NamedFile(const Value& value) {
    std::wstring path = value.content;
    if (value.type == plat::kRegExpandSz) {
        std::vector<wchar_t> buffer(32768, L'\0');
        const std::uint32_t n =
            plat::ExpandEnvironmentStrings(path.c_str(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        if (n > 0 && n <= buffer.size()) path = buffer.data();
    }
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
    return path;
}

bool FileExists(const std::wstring& path) {
    const std::uint32_t attributes = plat::GetFileAttributes(path);
    return attributes != plat::kInvalidFileAttributes && !(attributes & plat::kFileAttributeDirectory);
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with hexadecimal digits.
bool IsClassIdText(const std::wstring& text) {
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const wchar_t c = text[i];
        const bool hyphen = i == 9 || i == 14 || i == 19 || i == 24;
        const bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (hyphen ? c != L'-' : !hex) return false;
    }
    return true;
}

std::wstring ClassPath(const std::wstring& clsid) { return L"SOFTWARE\\Classes\\CLSID\\" + clsid; }

// The names of the key's subkeys, counted as the registry lists them; false
// when they cannot be listed.
bool SubkeyNames(plat::HKey key, const std::wstring& where, std::vector<std::wstring>& names,
                 std::vector<std::wstring>& failures) {
    constexpr std::size_t kMostListed = 65536;  // more tokens than any machine has
    const std::int32_t code = ListSubkeys(key, names, kMostListed);
    if (code == 0) return true;
    CannotRead(failures, L"the subkeys of " + where, code);
    return false;
}

// Everyone's full access on the key and on every key below it, as the
// installation run grants it. A registry link below the token is a problem
// and is never entered.
class AccessCheck final : public KeyTreeVisitor {
public:
    AccessCheck(Problems& problems, std::vector<std::wstring>& failures) : problems_(problems), failures_(failures) {}
    [[nodiscard]] std::uint32_t Access() const override { return plat::kKeyRead; }
    bool Enter(const KeyAt& at) override {
        std::vector<plat::AceSummary> entries;
        bool present = false;
        std::int32_t code = 0;
        if (!ReadKeyAccessEntries(at.key, entries, present, code))
            CannotRead(failures_, L"the access list of " + at.where, code);
        else if (present && !GrantsFullAccess(entries, kEveryone))
            problems_.push_back(L"no full-access entry for everyone on " + ShownText(Inside(at)));
        return true;
    }
    void Link(const KeyAt& at) override {
        problems_.push_back(L"a registry link inside the token: " + ShownText(at.relative));
    }
    void Skipped(const std::wstring& where, std::int32_t code, const std::wstring& why) override {
        if (code == static_cast<std::int32_t>(plat::kErrorBadKey)) failures_.push_back(why + L": " + where);
        else CannotRead(failures_, where, code);
    }

private:
    static std::wstring Inside(const KeyAt& at) { return at.depth == 0 ? L"the token key" : at.relative; }
    Problems& problems_;
    std::vector<std::wstring>& failures_;
};

void CheckAccess(plat::HKey key, const std::wstring& where, Problems& problems, std::vector<std::wstring>& failures) {
    AccessCheck check(problems, failures);
    if (const KeyTreeEnd end = WalkKeyTree(key, where, check); end.code != 0) failures.push_back(end.why + L": " + where);
}

// One value against what the installation writes there.
void Expect(plat::HKey key, const wchar_t* name, const std::wstring& shownName, const std::wstring& expected,
            const std::wstring& where, Problems& problems, std::vector<std::wstring>& failures) {
    Value value;
    if (!ReadValue(key, name, where + L" " + shownName, value, failures)) return;
    if (!value.text || value.content != expected)
        problems.push_back(shownName + L": expected " + Quoted(expected) + L", found " + value.Found());
}

// The token's Attributes key; null when it cannot be opened, and `missing` is
// a problem when it does not exist.
plat::OwnedKey OpenAttributes(plat::HKey token, const std::wstring& where, const wchar_t* missing, Problems& problems,
                              std::vector<std::wstring>& failures) {
    plat::OwnedKey attributes;
    const std::int32_t opened = OpenForReading(token, L"Attributes", attributes);
    if (opened == kNotFound) problems.push_back(missing);
    else if (opened != 0) CannotRead(failures, where + L"\\Attributes", opened);
    return attributes;
}

// What is wrong with another vendor's class, as applications find it: in the
// user's classes first, then the machine's; empty when nothing is known wrong.
std::wstring ClassVerdict(const std::wstring& clsid, std::vector<std::wstring>& failures) {
    if (!IsClassIdText(clsid)) return L"CLSID " + Quoted(clsid) + L" is not a class id";
    plat::OwnedKey found;
    std::int32_t opened = kNotFound;
    for (plat::HKey hive : {plat::kHkeyCurrentUser, plat::kHkeyLocalMachine}) {
        opened = OpenForReading(hive, ClassPath(clsid), found, plat::kKeyWow64_64Key);
        if (opened != kNotFound) break;
    }
    if (opened == kNotFound) return L"CLSID " + clsid + L" has no registered class";
    if (opened != 0) {
        CannotRead(failures, L"the class " + clsid, opened);
        return L"";
    }
    // A bare file name is found along the search path: only a full path is checked.
    plat::OwnedKey server;
    Value file;
    if (OpenForReading(found.get(), L"InprocServer32", server) == 0 &&
        ReadValue(server.get(), nullptr, L"the class " + clsid, file, failures) && file.text &&
        plat::IsAbsolutePath(NamedFile(file)) && !FileExists(NamedFile(file)))
        return L"InprocServer32 file not found: " + NamedFile(file);
    return L"";
}

}  // namespace

std::wstring EngineClassId() {
    wchar_t* text = nullptr;
    if (plat::Failed(plat::StringFromCLSID(CLSID_QueltoEngine, &text))) return L"";
    CSpDynamicString owned;
    owned.Attach(text);
    return owned.m_psz;
}

std::wstring TokenPlace::TokensPath() const { return std::wstring(root) + L"\\Tokens"; }
std::wstring TokenPlace::TokenPath(const std::wstring& name) const { return TokensPath() + L"\\" + name; }
std::wstring TokenPlace::CategoryId() const { return HiveName(hive) + L"\\" + root; }
std::wstring TokenPlace::FullKey(const std::wstring& name) const { return CategoryId() + L"\\Tokens\\" + name; }

std::vector<TokenPlace> TokenPlaces() {
    std::vector<TokenPlace> places;
    for (plat::HKey hive : {plat::kHkeyLocalMachine, plat::kHkeyCurrentUser}) {
        for (const wchar_t* root : engines) {
            // "SOFTWARE\Microsoft\Speech_OneCore\Voices" is shown as its stack, "Speech_OneCore".
            std::wstring stack = root;
            stack = stack.substr(0, stack.rfind(L'\\'));
            stack = stack.substr(stack.rfind(L'\\') + 1);
            places.push_back({hive, root, (hive == plat::kHkeyLocalMachine ? L"HKLM\\" : L"HKCU\\") + stack});
        }
    }
    return places;
}

std::vector<std::wstring> TokenNamesInPlace(const TokenPlace& place, std::vector<std::wstring>& failures) {
    std::vector<std::wstring> names;
    plat::OwnedKey tokens;
    const std::int32_t code = OpenForReading(place.hive, place.TokensPath(), tokens);
    if (code == kNotFound) return names;
    if (code != 0) {
        CannotRead(failures, place.CategoryId() + L"\\Tokens", code);
        return names;
    }
    SubkeyNames(tokens.get(), place.CategoryId() + L"\\Tokens", names, failures);
    return names;
}

std::vector<std::wstring> TokenNamesSapiLists(const TokenPlace& place, std::vector<std::wstring>& failures,
                                              bool& complete) {
    std::vector<std::wstring> names;
    complete = false;
    // A category that does not exist lists nothing; SAPI is not asked, so
    // that it has no occasion to create it.
    plat::OwnedKey category;
    const std::int32_t code = OpenForReading(place.hive, place.root, category);
    if (code == kNotFound) return names;
    if (code != 0) {
        CannotRead(failures, place.CategoryId(), code);
        return names;
    }
    plat::ComPtr<plat::SpObjectTokenCategory> sapi;
    const plat::HResult hr = SpGetCategoryFromId(place.CategoryId().c_str(), sapi.put(), 0);
    if (plat::Failed(hr)) {
        failures.push_back(L"SAPI cannot open the category " + place.CategoryId() + L" (" +
                           Hex(static_cast<std::uint32_t>(hr)) + L")");
        return names;
    }
    std::vector<plat::ComPtr<plat::SpObjectToken>> tokens;
    const plat::HResult listed = sapi->EnumTokens(tokens);
    complete = plat::Succeeded(listed);
    if (!complete)
        failures.push_back(L"SAPI cannot list the category " + place.CategoryId() + L" (" +
                           Hex(static_cast<std::uint32_t>(listed)) + L")");
    for (const auto& token : tokens) {
        wchar_t* id = nullptr;
        if (plat::Succeeded(token->GetId(&id)) && id != nullptr) {
            // Windows gives the full id, Wine the key name alone.
            const std::wstring full = id;
            names.push_back(full.substr(full.rfind(L'\\') == std::wstring::npos ? 0 : full.rfind(L'\\') + 1));
            plat::CoTaskMemFree(id);
        }
    }
    return names;
}

Problems CheckVoiceToken(const TokenPlace& place, const VoiceMetadata& metadata,
                         const std::vector<std::wstring>& sapiNames, std::vector<std::wstring>& failures) {
    Problems problems;
    const std::wstring name = metadata.TokenKeyName;
    const std::wstring where = place.FullKey(name);
    plat::OwnedKey token;
    const std::int32_t code = OpenForReading(place.hive, place.TokenPath(name), token);
    if (code == kNotFound) return {L"token key missing"};
    if (code != 0) {
        CannotRead(failures, where, code);
        return problems;
    }
    if (IsRegistryLink(token.get())) return {L"the token key is a registry link"};
    Expect(token.get(), nullptr, L"default value", metadata.LangIndependentName, where, problems, failures);
    Value clsid;
    const std::wstring engine = EngineClassId();
    if (ReadValue(token.get(), L"CLSID", where + L" CLSID", clsid, failures) &&
        !(clsid.text && EqualsIgnoringCase(clsid.content, engine)))
        problems.push_back(L"CLSID: expected " + engine + L", found " + clsid.Found());
    const std::wstring language = LanguageValueName(convertToLangID(metadata.Langid));
    Expect(token.get(), language.c_str(), L"value " + language, metadata.LangDependentName, where, problems, failures);

    const plat::OwnedKey attributes = OpenAttributes(token.get(), where, L"Attributes key missing", problems, failures);
    if (attributes) {
        const wchar_t* const expected[] = {metadata.Gender, metadata.Name, metadata.Language,
                                           metadata.Age, metadata.Vendor, metadata.SimpleName};
        for (std::size_t i = 0; i < std::size(kAttributeNames); ++i)
            Expect(attributes.get(), kAttributeNames[i], L"Attributes\\" + std::wstring(kAttributeNames[i]),
                   expected[i], where + L"\\Attributes", problems, failures);
        const std::wstring library = GetEngineLibraryPath();
        Value voicePath;
        if (ReadValue(attributes.get(), L"VoicePath", where + L"\\Attributes VoicePath", voicePath, failures)) {
            if (!voicePath.text || voicePath.content != library)
                problems.push_back(L"Attributes\\VoicePath is not the engine's library\nexpected " + Quoted(library) +
                                   L", found " + voicePath.Found());
            else if (!FileExists(NamedFile(voicePath)))
                problems.push_back(std::wstring(kMissingLibraryProblem) + L"\n" + library);
        }
    }
    CheckAccess(token.get(), where, problems, failures);

    bool listed = false;
    for (const std::wstring& n : sapiNames) listed = listed || EqualsIgnoringCase(n, name);
    if (!listed) problems.push_back(L"SAPI does not list the token");
    return problems;
}

namespace {

// The machine type in a file's PE header (IMAGE_FILE_HEADER.Machine); 0 when
// the file is no PE image. At most the first 64 KiB are read.
std::uint16_t ImageMachine(const std::wstring& path) {
    plat::FileReader reader;
    if (!reader.Open(path)) return 0;
    std::string head;
    char buffer[4096];
    for (std::uint32_t read = 0; head.size() < 64 * 1024 && reader.Read(buffer, sizeof buffer, read) && read > 0;)
        head.append(buffer, read);
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(head[i])); };
    if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return 0;
    const std::uint32_t pe = byte(0x3C) | byte(0x3D) << 8 | byte(0x3E) << 16 | byte(0x3F) << 24;
    if (pe > head.size() - 6 || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return 0;
    return static_cast<std::uint16_t>(byte(pe + 4) | byte(pe + 5) << 8);
}

std::wstring MachineName(std::uint16_t machine) {
    switch (machine) {
        case plat::kImageFileMachineAmd64: return L"x64";
        case plat::kImageFileMachineArm64: return L"ARM64";
        case plat::kImageFileMachineI386: return L"32-bit x86";
        case 0: return L"no PE image";
        default: return L"machine type " + Hex(machine);
    }
}

}  // namespace

Problems CheckEngineClass(std::vector<std::wstring>& failures, std::vector<std::wstring>* notes) {
    const std::wstring where = L"HKEY_LOCAL_MACHINE\\" + ClassPath(EngineClassId()) + L"\\InprocServer32";
    plat::OwnedKey server;
    const std::int32_t code = OpenForReading(plat::kHkeyLocalMachine, ClassPath(EngineClassId()) + L"\\InprocServer32",
                                             server, plat::kKeyWow64_64Key);
    if (code == kNotFound)
        return {L"not registered\nno InprocServer32 key under HKLM\\SOFTWARE\\Classes\\CLSID (64-bit view)"};
    if (code != 0) {
        CannotRead(failures, where, code);
        return {};
    }
    Problems problems;
    // The speech stacks create the engine on their own threads, of either kind.
    Value threading;
    if (ReadValue(server.get(), L"ThreadingModel", where + L" ThreadingModel", threading, failures) &&
        !(threading.text && EqualsIgnoringCase(threading.content, L"Both")))
        problems.push_back(L"ThreadingModel is not \"Both\"\nfound " + threading.Found());
    Value file;
    if (!ReadValue(server.get(), nullptr, where, file, failures)) return problems;
    if (!file.text || file.content.empty()) {
        problems.push_back(L"InprocServer32 names no file\nits default value is " + file.Found());
        return problems;
    }
    if (!FileExists(NamedFile(file))) {
        problems.push_back(L"InprocServer32 names a missing file\n" + NamedFile(file));
        return problems;
    }
    // The 64-bit speech stack loads only an image built for this machine. On
    // an ARM64 machine there are two 64-bit stacks: ARM64-native applications
    // load ARM64 libraries, x64 applications (emulated, as this program is)
    // load x64 ones. Either is a working engine for some of them, so either is
    // accepted there, with a note naming the applications that cannot load it.
    const std::uint16_t native = plat::NativeMachine();
    const std::uint16_t machine = ImageMachine(NamedFile(file));
    if (native == plat::kImageFileMachineArm64 &&
        (machine == plat::kImageFileMachineAmd64 || machine == plat::kImageFileMachineArm64)) {
        if (notes != nullptr)
            notes->push_back(NamedFile(file) + L" is an " + MachineName(machine) + L" library on an ARM64 machine: " +
                             (machine == plat::kImageFileMachineAmd64
                                  ? L"ARM64-native applications cannot load it; x64 applications, emulated, can"
                                  : L"x64 applications, emulated, cannot load it; ARM64-native applications can"));
        return problems;
    }
    if (machine != native)
        problems.push_back(L"InprocServer32 names a library this machine's 64-bit speech stack cannot load\n" +
                           NamedFile(file) + L" is " + MachineName(machine) + L", the machine " + MachineName(native));
    return problems;
}

bool IsEngineToken(const TokenPlace& place, const std::wstring& name, std::vector<std::wstring>& failures) {
    if (HasEngineTokenPrefix(name)) return true;
    plat::OwnedKey token;
    const std::int32_t code = OpenForReading(place.hive, place.TokenPath(name), token);
    if (code != 0) {
        if (code != kNotFound) CannotRead(failures, place.FullKey(name), code);
        return false;
    }
    Value clsid;
    return ReadValue(token.get(), L"CLSID", place.FullKey(name) + L" CLSID", clsid, failures) && clsid.text &&
           IsTheEnginesToken(name, clsid.content);
}

Problems CheckOtherVendorToken(const TokenPlace& place, const std::wstring& name,
                               std::map<std::wstring, std::wstring>& classes, std::vector<std::wstring>& failures) {
    Problems problems;
    const std::wstring where = place.FullKey(name);
    plat::OwnedKey token;
    const std::int32_t code = OpenForReading(place.hive, place.TokenPath(name), token);
    if (code != 0) {
        if (code != kNotFound) CannotRead(failures, where, code);
        return problems;
    }
    Value clsid;
    if (ReadValue(token.get(), L"CLSID", where + L" CLSID", clsid, failures)) {
        if (!clsid.text || clsid.content.empty()) {
            problems.push_back(L"no CLSID value");
        } else {
            std::wstring upper = clsid.content;
            for (wchar_t& c : upper)
                if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
            auto known = classes.find(upper);
            if (known == classes.end()) known = classes.emplace(upper, ClassVerdict(clsid.content, failures)).first;
            if (!known->second.empty()) problems.push_back(known->second);
        }
    }
    const plat::OwnedKey attributes = OpenAttributes(token.get(), where, L"no Attributes key", problems, failures);
    if (attributes) {
        Value language;
        if (ReadValue(attributes.get(), L"Language", where + L"\\Attributes Language", language, failures) &&
            !language.present)
            problems.push_back(L"no Language attribute");
    }
    return problems;
}

std::vector<std::wstring> PendingDeletionsUnder(const std::wstring& folder, std::vector<std::wstring>& failures) {
    std::vector<std::wstring> found;
    const std::wstring path = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    plat::OwnedKey key;
    std::int32_t code = OpenForReading(plat::kHkeyLocalMachine, path, key);
    if (code == kNotFound) return found;
    const std::wstring where = L"HKEY_LOCAL_MACHINE\\" + path + L" PendingFileRenameOperations";
    std::uint32_t type = 0, bytes = 0;
    if (code == 0) code = plat::RegQueryValueEx(key.get(), L"PendingFileRenameOperations", &type, nullptr, &bytes);
    if (code == kNotFound) return found;
    // Far more than the deletions of any installation; a larger value is not read.
    constexpr std::uint32_t kLargest = 4 * 1024 * 1024;
    if (code == 0 && (type != plat::kRegMultiSz || bytes > kLargest)) return found;
    std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 2, L'\0');
    if (code == 0) code = plat::RegQueryValueEx(key.get(), L"PendingFileRenameOperations", &type, text.data(), &bytes);
    if (code != 0) {
        CannotRead(failures, where, code);
        return found;
    }
    // Pairs of strings, a source and its destination (empty: a deletion).
    std::vector<std::wstring> strings;
    for (std::size_t i = 0, n = std::min<std::size_t>(text.size(), bytes / sizeof(wchar_t)); i < n;) {
        const std::size_t end = std::find(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), L'\0') - text.begin();
        strings.emplace_back(text.data() + i, end - i);
        i = end + 1;
    }
    for (std::size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2) {
        if (!strings[i + 1].empty()) continue;
        std::wstring source = strings[i];
        for (const wchar_t* prefix : {L"\\??\\", L"\\\\?\\"})
            if (source.compare(0, std::wcslen(prefix), prefix) == 0) source = source.substr(std::wcslen(prefix));
        if (EqualsIgnoringCase(source, folder) ||
            (source.size() > folder.size() && EqualsIgnoringCase(source.substr(0, folder.size()), folder) &&
             source[folder.size()] == L'\\'))
            found.push_back(source);
    }
    return found;
}

std::wstring FirstUnreadableToken(const TokenPlace& place) {
    std::vector<std::wstring> ignored;
    for (const std::wstring& name : TokenNamesInPlace(place, ignored)) {
        plat::OwnedKey token;
        const std::int32_t code = OpenForReading(place.hive, place.TokenPath(name), token);
        if (code != 0 && code != kNotFound) return name;
    }
    return L"";
}
