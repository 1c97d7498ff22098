// The stand-in registry: both hives of the sandbox's machine, each kept in a
// file "registry/<hive>.reg" in the format of `reg export` (UTF-16LE with a
// byte-order mark, CR LF), which `reg import` reads back on Windows. Each
// key's access list sits on a comment line under the key's header, in SDDL.
//
// A process loads a hive at its first use, holding a lock on it until it
// exits, and then writes it back atomically (a temporary file renamed over
// the old one): two processes take turns, and one that crashes leaves the
// hive as it found it.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sandbox_posix.h"

namespace plat {

const HKey kHkeyCurrentUser = reinterpret_cast<HKey>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000001)));
const HKey kHkeyLocalMachine = reinterpret_cast<HKey>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000002)));

namespace {

constexpr std::int32_t kErrorBadPathname = 161;
constexpr std::int32_t kErrorKeyDeleted = 1018;
constexpr std::int32_t kErrorInvalidSecurityDescriptor = 1338;

wchar_t FoldCase(wchar_t c) {
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<wchar_t>(c - 0x20);
    return c;
}

struct CaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](wchar_t x, wchar_t y) { return FoldCase(x) < FoldCase(y); });
    }
};

bool SameName(const std::wstring& a, const std::wstring& b) { return !CaseLess()(a, b) && !CaseLess()(b, a); }

struct Value {
    std::wstring name;
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> data;  // as Windows stores it: strings in UTF-16LE
};

struct Key {
    std::wstring name;
    std::vector<Value> values;  // in creation order
    std::map<std::wstring, std::unique_ptr<Key>, CaseLess> subkeys;
    std::optional<std::vector<std::uint8_t>> dacl;  // absent: no list, everyone may do everything
};

// A fresh key's list: the system and administrators in full, users may read.
const wchar_t* const kDefaultSddl = L"D:(A;;0xf003f;;;S-1-5-18)(A;;0xf003f;;;S-1-5-32-544)(A;;0x20019;;;S-1-5-32-545)";

bool IsStringType(std::uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// Platform wide characters <-> UTF-16LE bytes.
std::vector<std::uint8_t> ToStored(std::uint32_t type, const void* data, std::uint32_t bytes) {
    const auto* raw = static_cast<const std::uint8_t*>(data);
    if (!IsStringType(type) || sizeof(wchar_t) == 2) return {raw, raw + bytes};
    std::vector<std::uint8_t> out;
    for (std::uint32_t i = 0; i + sizeof(wchar_t) <= bytes; i += sizeof(wchar_t)) {
        wchar_t w;
        std::memcpy(&w, raw + i, sizeof w);
        auto put = [&](std::uint32_t unit) {
            out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            out.push_back(static_cast<std::uint8_t>(unit >> 8));
        };
        auto cp = static_cast<std::uint32_t>(w);
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp > 0x10FFFF ? 0xFFFD : cp);
        }
    }
    return out;
}

std::vector<std::uint8_t> FromStored(const Value& v) {
    if (!IsStringType(v.type) || sizeof(wchar_t) == 2) return v.data;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < v.data.size(); i += 2) {
        std::uint32_t cp = v.data[i] | (v.data[i + 1] << 8);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < v.data.size()) {
            const std::uint32_t low = v.data[i + 2] | (v.data[i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        const auto w = static_cast<wchar_t>(cp);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&w);
        out.insert(out.end(), p, p + sizeof w);
    }
    return out;
}

// ---- SDDL for the comment lines ---------------------------------------------

std::wstring AclToSddl(const std::optional<std::vector<std::uint8_t>>& dacl) {
    if (!dacl) return L"D:NO_ACCESS_CONTROL";
    std::wstring text = L"D:";
    for (const AceSummary& ace : DescribeAcl(const_cast<std::uint8_t*>(dacl->data()))) {
        text += ace.type == kAccessDeniedAceType ? L"(D;" : L"(A;";
        if (ace.flags & 0x1) text += L"OI";
        if (ace.flags & 0x2) text += L"CI";
        if (ace.flags & 0x4) text += L"NP";
        if (ace.flags & 0x8) text += L"IO";
        if (ace.flags & 0x10) text += L"ID";
        wchar_t mask[16];
        std::swprintf(mask, 16, L"0x%x", ace.mask);
        text += L";";
        text += mask;
        text += L";;;" + ace.sid + L")";
    }
    return text;
}

std::vector<std::uint8_t> SidFromString(const std::wstring& text) {
    static const std::map<std::wstring, std::wstring> aliases = {
        {L"WD", L"S-1-1-0"}, {L"CO", L"S-1-3-0"}, {L"SY", L"S-1-5-18"}, {L"AU", L"S-1-5-11"},
        {L"BA", L"S-1-5-32-544"}, {L"BU", L"S-1-5-32-545"}, {L"IU", L"S-1-5-4"}};
    const auto alias = aliases.find(text);
    std::wistringstream in(alias != aliases.end() ? alias->second : text);
    std::wstring part;
    std::vector<std::uint64_t> numbers;
    std::getline(in, part, L'-');
    if (part != L"S") return {};
    while (std::getline(in, part, L'-')) numbers.push_back(std::wcstoull(part.c_str(), nullptr, 10));
    if (numbers.size() < 2) return {};
    std::vector<std::uint8_t> sid(8 + 4 * (numbers.size() - 2));
    sid[0] = static_cast<std::uint8_t>(numbers[0]);
    sid[1] = static_cast<std::uint8_t>(numbers.size() - 2);
    for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<std::uint8_t>(numbers[1] >> (8 * (5 - i)));
    for (std::size_t i = 2; i < numbers.size(); ++i) {
        const auto sub = static_cast<std::uint32_t>(numbers[i]);
        std::memcpy(sid.data() + 8 + 4 * (i - 2), &sub, 4);
    }
    return sid;
}

std::uint32_t RightsFromString(const std::wstring& text) {
    static const std::map<std::wstring, std::uint32_t> names = {
        {L"KA", kKeyAllAccess}, {L"KR", kKeyRead}, {L"KW", kKeyWrite}, {L"KX", kKeyRead},
        {L"GA", kGenericAll},   {L"GR", kGenericRead}, {L"GW", kGenericWrite}, {L"GX", kGenericExecute}};
    if (const auto it = names.find(text); it != names.end()) return it->second;
    return static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 0));
}

std::optional<std::vector<std::uint8_t>> SddlToAcl(const std::wstring& sddl) {
    if (sddl.rfind(L"D:", 0) != 0 || sddl == L"D:NO_ACCESS_CONTROL") return std::nullopt;
    std::vector<std::uint8_t> acl(8);
    std::uint16_t count = 0;
    std::size_t pos = 2;
    while ((pos = sddl.find(L'(', pos)) != std::wstring::npos) {
        const std::size_t end = sddl.find(L')', pos);
        if (end == std::wstring::npos) break;
        std::vector<std::wstring> fields;
        std::wistringstream in(sddl.substr(pos + 1, end - pos - 1));
        std::wstring field;
        while (std::getline(in, field, L';')) fields.push_back(field);
        pos = end + 1;
        if (fields.size() < 6) continue;
        const std::vector<std::uint8_t> sid = SidFromString(fields[5]);
        if (sid.empty()) continue;
        std::uint8_t flags = 0;
        for (std::size_t i = 0; i + 1 < fields[1].size() + 1 && i + 2 <= fields[1].size(); i += 2) {
            const std::wstring f = fields[1].substr(i, 2);
            flags |= f == L"OI" ? 0x1 : f == L"CI" ? 0x2 : f == L"NP" ? 0x4 : f == L"IO" ? 0x8 : f == L"ID" ? 0x10 : 0;
        }
        std::vector<std::uint8_t> ace(8 + sid.size());
        ace[0] = fields[0] == L"D" ? kAccessDeniedAceType : kAccessAllowedAceType;
        ace[1] = flags;
        const auto size = static_cast<std::uint16_t>(ace.size());
        std::memcpy(ace.data() + 2, &size, 2);
        const std::uint32_t mask = RightsFromString(fields[2]);
        std::memcpy(ace.data() + 4, &mask, 4);
        std::memcpy(ace.data() + 8, sid.data(), sid.size());
        acl.insert(acl.end(), ace.begin(), ace.end());
        ++count;
    }
    acl[0] = kAclRevision;
    const auto size = static_cast<std::uint16_t>(acl.size());
    std::memcpy(acl.data() + 2, &size, 2);
    std::memcpy(acl.data() + 4, &count, 2);
    return acl;
}

// ---- Access checks ------------------------------------------------------------

// The process runs elevated: everyone, authenticated and interactive users,
// users and administrators.
bool InProcessToken(const std::wstring& sid) {
    return sid == L"S-1-1-0" || sid == L"S-1-5-11" || sid == L"S-1-5-4" || sid == L"S-1-5-32-545" ||
           sid == L"S-1-5-32-544";
}

std::uint32_t MapGeneric(std::uint32_t mask) {
    std::uint32_t mapped = mask & 0x0FFFFFFFu;
    if (mask & kGenericAll) mapped |= kKeyAllAccess;
    if (mask & kGenericRead) mapped |= kKeyRead;
    if (mask & kGenericWrite) mapped |= kKeyWrite;
    if (mask & kGenericExecute) mapped |= kKeyRead;
    return mapped;
}

bool AccessAllowed(const Key& key, std::uint32_t desired) {
    std::uint32_t wanted = MapGeneric(desired) & ~(kKeyWow64_64Key | kKeyWow64_32Key);
    if (!key.dacl || wanted == 0) return true;
    std::uint32_t granted = 0;
    for (const AceSummary& ace : DescribeAcl(const_cast<std::uint8_t*>(key.dacl->data()))) {
        if ((ace.flags & 0x8) || !InProcessToken(ace.sid)) continue;  // inherit-only entries do not apply
        const std::uint32_t mask = MapGeneric(ace.mask);
        if (ace.type == kAccessDeniedAceType && (mask & wanted & ~granted)) return false;
        if (ace.type == kAccessAllowedAceType) granted |= mask;
    }
    return (wanted & ~granted) == 0;
}

// ---- Hives ----------------------------------------------------------------------

struct Hive {
    std::wstring name;
    std::string file;
    Key root;
    bool loaded = false;
    bool dirty = false;
    int lockFd = -1;
};

std::wstring DecodeUtf16(const std::string& bytes) {
    std::vector<std::uint8_t> raw(bytes.begin(), bytes.end());
    std::size_t start = raw.size() >= 2 && raw[0] == 0xFF && raw[1] == 0xFE ? 2 : 0;
    Value v{L"", kRegSz, {raw.begin() + static_cast<long>(start), raw.end()}};
    if (v.data.size() % 2) v.data.pop_back();
    v.data.push_back(0);
    v.data.push_back(0);
    const std::vector<std::uint8_t> wide = FromStored(v);
    return std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), wide.size() / sizeof(wchar_t) - 1);
}

std::string EncodeUtf16(const std::wstring& text) {
    const std::vector<std::uint8_t> stored =
        ToStored(kRegSz, text.data(), static_cast<std::uint32_t>(text.size() * sizeof(wchar_t)));
    return "\xFF\xFE" + std::string(stored.begin(), stored.end());
}

std::wstring Quote(const std::wstring& s) {
    std::wstring out = L"\"";
    for (wchar_t c : s) {
        if (c == L'\\' || c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

std::wstring HexBytes(const std::vector<std::uint8_t>& data) {
    std::wstring out;
    wchar_t byte[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::swprintf(byte, 4, L"%02x", data[i]);
        if (i) out += L',';
        out += byte;
    }
    return out;
}

// "..." form only for a plain string: one terminating NUL, nothing that would
// break the line.
bool PlainString(const Value& v) {
    if (v.type != kRegSz || v.data.size() < 2 || v.data.size() % 2) return false;
    for (std::size_t i = 0; i + 2 < v.data.size(); i += 2) {
        const std::uint32_t u = v.data[i] | (v.data[i + 1] << 8);
        if (u == 0 || u == L'\r' || u == L'\n') return false;
    }
    return v.data[v.data.size() - 2] == 0 && v.data.back() == 0;
}

void WriteKey(std::wstring& out, const Key& key, const std::wstring& path) {
    out += L"[" + path + L"]\r\n;sddl:" + AclToSddl(key.dacl) + L"\r\n";
    for (const Value& v : key.values) {
        out += v.name.empty() ? std::wstring(L"@") : Quote(v.name);
        out += L"=";
        if (PlainString(v)) {
            const std::vector<std::uint8_t> wide = FromStored(v);
            out += Quote(std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), wide.size() / sizeof(wchar_t) - 1));
        } else if (v.type == kRegDword && v.data.size() == 4) {
            std::uint32_t d;
            std::memcpy(&d, v.data.data(), 4);
            wchar_t text[16];
            std::swprintf(text, 16, L"dword:%08x", d);
            out += text;
        } else if (v.type == kRegBinary) {
            out += L"hex:" + HexBytes(v.data);
        } else {
            wchar_t type[16];
            std::swprintf(type, 16, L"hex(%x):", v.type);
            out += type + HexBytes(v.data);
        }
        out += L"\r\n";
    }
    out += L"\r\n";
    for (const auto& [name, child] : key.subkeys) WriteKey(out, *child, path + L"\\" + child->name);
}

std::wstring Unquote(const std::wstring& line, std::size_t& pos) {
    std::wstring s;
    for (++pos; pos < line.size() && line[pos] != L'"'; ++pos) {
        if (line[pos] == L'\\' && pos + 1 < line.size()) ++pos;
        s += line[pos];
    }
    ++pos;
    return s;
}

std::vector<std::uint8_t> ParseHex(const std::wstring& text) {
    std::vector<std::uint8_t> out;
    std::wistringstream in(text);
    std::wstring byte;
    while (std::getline(in, byte, L',')) {
        while (!byte.empty() && (byte.back() == L'\\' || byte.back() == L' ')) byte.pop_back();
        while (!byte.empty() && byte.front() == L' ') byte.erase(byte.begin());
        if (!byte.empty()) out.push_back(static_cast<std::uint8_t>(std::wcstoul(byte.c_str(), nullptr, 16)));
    }
    return out;
}

Key* Descend(Key* key, const std::vector<std::wstring>& path, bool create) {
    for (const std::wstring& part : path) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            auto child = std::make_unique<Key>();
            child->name = part;
            child->dacl = SddlToAcl(kDefaultSddl);
            it = key->subkeys.emplace(part, std::move(child)).first;
        }
        key = it->second.get();
    }
    return key;
}

std::vector<std::wstring> SplitPath(const wchar_t* subKey) {
    std::vector<std::wstring> parts;
    if (subKey == nullptr) return parts;
    std::wstring part;
    for (const wchar_t* p = subKey;; ++p) {
        if (*p == L'\\' || *p == 0) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
            if (*p == 0) break;
        } else {
            part += *p;
        }
    }
    return parts;
}

void Parse(Hive& hive, const std::wstring& text) {
    std::wistringstream in(text);
    std::wstring line;
    Key* current = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.size() >= 2 && line.front() == L'[' && line.back() == L']') {
            std::vector<std::wstring> path = SplitPath(line.substr(1, line.size() - 2).c_str());
            if (path.empty() || !SameName(path[0], hive.name)) {
                current = nullptr;
                continue;
            }
            path.erase(path.begin());
            current = Descend(&hive.root, path, true);
        } else if (current && line.rfind(L";sddl:", 0) == 0) {
            current->dacl = SddlToAcl(line.substr(6));
        } else if (current && (line.rfind(L"\"", 0) == 0 || line.rfind(L"@=", 0) == 0)) {
            std::size_t pos = 0;
            Value v;
            if (line[0] == L'@') pos = 1;
            else v.name = Unquote(line, pos);
            if (pos >= line.size() || line[pos] != L'=') continue;
            const std::wstring data = line.substr(pos + 1);
            if (!data.empty() && data[0] == L'"') {
                std::size_t p = 0;
                const std::wstring s = Unquote(data, p) + L'\0';
                v.type = kRegSz;
                v.data = ToStored(kRegSz, s.data(), static_cast<std::uint32_t>(s.size() * sizeof(wchar_t)));
            } else if (data.rfind(L"dword:", 0) == 0) {
                const auto d = static_cast<std::uint32_t>(std::wcstoul(data.c_str() + 6, nullptr, 16));
                v.type = kRegDword;
                v.data.assign(reinterpret_cast<const std::uint8_t*>(&d), reinterpret_cast<const std::uint8_t*>(&d) + 4);
            } else if (data.rfind(L"hex:", 0) == 0) {
                v.type = kRegBinary;
                v.data = ParseHex(data.substr(4));
            } else if (data.rfind(L"hex(", 0) == 0) {
                const std::size_t close = data.find(L"):");
                if (close == std::wstring::npos) continue;
                v.type = static_cast<std::uint32_t>(std::wcstoul(data.c_str() + 4, nullptr, 16));
                v.data = ParseHex(data.substr(close + 2));
            } else {
                continue;
            }
            current->values.push_back(std::move(v));
        }
    }
}

// What a fresh Windows machine already has below the speech stacks: one
// voice of the system's own in each.
const wchar_t* const kFreshLocalMachine =
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_MS_EN-US_ZIRA_11.0]\n"
    L"@=\"Microsoft Zira Desktop - English (United States)\"\n"
    L"\"409\"=\"Microsoft Zira Desktop - English (United States)\"\n"
    L"\"CLSID\"=\"{179F3D56-1B0B-42B2-A962-59B7EF59FE1B}\"\n"
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\TTS_MS_EN-US_ZIRA_11.0\\Attributes]\n"
    L"\"Age\"=\"Adult\"\n\"Gender\"=\"Female\"\n\"Language\"=\"409\"\n\"Name\"=\"Microsoft Zira Desktop\"\n"
    L"\"Vendor\"=\"Microsoft\"\n"
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech_OneCore\\Voices\\Tokens\\MSTTS_V110_enUS_ZiraM]\n"
    L"@=\"Microsoft Zira - English (United States)\"\n"
    L"\"409\"=\"Microsoft Zira - English (United States)\"\n"
    L"\"CLSID\"=\"{179F3D56-1B0B-42B2-A962-59B7EF59FE1B}\"\n"
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech_OneCore\\Voices\\Tokens\\MSTTS_V110_enUS_ZiraM\\Attributes]\n"
    L"\"Age\"=\"Adult\"\n\"Gender\"=\"Female\"\n\"Language\"=\"409\"\n\"Name\"=\"Microsoft Zira\"\n"
    L"\"Vendor\"=\"Microsoft\"\n"
    L"[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Speech]\n";

class Registry {
public:
    // The sandbox's folder is taken first: it must outlive the registry, which
    // writes its hives back at exit.
    Registry() : dir_(sandbox::Root() + "/registry/") {
        hives_[0].name = L"HKEY_LOCAL_MACHINE";
        hives_[0].file = "HKEY_LOCAL_MACHINE.reg";
        hives_[1].name = L"HKEY_CURRENT_USER";
        hives_[1].file = "HKEY_CURRENT_USER.reg";
    }
    ~Registry() {
        for (Hive& hive : hives_) Save(hive);
    }

    Hive* HiveOf(HKey root) {
        Hive* hive = root == kHkeyLocalMachine ? &hives_[0] : root == kHkeyCurrentUser ? &hives_[1] : nullptr;
        if (hive != nullptr && !hive->loaded) Load(*hive);
        return hive;
    }

private:
    void Load(Hive& hive) {
        const std::string& dir = dir_;
        hive.lockFd = ::open((dir + hive.file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (hive.lockFd >= 0) ::flock(hive.lockFd, LOCK_EX);
        hive.root.name = hive.name;
        hive.root.dacl = SddlToAcl(kDefaultSddl);
        std::ifstream in(dir + hive.file, std::ios::binary);
        if (in) {
            std::stringstream bytes;
            bytes << in.rdbuf();
            Parse(hive, DecodeUtf16(bytes.str()));
        } else {
            Parse(hive, kFreshLocalMachine);  // a new machine
            hive.dirty = true;
        }
        hive.loaded = true;
    }

    void Save(Hive& hive) {
        if (hive.loaded && hive.dirty) {
            std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n";
            for (const auto& [name, child] : hive.root.subkeys) WriteKey(text, *child, hive.name + L"\\" + child->name);
            const std::string path = dir_ + hive.file;
            const std::string bytes = EncodeUtf16(text);
            const int fd = ::open((path + ".tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
                ok = ::fsync(fd) == 0 && ok;
                ok = ::close(fd) == 0 && ok;
                if (ok) std::rename((path + ".tmp").c_str(), path.c_str());
                else ::unlink((path + ".tmp").c_str());
            }
        }
        if (hive.lockFd >= 0) ::close(hive.lockFd);
        hive.lockFd = -1;
    }

    std::string dir_;
    Hive hives_[2];
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

struct RegKeyObject {
    Hive* hive;
    std::vector<std::wstring> path;
    std::uint32_t access;
};

namespace {

struct Resolved {
    Hive* hive = nullptr;
    std::vector<std::wstring> path;
    std::uint32_t access = 0;
};

bool IsPredefined(HKey key) { return key == kHkeyLocalMachine || key == kHkeyCurrentUser; }

bool ResolveHandle(HKey key, Resolved& r) {
    if (key == nullptr) return false;
    if (IsPredefined(key)) {
        r.hive = TheRegistry().HiveOf(key);
        r.access = 0xFFFFFFFFu;
        return r.hive != nullptr;
    }
    r.hive = key->hive;
    r.path = key->path;
    r.access = key->access;
    return true;
}

// The key behind a handle; null when it was deleted meanwhile.
Key* KeyOf(const Resolved& r) { return Descend(&r.hive->root, r.path, false); }

std::int32_t Open(HKey root, const wchar_t* subKey, std::uint32_t sam, HKey* result, bool create) {
    if (result == nullptr) return static_cast<std::int32_t>(kErrorInvalidParameter);
    if (subKey != nullptr && subKey[0] == L'\\') return kErrorBadPathname;
    Resolved r;
    if (!ResolveHandle(root, r)) return static_cast<std::int32_t>(kErrorInvalidHandle);
    Key* key = KeyOf(r);
    if (key == nullptr) return kErrorKeyDeleted;
    for (const std::wstring& part : SplitPath(subKey)) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            if (!create) return static_cast<std::int32_t>(kErrorFileNotFound);
            if (!AccessAllowed(*key, kKeyCreateSubKey)) return static_cast<std::int32_t>(kErrorAccessDenied);
            key = Descend(key, {part}, true);
            r.hive->dirty = true;
        } else {
            key = it->second.get();
        }
        r.path.push_back(key->name);
    }
    if (!AccessAllowed(*key, sam)) return static_cast<std::int32_t>(kErrorAccessDenied);
    *result = new RegKeyObject{r.hive, r.path, MapGeneric(sam)};
    return 0;
}

std::int32_t WithKey(HKey handle, std::uint32_t needed, Key** key, Resolved* resolved = nullptr) {
    Resolved r;
    if (!ResolveHandle(handle, r)) return static_cast<std::int32_t>(kErrorInvalidHandle);
    if ((r.access & needed) != needed) return static_cast<std::int32_t>(kErrorAccessDenied);
    *key = KeyOf(r);
    if (*key == nullptr) return kErrorKeyDeleted;
    if (resolved) *resolved = r;
    return 0;
}

std::int32_t CopyOut(const std::vector<std::uint8_t>& bytes, void* data, std::uint32_t* size) {
    if (size == nullptr) return data ? static_cast<std::int32_t>(kErrorInvalidParameter) : 0;
    const auto needed = static_cast<std::uint32_t>(bytes.size());
    if (data != nullptr && *size < needed) {
        *size = needed;
        return static_cast<std::int32_t>(kErrorMoreData);
    }
    if (data != nullptr) std::memcpy(data, bytes.data(), needed);
    *size = needed;
    return 0;
}

std::int32_t CopyName(const std::wstring& name, wchar_t* buffer, std::uint32_t* chars) {
    if (buffer == nullptr || chars == nullptr) return static_cast<std::int32_t>(kErrorInvalidParameter);
    if (name.size() >= *chars) return static_cast<std::int32_t>(kErrorMoreData);
    std::wmemcpy(buffer, name.c_str(), name.size() + 1);
    *chars = static_cast<std::uint32_t>(name.size());
    return 0;
}

}  // namespace

std::int32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, std::uint32_t, std::uint32_t samDesired, HKey* result) {
    return Open(root, subKey, samDesired, result, false);
}

std::int32_t RegCreateKeyEx(HKey root, const wchar_t* subKey, std::uint32_t samDesired, HKey* result) {
    return Open(root, subKey, samDesired, result, true);
}

std::int32_t RegCloseKey(HKey key) {
    if (key == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
    if (!IsPredefined(key)) delete key;
    return 0;
}

std::int32_t RegSetValueEx(HKey handle, const wchar_t* name, std::uint32_t type, const void* data,
                           std::uint32_t bytes) {
    Key* key = nullptr;
    Resolved r;
    if (const std::int32_t code = WithKey(handle, kKeySetValue, &key, &r)) return code;
    if (data == nullptr && bytes != 0) return static_cast<std::int32_t>(kErrorInvalidParameter);
    const std::wstring valueName = name ? name : L"";
    if (valueName.find_first_of(L"\r\n") != std::wstring::npos) return static_cast<std::int32_t>(kErrorInvalidParameter);
    std::vector<std::uint8_t> stored = bytes ? ToStored(type, data, bytes) : std::vector<std::uint8_t>{};
    for (Value& v : key->values) {
        if (SameName(v.name, valueName)) {
            v.type = type;
            v.data = std::move(stored);
            r.hive->dirty = true;
            return 0;
        }
    }
    key->values.push_back({valueName, type, std::move(stored)});
    r.hive->dirty = true;
    return 0;
}

std::int32_t RegQueryValueEx(HKey handle, const wchar_t* name, std::uint32_t* type, void* data, std::uint32_t* bytes) {
    Key* key = nullptr;
    if (const std::int32_t code = WithKey(handle, kKeyQueryValue, &key)) return code;
    const std::wstring valueName = name ? name : L"";
    for (const Value& v : key->values) {
        if (!SameName(v.name, valueName)) continue;
        if (type) *type = v.type;
        return CopyOut(FromStored(v), data, bytes);
    }
    return static_cast<std::int32_t>(kErrorFileNotFound);
}

std::int32_t RegEnumValue(HKey handle, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                          std::uint32_t* type, void* data, std::uint32_t* bytes) {
    Key* key = nullptr;
    if (const std::int32_t code = WithKey(handle, kKeyQueryValue, &key)) return code;
    if (index >= key->values.size()) return static_cast<std::int32_t>(kErrorNoMoreItems);
    const Value& v = key->values[index];
    if (const std::int32_t code = CopyName(v.name, name, nameChars)) return code;
    if (type) *type = v.type;
    return CopyOut(FromStored(v), data, bytes);
}

std::int32_t RegEnumKeyEx(HKey handle, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars) {
    Key* key = nullptr;
    if (const std::int32_t code = WithKey(handle, kKeyEnumerateSubKeys, &key)) return code;
    if (index >= key->subkeys.size()) return static_cast<std::int32_t>(kErrorNoMoreItems);
    auto it = key->subkeys.begin();
    std::advance(it, index);
    return CopyName(it->second->name, name, nameChars);
}

std::int32_t RegEnumKey(HKey handle, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) {
    return RegEnumKeyEx(handle, index, name, &nameChars);
}

std::int32_t RegQueryInfoKey(HKey handle, std::uint32_t* subKeys, std::uint32_t* maxSubKeyLength,
                             std::uint32_t* values, std::uint32_t* maxValueNameLength, std::uint32_t* maxValueBytes) {
    Key* key = nullptr;
    if (const std::int32_t code = WithKey(handle, kKeyQueryValue, &key)) return code;
    std::uint32_t longestKey = 0, longestName = 0, longestData = 0;
    for (const auto& [name, child] : key->subkeys) longestKey = std::max(longestKey, static_cast<std::uint32_t>(child->name.size()));
    for (const Value& v : key->values) {
        longestName = std::max(longestName, static_cast<std::uint32_t>(v.name.size()));
        longestData = std::max(longestData, static_cast<std::uint32_t>(FromStored(v).size()));
    }
    if (subKeys) *subKeys = static_cast<std::uint32_t>(key->subkeys.size());
    if (maxSubKeyLength) *maxSubKeyLength = longestKey;
    if (values) *values = static_cast<std::uint32_t>(key->values.size());
    if (maxValueNameLength) *maxValueNameLength = longestName;
    if (maxValueBytes) *maxValueBytes = longestData;
    return 0;
}

std::int32_t RegDeleteTree(HKey root, const wchar_t* subKey) {
    Resolved r;
    if (!ResolveHandle(root, r)) return static_cast<std::int32_t>(kErrorInvalidHandle);
    Key* parent = KeyOf(r);
    if (parent == nullptr) return kErrorKeyDeleted;
    std::vector<std::wstring> path = SplitPath(subKey);
    if (path.empty()) {
        // Without a subkey the tree below the key goes, the key itself stays.
        if (!AccessAllowed(*parent, kDelete | kKeyEnumerateSubKeys | kKeyQueryValue))
            return static_cast<std::int32_t>(kErrorAccessDenied);
        parent->subkeys.clear();
        parent->values.clear();
        r.hive->dirty = true;
        return 0;
    }
    const std::wstring last = path.back();
    path.pop_back();
    parent = Descend(parent, path, false);
    if (parent == nullptr) return static_cast<std::int32_t>(kErrorFileNotFound);
    auto it = parent->subkeys.find(last);
    if (it == parent->subkeys.end()) return static_cast<std::int32_t>(kErrorFileNotFound);
    if (!AccessAllowed(*it->second, kDelete | kKeyEnumerateSubKeys | kKeyQueryValue))
        return static_cast<std::int32_t>(kErrorAccessDenied);
    parent->subkeys.erase(it);
    r.hive->dirty = true;
    return 0;
}

std::int32_t RegGetKeySecurity(HKey handle, std::uint32_t information, DescriptorPtr descriptor, std::uint32_t* bytes) {
    Key* key = nullptr;
    if (const std::int32_t code = WithKey(handle, kReadControl, &key)) return code;
    if (bytes == nullptr) return static_cast<std::int32_t>(kErrorInvalidParameter);
    // A self-relative descriptor: the 20-byte header, then the list.
    const bool withDacl = (information & kDaclSecurityInformation) && key->dacl;
    const std::uint32_t needed = 20 + (withDacl ? static_cast<std::uint32_t>(key->dacl->size()) : 0);
    if (descriptor == nullptr || *bytes < needed) {
        *bytes = needed;
        return static_cast<std::int32_t>(kErrorInsufficientBuffer);
    }
    auto* out = static_cast<std::uint8_t*>(descriptor);
    std::memset(out, 0, 20);
    out[0] = 1;
    std::uint16_t control = 0x8000;
    if (information & kDaclSecurityInformation) control |= 0x0004;
    if (withDacl) {
        const std::uint32_t offset = 20;
        std::memcpy(out + 16, &offset, 4);
        std::memcpy(out + 20, key->dacl->data(), key->dacl->size());
    }
    std::memcpy(out + 2, &control, 2);
    *bytes = needed;
    return 0;
}

std::int32_t RegSetKeySecurity(HKey handle, std::uint32_t information, DescriptorPtr descriptor) {
    Key* key = nullptr;
    Resolved r;
    if (const std::int32_t code = WithKey(handle, kWriteDac, &key, &r)) return code;
    if (!(information & kDaclSecurityInformation)) return 0;
    bool present = false, defaulted = false;
    AclPtr acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) return kErrorInvalidSecurityDescriptor;
    if (!present || acl == nullptr) {
        key->dacl.reset();
    } else {
        AclSizeInformation info;
        if (!GetAclInformation(acl, info)) return static_cast<std::int32_t>(kErrorInvalidParameter);
        const auto* p = static_cast<const std::uint8_t*>(acl);
        std::vector<std::uint8_t> stored(p, p + info.aclBytesInUse);
        const auto size = static_cast<std::uint16_t>(stored.size());
        std::memcpy(stored.data() + 2, &size, 2);
        key->dacl = std::move(stored);
    }
    r.hive->dirty = true;
    return 0;
}

}  // namespace plat

namespace plat::sandbox {

// The hive reader on its own, for the fuzzing harness: a hive file's bytes
// read as a process reads them at its first use, then written out again.
std::string ReadHiveForFuzzing(const std::string& bytes) {
    Hive hive;
    hive.name = L"HKEY_LOCAL_MACHINE";
    hive.root.name = hive.name;
    hive.root.dacl = SddlToAcl(kDefaultSddl);
    Parse(hive, DecodeUtf16(bytes));
    std::wstring text;
    for (const auto& [name, child] : hive.root.subkeys) WriteKey(text, *child, hive.name + L"\\" + child->name);
    return EncodeUtf16(text);
}

}  // namespace plat::sandbox
