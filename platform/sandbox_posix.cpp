#include "platform/sandbox_posix.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace plat::sandbox {
namespace {


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
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
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

std::string ToHostPath(const std::wstring& windowsPath) {
    if (!windowsPath.empty() && windowsPath[0] == L'/') return WideToUtf8Bytes(windowsPath);
    std::wstring rest = windowsPath;
    std::string base;
    const bool drive = rest.size() >= 2 && rest[1] == L':' && std::iswalpha(rest[0]);
    if (drive) {
        base = Root() + "/drive_" + static_cast<char>(std::towlower(rest[0]));
        rest = rest.substr(2);
    } else if (!rest.empty() && (rest[0] == L'\\')) {
        base = Root() + "/drive_c";  // the current drive is C:
    }
    if (base.empty()) {
        std::string relative = WideToUtf8Bytes(rest);
        for (char& c : relative)
            if (c == '\\') c = '/';
        return relative;
    }
    std::vector<std::wstring> parts;
    std::wstring part;
    auto flush = [&] {
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
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
    std::string host = base;
    for (const auto& p : parts) {
        host += '/';  // not "/" + ...: the false -Wrestrict of GCC 12 (bug 105329)
        host += WideToUtf8Bytes(p);
    }
    return host;
}

}  // namespace plat::sandbox
