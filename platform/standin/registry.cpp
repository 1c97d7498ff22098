// The stand-in registry: both hives of the sandbox's machine, each kept in a
// file "registry/<hive>.reg" in the format of `reg export` (see "Hive files"
// below), which `reg import` reads back on Windows. Each key's access list
// sits on a comment line under the key's header, in SDDL.
//
// A process loads both hives at its first use of either, holding a lock on
// each until it exits, and then writes them back atomically (a temporary file
// renamed over the old one): two processes take turns, and one that crashes
// leaves the hives as it found them. A hive that exists but cannot be read or
// parsed is never replaced: the process stops instead.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/standin/sandbox.h"
#include "platform/text.h"

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
    std::vector<Key*> fileOrder;  // the subkeys in the order the hive file lists them
    std::optional<std::vector<std::uint8_t>> dacl;  // absent: no list, everyone may do everything
    bool aclStated = false;        // the file gives the list on a ";sddl:" line
    std::wstring sddl;             // that line as the file wrote it; empty once the list changed
    bool listed = false;           // the file has a header of its own for the key
    std::vector<std::wstring> comments;  // other comment lines of the key's block
};

// A fresh key's list: the system and administrators in full, users may read.
const wchar_t* const kDefaultSddl = L"D:(A;;0xf003f;;;S-1-5-18)(A;;0xf003f;;;S-1-5-32-544)(A;;0x20019;;;S-1-5-32-545)";

// REG_LINK holds UTF-16 text too: a link's target.
bool IsStringType(std::uint32_t type) {
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz || type == kRegLink;
}

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

// ---- Keys -------------------------------------------------------------------------

// Windows refuses keys deeper than this below a hive's root.
constexpr std::size_t kMaxKeyDepth = 512;

Key* AddSubkey(Key& parent, const std::wstring& name, bool created) {
    auto child = std::make_unique<Key>();
    child->name = name;
    child->dacl = SddlToAcl(kDefaultSddl);
    // A key this process creates carries its list in the file; one that a
    // hive file only implies keeps the machine's default unwritten.
    child->listed = created;
    child->aclStated = created;
    Key* key = child.get();
    parent.subkeys.emplace(name, std::move(child));
    // A key read from the file keeps its place there (Wine and Windows sort
    // differently); a new one goes before the first sibling sorting after it.
    const auto at = !created ? parent.fileOrder.end()
                             : std::find_if(parent.fileOrder.begin(), parent.fileOrder.end(),
                                            [&](const Key* sibling) { return CaseLess()(name, sibling->name); });
    parent.fileOrder.insert(at, key);
    return key;
}

void RemoveSubkey(Key& parent, std::map<std::wstring, std::unique_ptr<Key>, CaseLess>::iterator it) {
    parent.fileOrder.erase(std::find(parent.fileOrder.begin(), parent.fileOrder.end(), it->second.get()));
    parent.subkeys.erase(it);
}

Key* Descend(Key* key, const std::vector<std::wstring>& path, bool create) {
    for (const std::wstring& part : path) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            key = AddSubkey(*key, part, false);
        } else {
            key = it->second.get();
        }
    }
    return key;
}

// The names of a path, counted: a name may hold U+0000 (a hive file keeps it
// as it is), and only the backslash separates names.
std::vector<std::wstring> SplitPath(std::wstring_view subKey) {
    std::vector<std::wstring> parts;
    std::wstring part;
    for (const wchar_t c : subKey) {
        if (c == L'\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::vector<std::wstring> SplitPath(const wchar_t* subKey) {
    return subKey == nullptr ? std::vector<std::wstring>{} : SplitPath(std::wstring_view(subKey));
}

// ---- Hive files ---------------------------------------------------------------------
//
// A hive file is what `reg export` writes: a version line, then one block per
// key (its "[path]" header, its values, a blank line), in UTF-16LE with a
// byte-order mark and CR LF line ends. Long binary data continues on indented
// lines after a trailing backslash. For hand edits UTF-8, with or without a
// byte-order mark, and LF line ends are read as well, and the file is written
// back in the encoding and line ends it had. Whatever the reader accepts it
// writes back unchanged; whatever it could not write back it refuses, so a
// hive is never silently cut down.

const wchar_t* const kVersionLine = L"Windows Registry Editor Version 5.00";

enum class Encoding { Utf16, Utf8Bom, Utf8 };

struct Hive {
    std::wstring name;
    std::string file;
    Key root;
    Encoding encoding = Encoding::Utf16;
    bool crlf = true;
    std::vector<std::wstring> preamble;  // comment lines before the first key
    bool loaded = false;
    bool dirty = false;
    int lockFd = -1;
};

bool IsHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }

// "name" or "data" in double quotes, with \\ and \" escapes; pos is at the
// opening quote and ends after the closing one. False when it is unterminated.
bool Unquote(const std::wstring& line, std::size_t& pos, std::wstring& text) {
    text.clear();
    for (++pos; pos < line.size(); ++pos) {
        if (line[pos] == L'"') {
            ++pos;
            return true;
        }
        if (line[pos] == L'\\' && pos + 1 < line.size()) ++pos;
        text += line[pos];
    }
    return false;
}

std::wstring Quote(const std::wstring& s) {
    std::wstring out = L"\"";
    for (wchar_t c : s) {
        if (c == L'\\' || c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

bool ParseHex(const std::wstring& text, std::vector<std::uint8_t>& out) {
    out.clear();
    if (text.empty()) return true;
    std::size_t pos = 0;
    for (;;) {
        if (pos + 2 > text.size() || !IsHexDigit(text[pos]) || !IsHexDigit(text[pos + 1])) return false;
        out.push_back(static_cast<std::uint8_t>(std::wcstoul(text.substr(pos, 2).c_str(), nullptr, 16)));
        pos += 2;
        if (pos == text.size()) return true;
        if (text[pos] != L',') return false;
        ++pos;
    }
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

std::size_t Utf16Units(const std::wstring& text, std::size_t from) {
    std::size_t units = 0;
    for (std::size_t i = from; i < text.size(); ++i) units += static_cast<std::uint32_t>(text[i]) > 0xFFFF ? 2 : 1;
    return units;
}

// One value's line(s), without the last line end. Binary data wraps as
// `reg export` wraps it: once a line passes 76 characters it ends with a
// backslash and continues on a line indented by two spaces.
std::wstring ValueLines(const Value& v, const std::wstring& eol) {
    std::wstring out = v.name.empty() ? std::wstring(L"@") : Quote(v.name);
    out += L"=";
    if (PlainString(v)) {
        const std::vector<std::uint8_t> wide = FromStored(v);
        return out + Quote(std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), wide.size() / sizeof(wchar_t) - 1));
    }
    if (v.type == kRegDword && v.data.size() == 4) {
        std::uint32_t d;
        std::memcpy(&d, v.data.data(), 4);
        wchar_t text[16];
        std::swprintf(text, 16, L"dword:%08x", d);
        return out + text;
    }
    wchar_t prefix[24];
    if (v.type == kRegBinary) std::swprintf(prefix, 24, L"hex:");
    else std::swprintf(prefix, 24, L"hex(%x):", v.type);
    out += prefix;
    std::size_t lineStart = 0;
    wchar_t byte[4];
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        std::swprintf(byte, 4, L"%02x", v.data[i]);
        out += byte;
        if (i + 1 == v.data.size()) break;
        out += L',';
        if (Utf16Units(out, lineStart) > 76) {
            out += L"\\" + eol;
            lineStart = out.size();
            out += L"  ";
        }
    }
    return out;
}

void WriteKey(std::wstring& out, const Key& key, const std::wstring& path, const std::wstring& eol) {
    if (key.listed || key.aclStated || !key.values.empty() || !key.comments.empty()) {
        out += L"[" + path + L"]" + eol;
        if (key.aclStated) out += L";sddl:" + (key.sddl.empty() ? AclToSddl(key.dacl) : key.sddl) + eol;
        for (const std::wstring& comment : key.comments) out += comment + eol;
        for (const Value& v : key.values) out += ValueLines(v, eol) + eol;
        out += eol;
    }
    for (const Key* child : key.fileOrder) WriteKey(out, *child, path + L"\\" + child->name, eol);
}

std::wstring HiveText(const Hive& hive) {
    const std::wstring eol = hive.crlf ? L"\r\n" : L"\n";
    std::wstring text = kVersionLine + eol + eol;
    for (const std::wstring& comment : hive.preamble) text += comment + eol;
    WriteKey(text, hive.root, hive.name, eol);
    return text;
}

// Reads one value line (with its continuation lines, which `next` hands out).
// False with the reason when the line is not one `reg export` could write.
template <typename NextLine>
bool ParseValue(const std::wstring& line, Value& v, NextLine next, std::string& why) {
    std::size_t pos = 0;
    if (line[0] == L'@') {
        pos = 1;
    } else if (!Unquote(line, pos, v.name)) {
        why = "the value's name has no closing quote";
        return false;
    }
    if (pos >= line.size() || line[pos] != L'=') {
        why = "no '=' after the value's name";
        return false;
    }
    std::wstring data = line.substr(pos + 1);
    if (!data.empty() && data[0] == L'"') {
        std::size_t p = 0;
        std::wstring s;
        if (!Unquote(data, p, s) || p != data.size()) {
            why = "the string does not end with its closing quote";
            return false;
        }
        s += L'\0';
        v.type = kRegSz;
        v.data = ToStored(kRegSz, s.data(), static_cast<std::uint32_t>(s.size() * sizeof(wchar_t)));
        return true;
    }
    if (data.rfind(L"dword:", 0) == 0) {
        const std::wstring digits = data.substr(6);
        if (digits.empty() || digits.size() > 8 || !std::all_of(digits.begin(), digits.end(), IsHexDigit)) {
            why = "a dword needs one to eight hexadecimal digits";
            return false;
        }
        const auto d = static_cast<std::uint32_t>(std::wcstoul(digits.c_str(), nullptr, 16));
        v.type = kRegDword;
        v.data.assign(reinterpret_cast<const std::uint8_t*>(&d), reinterpret_cast<const std::uint8_t*>(&d) + 4);
        return true;
    }
    std::size_t bytesAt = 0;
    if (data.rfind(L"hex:", 0) == 0) {
        v.type = kRegBinary;
        bytesAt = 4;
    } else if (data.rfind(L"hex(", 0) == 0) {
        const std::size_t close = data.find(L"):");
        const std::wstring type = close == std::wstring::npos ? L"" : data.substr(4, close - 4);
        if (type.empty() || type.size() > 8 || !std::all_of(type.begin(), type.end(), IsHexDigit)) {
            why = "hex(...) needs a hexadecimal type";
            return false;
        }
        v.type = static_cast<std::uint32_t>(std::wcstoul(type.c_str(), nullptr, 16));
        bytesAt = close + 2;
    } else {
        why = "the data is neither a string, a dword nor hex bytes";
        return false;
    }
    std::wstring bytes = data.substr(bytesAt);
    while (!bytes.empty() && bytes.back() == L'\\') {
        bytes.pop_back();
        const std::wstring* more = next();
        if (more == nullptr) {
            why = "the data continues past the end of the file";
            return false;
        }
        const std::size_t indent = more->find_first_not_of(L" \t");
        if (indent != std::wstring::npos) bytes += more->substr(indent);
    }
    if (!ParseHex(bytes, v.data)) {
        why = "the hex bytes are not two-digit numbers separated by commas";
        return false;
    }
    return true;
}

bool ParseHive(Hive& hive, const std::wstring& text, std::string& why) {
    std::vector<std::wstring> lines;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    hive.crlf = !lines.empty() && !lines[0].empty() && lines[0].back() == L'\r';
    for (std::wstring& line : lines)
        if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (lines.empty() || lines[0] != kVersionLine) {
        why = "line 1 is not \"Windows Registry Editor Version 5.00\"";
        return false;
    }
    Key* current = nullptr;
    std::size_t i = 1;
    auto fail = [&](const std::string& reason) {
        why = "line " + std::to_string(i + 1) + ": " + reason;
        return false;
    };
    for (; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        if (line.find_first_not_of(L" \t") == std::wstring::npos) continue;
        if (line[0] == L'[') {
            if (line.back() != L']' || line.size() < 3 || line[1] == L'-')
                return fail("a key's header is \"[path]\" and nothing else");
            const std::wstring path = line.substr(1, line.size() - 2);
            std::vector<std::wstring> parts = SplitPath(std::wstring_view(path));
            std::size_t separators = static_cast<std::size_t>(std::count(path.begin(), path.end(), L'\\'));
            if (parts.empty() || separators + 1 != parts.size()) return fail("a key's path has an empty name");
            if (!SameName(parts[0], hive.name)) return fail("the key belongs to another hive");
            parts.erase(parts.begin());
            if (parts.size() > kMaxKeyDepth) return fail("the key is more than 512 levels deep");
            current = Descend(&hive.root, parts, true);
            current->listed = true;
        } else if (line[0] == L';') {
            if (current != nullptr && line.rfind(L";sddl:", 0) == 0 && !current->aclStated) {
                current->dacl = SddlToAcl(line.substr(6));
                current->sddl = line.substr(6);
                current->aclStated = true;
            } else if (current != nullptr) {
                current->comments.push_back(line);
            } else {
                hive.preamble.push_back(line);
            }
        } else if (line[0] == L'"' || line[0] == L'@') {
            if (current == nullptr) return fail("a value before the first key");
            Value v;
            std::string reason;
            const std::size_t first = i;
            auto next = [&]() -> const std::wstring* { return ++i < lines.size() ? &lines[i] : nullptr; };
            if (!ParseValue(line, v, next, reason)) {
                why = "line " + std::to_string(first + 1) + ": " + reason;
                return false;
            }
            for (const Value& other : current->values)
                if (SameName(other.name, v.name)) return fail("the value \"" + WideToUtf8Bytes(v.name) + "\" is set twice");
            current->values.push_back(std::move(v));
        } else {
            return fail("neither a key, a value nor a comment");
        }
    }
    return true;
}

// The file's bytes as text, with the encoding they came in; false when they
// are in none that a hive file may have.
bool DecodeHive(const std::string& bytes, Hive& hive, std::wstring& text, std::string& why) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2) {
            why = "UTF-16LE text with an odd number of bytes";
            return false;
        }
        const Value v{L"", kRegSz, {bytes.begin() + 2, bytes.end()}};
        const std::vector<std::uint8_t> wide = FromStored(v);
        text.assign(reinterpret_cast<const wchar_t*>(wide.data()), wide.size() / sizeof(wchar_t));
        hive.encoding = Encoding::Utf16;
        return true;
    }
    const bool bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    const std::string utf8 = bom ? bytes.substr(3) : bytes;
    text = Utf8BytesToWide(utf8);
    if (WideToUtf8Bytes(text) != utf8) {
        why = "neither UTF-16LE with a byte-order mark nor valid UTF-8";
        return false;
    }
    hive.encoding = bom ? Encoding::Utf8Bom : Encoding::Utf8;
    return true;
}

std::string EncodeHive(const Hive& hive, const std::wstring& text) {
    if (hive.encoding != Encoding::Utf16)
        return (hive.encoding == Encoding::Utf8Bom ? "\xEF\xBB\xBF" : "") + WideToUtf8Bytes(text);
    const std::vector<std::uint8_t> stored =
        ToStored(kRegSz, text.data(), static_cast<std::uint32_t>(text.size() * sizeof(wchar_t)));
    return "\xFF\xFE" + std::string(stored.begin(), stored.end());
}

// What a fresh Windows machine already has below the speech stacks: one
// voice of the system's own in each.
const wchar_t* const kFreshLocalMachine =
    L"Windows Registry Editor Version 5.00\n"
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
    L"\"Vendor\"=\"Microsoft\"\n";
const wchar_t* const kFreshCurrentUser =
    L"Windows Registry Editor Version 5.00\n"
    L"[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Speech]\n";

std::string Reason(int error) {
    if (error == ELOOP) return "it is a symbolic link";
    return std::strerror(error);
}

void SayOnStandardError(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// How long a process waits for a hive another one holds: 60 seconds, or
// PENDREL_HIVE_WAIT_SECONDS. After 3 seconds it says that it waits.
std::chrono::seconds HiveWaitLimit() {
    if (const char* s = std::getenv("PENDREL_HIVE_WAIT_SECONDS"); s && *s) {
        char* end = nullptr;
        const long seconds = std::strtol(s, &end, 10);
        if (*end == 0 && seconds >= 0) return std::chrono::seconds(seconds);
    }
    return std::chrono::seconds(60);
}

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
        std::string problem;
        if (!Save(problem)) {
            SayOnStandardError(problem);
            std::_Exit(sandbox::kExitHiveNotSaved);
        }
    }

    Hive* HiveOf(HKey root) {
        Hive* hive = root == kHkeyLocalMachine ? &hives_[0] : root == kHkeyCurrentUser ? &hives_[1] : nullptr;
        if (hive != nullptr && !hive->loaded) {
            // Both hives at once, always in the same order: two processes can
            // never each hold the hive the other waits for.
            for (Hive& h : hives_) {
                std::string problem;
                if (!h.loaded && !Load(h, true, problem)) {
                    // Nothing of this run's registry work is saved.
                    SayOnStandardError(problem + " The run stopped; no registry change of it was saved.\n");
                    std::_Exit(sandbox::kExitHiveUnusable);
                }
            }
        }
        return hive;
    }

    bool Check(std::string& problem) {
        for (Hive& h : hives_) {
            if (h.loaded) continue;
            Hive scratch;
            scratch.name = h.name;
            scratch.file = h.file;
            if (!Load(scratch, false, problem)) return false;
        }
        return true;
    }

    bool Save(std::string& problem) {
        bool ok = true;
        for (Hive& hive : hives_) {
            std::string failure;
            if (hive.loaded && hive.dirty && !Write(hive, failure)) {
                problem += failure;
                ok = false;
            }
            hive.dirty = false;
            if (hive.lockFd >= 0) ::close(hive.lockFd);
            hive.lockFd = -1;
        }
        return ok;
    }

private:
    bool Lock(Hive& hive, std::string& problem) {
        const std::string lockPath = dir_ + hive.file + ".lock";
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            problem = "The registry hive " + dir_ + hive.file + " cannot be locked: " + lockPath + ": " + Reason(errno) + ".";
            return false;
        }
        const auto start = std::chrono::steady_clock::now();
        const std::chrono::seconds limit = HiveWaitLimit();
        bool said = false;
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                hive.lockFd = fd;
                return true;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                problem = "The registry hive " + dir_ + hive.file + " cannot be locked: " + Reason(errno) + ".";
                ::close(fd);
                return false;
            }
            const auto waited = std::chrono::steady_clock::now() - start;
            if (!said && (waited >= std::chrono::seconds(3) || waited >= limit)) {
                SayOnStandardError("Waiting for the registry hive " + dir_ + hive.file +
                                   ": another process is using it (waiting at most " + std::to_string(limit.count()) +
                                   " seconds).\n");
                said = true;
            }
            if (waited >= limit) {
                problem = "The registry hive " + dir_ + hive.file + " is still in use by another process after " +
                          std::to_string(limit.count()) + " seconds.";
                ::close(fd);
                return false;
            }
            ::usleep(50 * 1000);
        }
    }

    // Reads and parses the hive; a missing file stands for a new machine.
    bool Load(Hive& hive, bool lock, std::string& problem) {
        if (lock && !Lock(hive, problem)) return false;
        const std::string path = dir_ + hive.file;
        hive.root = Key{};
        hive.root.name = hive.name;
        hive.root.dacl = SddlToAcl(kDefaultSddl);
        std::string bytes, why;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            std::string ignored;
            ParseHive(hive, hive.name == L"HKEY_LOCAL_MACHINE" ? kFreshLocalMachine : kFreshCurrentUser, ignored);
            hive.encoding = Encoding::Utf16;
            hive.crlf = true;
            // Written only once the process changes it: a run that only
            // reads leaves a fresh machine without hive files, as it found it.
            hive.dirty = false;
            hive.loaded = lock;
            return true;
        }
        if (fd < 0) {
            why = Reason(errno);
        } else {
            struct stat st {};
            if (::fstat(fd, &st) != 0) why = Reason(errno);
            else if (!S_ISREG(st.st_mode)) why = "it is not a regular file";
            char chunk[65536];
            while (why.empty()) {
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) why = Reason(errno);
                if (n <= 0) break;
                bytes.append(chunk, static_cast<std::size_t>(n));
            }
            ::close(fd);
        }
        if (!why.empty()) {
            problem = "The registry hive " + path + " cannot be read: " + why + ".";
        } else {
            std::wstring text;
            if (!DecodeHive(bytes, hive, text, why) || !ParseHive(hive, text, why))
                problem = "The registry hive " + path + " cannot be parsed: " + why + ".";
        }
        if (!problem.empty()) {
            hive.root = Key{};
            if (hive.lockFd >= 0) ::close(hive.lockFd);
            hive.lockFd = -1;
            return false;
        }
        hive.loaded = lock;
        return true;
    }

    // Written to a temporary file beside the hive, then renamed over it: the
    // hive is either the old one or the new one, never half of each.
    bool Write(const Hive& hive, std::string& problem) {
        const std::string path = dir_ + hive.file;
        const std::string temporary = path + ".tmp";
        const std::string bytes = EncodeHive(hive, HiveText(hive));
        ::unlink(temporary.c_str());  // one a crash left behind; the hive's lock is ours
        int error = 0;
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = errno;
        } else {
            std::size_t done = 0;
            while (done < bytes.size() && error == 0) {
                const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) error = n < 0 ? errno : ENOSPC;
                else done += static_cast<std::size_t>(n);
            }
            if (error == 0 && ::fsync(fd) != 0) error = errno;
            if (::close(fd) != 0 && error == 0) error = errno;
            if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
            if (error != 0) ::unlink(temporary.c_str());
        }
        if (error == 0) return true;
        problem = "The registry hive " + path + " could not be saved: " + Reason(error) +
                  ". This run's changes to it are lost; the hive is as it was before the run.\n";
        return false;
    }

    std::string dir_;
    Hive hives_[2];
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

namespace sandbox {

bool CheckRegistry(std::string& problem) {
    if (TheRegistry().Check(problem)) return true;
    problem += " The run stopped before changing anything.\n";
    return false;
}

bool SaveRegistry(std::string& problem) { return TheRegistry().Save(problem); }

}  // namespace sandbox

namespace {
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

// The backup and restore privileges, while a BackupRestorePrivileges lives.
int backupRestoreEnabled = 0;

// A registry link: a key that holds a REG_LINK "SymbolicLinkValue". (Windows
// marks a link when it is created with REG_OPTION_CREATE_LINK and follows only
// such keys; the model calls every key with that value a link, which makes it
// no less strict.)
const Value* LinkValue(const Key& key) {
    for (const Value& v : key.values)
        if (v.type == kRegLink && SameName(v.name, kSymbolicLinkValueName)) return &v;
    return nullptr;
}

// Where a link leads: "\Registry\Machine\path" in the machine's hive,
// "\Registry\User\<sid>\path" in the user's. False for any other target.
bool LinkTarget(const Value& link, Hive*& hive, std::vector<std::wstring>& path) {
    std::wstring target;
    for (std::size_t i = 0; i + 1 < link.data.size(); i += 2)
        target += static_cast<wchar_t>(link.data[i] | (link.data[i + 1] << 8));
    std::vector<std::wstring> parts = SplitPath(std::wstring_view(target));
    if (parts.size() < 2 || !SameName(parts[0], L"Registry")) return false;
    std::size_t skip = 0;
    if (SameName(parts[1], L"Machine")) {
        hive = TheRegistry().HiveOf(kHkeyLocalMachine);
        skip = 2;
    } else if (SameName(parts[1], L"User") && parts.size() >= 3) {
        hive = TheRegistry().HiveOf(kHkeyCurrentUser);
        skip = 3;
    } else {
        return false;
    }
    path.assign(parts.begin() + static_cast<std::ptrdiff_t>(skip), parts.end());
    return true;
}

// How many links one open follows before it gives up, as the kernel does on a loop.
constexpr int kMostLinksFollowed = 63;
constexpr std::int32_t kErrorCantResolveFilename = 1921;

std::int32_t OpenParts(HKey root, std::vector<std::wstring> parts, std::uint32_t options, std::uint32_t sam,
                       HKey* result, bool create, bool* created = nullptr) {
    if (result == nullptr) return static_cast<std::int32_t>(kErrorInvalidParameter);
    Resolved r;
    if (!ResolveHandle(root, r)) return static_cast<std::int32_t>(kErrorInvalidHandle);
    Key* key = KeyOf(r);
    if (key == nullptr) return kErrorKeyDeleted;
    if (created) *created = false;
    int followed = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        auto it = key->subkeys.find(parts[i]);
        if (it == key->subkeys.end()) {
            if (!create) return static_cast<std::int32_t>(kErrorFileNotFound);
            if (!AccessAllowed(*key, kKeyCreateSubKey)) return static_cast<std::int32_t>(kErrorAccessDenied);
            if (r.path.size() >= kMaxKeyDepth) return static_cast<std::int32_t>(kErrorInvalidParameter);
            // A hive file keeps one key a line: a name that would break its line cannot be kept.
            if (parts[i].find_first_of(L"\r\n") != std::wstring::npos)
                return static_cast<std::int32_t>(kErrorInvalidParameter);
            key = AddSubkey(*key, parts[i], true);
            r.hive->dirty = true;
            if (created && i + 1 == parts.size()) *created = true;
        } else {
            key = it->second.get();
        }
        r.path.push_back(key->name);
        // A link is followed unless it is the last name and the caller asked
        // for the link itself: the rest of the path goes on from its target.
        const Value* link = LinkValue(*key);
        if (link == nullptr || (i + 1 == parts.size() && (options & kRegOptionOpenLink))) continue;
        if (++followed > kMostLinksFollowed) return kErrorCantResolveFilename;
        std::vector<std::wstring> target;
        if (!LinkTarget(*link, r.hive, target)) return static_cast<std::int32_t>(kErrorFileNotFound);
        parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        parts.insert(parts.begin(), target.begin(), target.end());
        i = static_cast<std::size_t>(-1);
        r.path.clear();
        key = &r.hive->root;
    }
    std::uint32_t granted = MapGeneric(sam);
    if ((options & kRegOptionBackupRestore) && backupRestoreEnabled > 0) {
        // What the two privileges give, whatever the key's list says.
        granted = kKeyRead | kKeyWrite | kDelete;
    } else if (!AccessAllowed(*key, sam)) {
        return static_cast<std::int32_t>(kErrorAccessDenied);
    }
    *result = new RegKeyObject{r.hive, r.path, granted};
    return 0;
}

std::int32_t Open(HKey root, const wchar_t* subKey, std::uint32_t options, std::uint32_t sam, HKey* result,
                  bool create) {
    if (subKey != nullptr && subKey[0] == L'\\') return kErrorBadPathname;
    return OpenParts(root, SplitPath(subKey), options, sam, result, create);
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

std::int32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, std::uint32_t options, std::uint32_t samDesired,
                          HKey* result) {
    // The backup and restore option is the native open's (RegOpenChild), as on Windows.
    if (options & kRegOptionBackupRestore) return static_cast<std::int32_t>(kErrorInvalidParameter);
    return Open(root, subKey, options, samDesired, result, false);
}

std::int32_t RegCreateKeyEx(HKey root, const wchar_t* subKey, std::uint32_t samDesired, HKey* result) {
    return Open(root, subKey, 0, samDesired, result, true);
}


std::int32_t RegOpenChild(HKey parent, std::wstring_view name, std::uint32_t options, std::uint32_t samDesired,
                          HKey* result) {
    if (parent == nullptr || IsPredefined(parent)) return static_cast<std::int32_t>(kErrorInvalidHandle);
    if (name.find(L'\\') != std::wstring_view::npos) return static_cast<std::int32_t>(kErrorInvalidParameter);
    // An empty name is the parent itself, as the kernel opens it.
    std::vector<std::wstring> parts;
    if (!name.empty()) parts.emplace_back(name);
    return OpenParts(parent, parts, options | kRegOptionOpenLink, samDesired, result, false);
}

std::int32_t RegCreateChild(HKey parent, std::wstring_view name, std::uint32_t samDesired, HKey* result,
                            bool* created) {
    if (parent == nullptr || IsPredefined(parent)) return static_cast<std::int32_t>(kErrorInvalidHandle);
    if (name.find(L'\\') != std::wstring_view::npos) return static_cast<std::int32_t>(kErrorInvalidParameter);
    std::vector<std::wstring> parts;
    if (!name.empty()) parts.emplace_back(name);
    return OpenParts(parent, parts, kRegOptionOpenLink, samDesired, result, true, created);
}

std::int32_t RegQueryKeyName(HKey handle, std::wstring& name) {
    Resolved r;
    if (handle == nullptr || IsPredefined(handle) || !ResolveHandle(handle, r))
        return static_cast<std::int32_t>(kErrorInvalidHandle);
    if (KeyOf(r) == nullptr) return kErrorKeyDeleted;
    // The sandbox's one user, under the SID a first local account gets.
    name = r.hive == TheRegistry().HiveOf(kHkeyLocalMachine) ? L"\\REGISTRY\\MACHINE"
                                                              : L"\\REGISTRY\\USER\\S-1-5-21-1000-1000-1000-1001";
    for (const std::wstring& part : r.path) name += L"\\" + part;
    return 0;
}

// The process runs elevated, so it holds both privileges and can always enable them.
BackupRestorePrivileges::BackupRestorePrivileges() : enabled_(true) { ++backupRestoreEnabled; }
BackupRestorePrivileges::~BackupRestorePrivileges() { --backupRestoreEnabled; }

std::int32_t RegCloseKey(HKey key) {
    if (key == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
    if (!IsPredefined(key)) delete key;
    return 0;
}

std::int32_t RegSetValueEx(HKey handle, const wchar_t* name, std::uint32_t type, const void* data,
                           std::uint32_t bytes) {
    return RegSetValueCounted(handle, name ? std::wstring_view(name) : std::wstring_view(), type, data, bytes);
}

std::int32_t RegSetValueCounted(HKey handle, std::wstring_view name, std::uint32_t type, const void* data,
                                std::uint32_t bytes) {
    Key* key = nullptr;
    Resolved r;
    if (const std::int32_t code = WithKey(handle, kKeySetValue, &key, &r)) return code;
    if (data == nullptr && bytes != 0) return static_cast<std::int32_t>(kErrorInvalidParameter);
    const std::wstring valueName(name);
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
        parent->fileOrder.clear();
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
    RemoveSubkey(*parent, it);
    r.hive->dirty = true;
    return 0;
}

std::int32_t RegDeleteOpenKey(HKey handle) {
    Key* key = nullptr;
    Resolved r;
    if (IsPredefined(handle)) return static_cast<std::int32_t>(kErrorInvalidHandle);
    if (const std::int32_t code = WithKey(handle, kDelete, &key, &r)) return code;
    // A hive's root cannot go (STATUS_CANNOT_DELETE), nor a key with subkeys.
    if (r.path.empty() || !key->subkeys.empty()) return static_cast<std::int32_t>(kErrorAccessDenied);
    Key* parent = Descend(&r.hive->root, std::vector<std::wstring>(r.path.begin(), r.path.end() - 1), false);
    if (parent == nullptr) return kErrorKeyDeleted;
    RemoveSubkey(*parent, parent->subkeys.find(r.path.back()));
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
    key->aclStated = true;
    key->sddl.clear();
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
    std::wstring text;
    std::string why;
    if (!DecodeHive(bytes, hive, text, why) || !ParseHive(hive, text, why)) return "";
    return EncodeHive(hive, HiveText(hive));
}

}  // namespace plat::sandbox
