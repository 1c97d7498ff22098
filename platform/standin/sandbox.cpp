#include "platform/standin/sandbox.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace plat::sandbox {
namespace {

// Windows names hold no separator, wildcard, quote, pipe, colon or control character.
bool IsForbiddenInName(unsigned char byte) {
    return byte < 0x20 || byte == '\\' || byte == '/' || byte == ':' || byte == '*' || byte == '?' || byte == '"' ||
           byte == '<' || byte == '>' || byte == '|';
}

constexpr std::uint32_t kEscapeBase = 0xDC00;

// The length of the well-formed UTF-8 sequence at p, or 0 when there is none.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t available) {
    const unsigned char b = p[0];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) length = 2;
    else if (b >= 0xE0 && b <= 0xEF) length = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4) length = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (available < length || p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return length;
}


void MakeDirs(const std::string& path) {
    std::string prefix;
    std::stringstream parts(path);
    std::string part;
    // Characters appended one by one: GCC 12 at -O2 reports a false -Wrestrict
    // (its bug 105329) for a string assigned from or joined to a literal here.
    if (!path.empty() && path[0] == '/') prefix += '/';
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        prefix += part;
        ::mkdir(prefix.c_str(), 0755);
        prefix += '/';
    }
}

// The variables of a fresh Windows installation, for the machine's one user.
std::vector<std::pair<std::wstring, std::wstring>> DefaultEnvironment() {
    const std::wstring profile = L"C:\\Users\\" + UserName();
    return {
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"APPDATA", profile + L"\\AppData\\Roaming"},
        {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
        {L"CommonProgramFiles(x86)", L"C:\\Program Files (x86)\\Common Files"},
        {L"CommonProgramW6432", L"C:\\Program Files\\Common Files"},
        {L"COMPUTERNAME", L"PENDREL-PC"},
        {L"ComSpec", L"C:\\Windows\\system32\\cmd.exe"},
        {L"HOMEDRIVE", L"C:"},
        {L"HOMEPATH", L"\\Users\\" + UserName()},
        {L"LOCALAPPDATA", profile + L"\\AppData\\Local"},
        {L"OS", L"Windows_NT"},
        {L"ProgramData", L"C:\\ProgramData"},
        {L"ProgramFiles", L"C:\\Program Files"},
        {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
        {L"ProgramW6432", L"C:\\Program Files"},
        {L"PUBLIC", L"C:\\Users\\Public"},
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"TEMP", profile + L"\\AppData\\Local\\Temp"},
        {L"TMP", profile + L"\\AppData\\Local\\Temp"},
        {L"USERNAME", UserName()},
        {L"USERPROFILE", profile},
        {L"windir", L"C:\\Windows"},
    };
}

std::string ChooseRoot() {
    if (const char* s = std::getenv("PENDREL_SANDBOX"); s && *s) return s;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/pendrel/sandbox";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/pendrel/sandbox";
}

void CreateLayout(const std::string& root) {
    const std::string user = WideToUtf8Bytes(UserName());
    for (const char* dir : {"/drive_c/Program Files", "/drive_c/Program Files (x86)", "/drive_c/ProgramData",
                            "/drive_c/Windows/Temp", "/drive_c/Users/Public", "/registry"}) {
        MakeDirs(root + dir);
    }
    MakeDirs(root + "/drive_c/Users/" + user + "/AppData/Local/Temp");
    MakeDirs(root + "/drive_c/Users/" + user + "/AppData/Roaming");
    const std::string envFile = root + "/environment";
    struct stat st {};
    if (::stat(envFile.c_str(), &st) != 0) {
        std::ofstream out(envFile + ".new", std::ios::binary);
        for (const auto& [name, value] : DefaultEnvironment()) out << WideToUtf8Bytes(name) << '=' << WideToUtf8Bytes(value) << '\n';
        out.close();
        std::rename((envFile + ".new").c_str(), envFile.c_str());
    }
}

bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
}

}  // namespace

const std::wstring& UserName() {
    static const std::wstring name = L"User";
    return name;
}

const std::string& Root() {
    static const std::string root = [] {
        std::string r = ChooseRoot();
        while (r.size() > 1 && r.back() == '/') r.pop_back();
        CreateLayout(r);
        return r;
    }();
    return root;
}

std::vector<std::pair<std::wstring, std::wstring>>& Environment() {
    static std::vector<std::pair<std::wstring, std::wstring>> vars = [] {
        std::vector<std::pair<std::wstring, std::wstring>> v;
        std::ifstream in(Root() + "/environment", std::ios::binary);
        std::string line;
        bool first = true;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            // An editor may have saved the file with a byte-order mark.
            if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
            first = false;
            // Names may begin with '=' on Windows (the per-drive folders); the
            // separator is the first '=' after the first character.
            const auto eq = line.find('=', 1);
            if (line.empty() || eq == std::string::npos) continue;
            v.emplace_back(Utf8BytesToWide(line.substr(0, eq)), Utf8BytesToWide(line.substr(eq + 1)));
        }
        return v;
    }();
    return vars;
}

const std::wstring* FindVariable(const std::wstring& name) {
    for (const auto& [n, value] : Environment())
        if (EqualsIgnoreCase(n, name)) return &value;
    return nullptr;
}

namespace {
// Host bytes as wide text, escaping the bytes that are not UTF-8 and, with
// `names`, those a Windows name cannot hold.
std::wstring FromHost(const std::string& hostName, bool names) {
    std::wstring name;
    const auto* p = reinterpret_cast<const unsigned char*>(hostName.data());
    const std::size_t n = hostName.size();
    for (std::size_t i = 0; i < n;) {
        const std::size_t length = Utf8SequenceLength(p + i, n - i);
        if (length == 0 || (names && length == 1 && IsForbiddenInName(p[i]))) {
            name += static_cast<wchar_t>(kEscapeBase + p[i]);
            ++i;
        } else {
            name += Utf8BytesToWide(hostName.data() + i, length);
            i += length;
        }
    }
    return name;
}
}  // namespace

std::wstring NameFromHost(const std::string& hostName) { return FromHost(hostName, true); }

std::wstring TextFromHost(const std::string& hostText) { return FromHost(hostText, false); }

std::string NameToHost(const std::wstring& windowsName) {
    std::string host;
    std::size_t run = 0;  // start of the characters not yet converted
    for (std::size_t i = 0; i < windowsName.size(); ++i) {
        const auto c = static_cast<std::uint32_t>(windowsName[i]);
        const bool afterHighSurrogate = i > 0 && windowsName[i - 1] >= 0xD800 && windowsName[i - 1] <= 0xDBFF;
        if (c < kEscapeBase || c > kEscapeBase + 0xFF || afterHighSurrogate) continue;
        const auto byte = static_cast<unsigned char>(c - kEscapeBase);
        if (byte < 0x80 && !IsForbiddenInName(byte)) continue;  // never an escape: stays U+FFFD below
        host += WideToUtf8Bytes(windowsName.data() + run, i - run);
        host += static_cast<char>(byte);
        run = i + 1;
    }
    host += WideToUtf8Bytes(windowsName.data() + run, windowsName.size() - run);
    return host;
}

std::string ToHostPath(const std::wstring& windowsPath) {
    std::wstring rest = windowsPath;
    std::string host;  // the root the names are appended to; empty for a relative path
    bool rooted = true;
    if (!rest.empty() && rest[0] == L'/') {
        rest.erase(0, 1);  // a host path: the names follow the host's root
    } else if (rest.size() >= 2 && rest[1] == L':' && std::iswalpha(rest[0])) {
        host = Root() + "/drive_" + static_cast<char>(std::towlower(rest[0]));
        rest.erase(0, 2);
    } else if (!rest.empty() && rest[0] == L'\\') {
        host = Root() + "/drive_c";  // the current drive is C:
    } else {
        rooted = false;
    }
    std::vector<std::wstring> parts;
    std::wstring part;
    auto flush = [&] {
        if (part == L"..") {
            if (!parts.empty() && parts.back() != L"..") parts.pop_back();
            else if (!rooted) parts.push_back(part);  // above the current folder, as Windows resolves it
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (wchar_t c : rest) {
        if (c == L'\\' || c == L'/') flush();
        else part += c;
    }
    flush();
    if (!rooted && parts.empty()) return ".";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 || rooted) host += '/';
        host += NameToHost(parts[i]);
    }
    return host.empty() ? "/" : host;
}

}  // namespace plat::sandbox
