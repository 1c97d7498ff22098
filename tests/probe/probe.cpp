// A look at the machine as the tests see it, in one format on both builds:
//   probe dump HKLM|HKCU PATH      a key and everything below it: values and access lists
//   probe voices CATEGORY-ID       the category's tokens as SAPI lists them, with each Attributes\Name
//   probe resources PROGRAM        a program's version strings, fixed file version and manifest
//   probe delete HKLM|HKCU PATH    removes a key and everything below it
//   probe acl HKLM|HKCU PATH MODE  rewrites a key's access list (a link's own, never its target's):
//                                  "drop-everyone" keeps every entry but everyone's, "everyone-inherit-only"
//                                  then adds everyone's full access for the subkeys only (CONTAINER_INHERIT |
//                                  INHERIT_ONLY), "deny-everyone" leaves one entry denying everyone everything
//   probe set HKLM|HKCU PATH NAME VALUE         a string value (VALUE "u16:" and hexadecimal UTF-16 units: any text)
//   probe image FILE               maps FILE as a running program's image until standard input ends
//   probe cwd FOLDER               keeps FOLDER as its current folder until standard input ends
//   probe hold|lock FILE           holds the file open as a running program does, or locks all of it,
//                                  until standard input ends
//   probe split-append FILE MS     until standard input ends, appends log-shaped lines ("split-N-" and
//                                  "end"), each in two writes MS milliseconds apart under the appenders' lock
//   probe link HKLM|HKCU PATH TARGET            a registry link at PATH to HKLM\TARGET
//   probe counted HKLM|HKCU PATH NAME [VALUE]   a key (or a string value) below PATH whose counted NAME
//                                  ("u16:" form) the Win32 string calls cannot spell, U+0000 included;
//                                  dump shows such names with each control character as <XXXX>
//   probe schedule PATH            schedules PATH for deletion at the next restart (MoveFileExW with
//                                  MOVEFILE_DELAY_UNTIL_REBOOT), as an earlier run or another program did
//   probe plant HKLM|HKCU PATH TARGET SECONDS   as a hostile user would, for that long: links to
//                                  HKLM\TARGET made again and again at PATH\Planted and PATH\Attributes\Planted
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/speech.h"
#include "platform/testing.h"
#include "platform/text.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

void Out(const std::wstring& line) { plat::ConsoleWrite(plat::ConsoleStream::Output, line + L"\n"); }

std::wstring Hex(const unsigned char* data, std::uint32_t bytes) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (std::uint32_t i = 0; i < bytes; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::wstring AccessList(plat::HKey key) {
    std::uint32_t size = 0;
    plat::RegGetKeySecurity(key, plat::kDaclSecurityInformation, nullptr, &size);
    std::vector<unsigned char> buffer(size + 1);
    if (plat::RegGetKeySecurity(key, plat::kDaclSecurityInformation, buffer.data(), &size) != 0) return L"?";
    bool present = false, defaulted = false;
    plat::AclPtr acl = nullptr;
    plat::GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted);
    if (!present || acl == nullptr) return L"none";
    std::wstring text;
    for (const plat::AceSummary& ace : plat::DescribeAcl(acl)) {
        wchar_t entry[64];
        std::swprintf(entry, 64, L"(%ls;%x;%x;", ace.type == plat::kAccessDeniedAceType ? L"D" : L"A", ace.flags, ace.mask);
        text += entry + ace.sid + L")";
    }
    return text;
}

// A name as the dump shows it: a control character, U+0000 included, as
// <XXXX> (its UTF-16 unit in hexadecimal), so that a counted name stays one line.
std::wstring Shown(const std::wstring& name) {
    std::wstring out;
    for (const wchar_t c : name) {
        if (static_cast<std::uint32_t>(c) < 0x20 || c == L'<') {
            wchar_t unit[8];
            std::swprintf(unit, 8, L"<%04x>", static_cast<unsigned>(c));
            out += unit;
        } else {
            out += c;
        }
    }
    return out;
}

// "u16:" and hexadecimal UTF-16 units: any text, a lone surrogate or a control character included.
std::wstring Units(std::wstring value) {
    if (value.compare(0, 4, L"u16:") != 0) return value;
    std::wstring units;
    for (std::size_t i = 4; i + 4 <= value.size(); i += 4)
        units += static_cast<wchar_t>(std::wcstoul(value.substr(i, 4).c_str(), nullptr, 16));
    return units;
}

// A registry link is shown as itself (its SymbolicLinkValue), never followed;
// every child is opened by its counted name from its parent's handle.
void DumpKey(plat::HKey key, const std::wstring& shown, int depth) {
    Out(L"key " + shown);
    Out(L"acl " + AccessList(key));
    std::uint32_t longestKey = 0, longestName = 0, longestData = 0;
    plat::RegQueryInfoKey(key, nullptr, &longestKey, nullptr, &longestName, &longestData);
    std::vector<wchar_t> name(longestName + 1);
    std::vector<unsigned char> data(longestData + 1);
    for (std::uint32_t i = 0;; ++i) {
        auto chars = static_cast<std::uint32_t>(name.size());
        auto bytes = static_cast<std::uint32_t>(data.size());
        std::uint32_t type = 0;
        if (plat::RegEnumValue(key, i, name.data(), &chars, &type, data.data(), &bytes) != 0) break;
        std::wstring text;
        if (type == plat::kRegSz && bytes >= sizeof(wchar_t))
            text = std::wstring(reinterpret_cast<const wchar_t*>(data.data()), bytes / sizeof(wchar_t) - 1);
        else
            text = Hex(data.data(), bytes);
        Out(L"value " + Shown(std::wstring(name.data(), chars)) + L"|" + std::to_wstring(type) + L"|" + text);
    }
    std::vector<std::wstring> children;
    std::vector<wchar_t> child(longestKey + 1);
    for (std::uint32_t i = 0;; ++i) {
        auto chars = static_cast<std::uint32_t>(child.size());
        if (plat::RegEnumKeyEx(key, i, child.data(), &chars) != 0) break;
        children.emplace_back(child.data(), chars);
    }
    if (depth >= 600) return;
    for (const std::wstring& c : children) {
        plat::HKey sub = nullptr;
        if (plat::RegOpenChild(key, c, 0, plat::kKeyRead, &sub) != 0) continue;
        DumpKey(sub, shown + L"\\" + Shown(c), depth + 1);
        plat::RegCloseKey(sub);
    }
}

void Dump(plat::HKey hive, const std::wstring& label, const std::wstring& path) {
    plat::HKey key = nullptr;
    if (plat::RegOpenKeyEx(hive, path.c_str(), plat::kRegOptionOpenLink, plat::kKeyRead, &key) != 0) return;
    DumpKey(key, label + L"\\" + path, 0);
    plat::RegCloseKey(key);
}

// A key (or, with a value, a value) of a counted name below HIVE\PATH, as
// the native calls let any user make one: the name may hold U+0000.
int Counted(plat::HKey hive, const wchar_t* path, const std::wstring& name, const wchar_t* value) {
    plat::HKey parent = nullptr, key = nullptr;
    if (plat::RegCreateKeyEx(hive, path, plat::kKeyAllAccess, &parent) != 0) return 3;
    std::int32_t code = 0;
    if (value == nullptr) {
        bool created = false;
        code = plat::RegCreateChild(parent, name, plat::kKeyAllAccess, &key, &created);
        if (code == 0) plat::RegCloseKey(key);
    } else {
        const std::wstring text = value;
        code = plat::RegSetValueCounted(parent, name, plat::kRegSz, text.c_str(),
                                        static_cast<std::uint32_t>((text.size() + 1) * sizeof(wchar_t)));
    }
    plat::RegCloseKey(parent);
    return code == 0 ? 0 : 3;
}

int Voices(const wchar_t* categoryId) {
    plat::CoInitialize();
    void* object = nullptr;
    if (plat::Failed(plat::CoCreateInstance(plat::CLSID_SpObjectTokenCategory, plat::kClsctxAll,
                                            plat::IID_ISpObjectTokenCategory, &object)))
        return 3;
    plat::ComPtr<plat::SpObjectTokenCategory> category(static_cast<plat::SpObjectTokenCategory*>(object));
    if (plat::Failed(category->SetId(categoryId, false))) return 4;
    std::vector<plat::ComPtr<plat::SpObjectToken>> tokens;
    category->EnumTokens(tokens);
    for (const auto& token : tokens) {
        wchar_t* id = nullptr;
        token->GetId(&id);
        std::wstring name = L"<none>";
        plat::ComPtr<plat::SpDataKey> attributes;
        if (plat::Succeeded(token->OpenKey(L"Attributes", attributes.put()))) {
            wchar_t* value = nullptr;
            if (plat::Succeeded(attributes->GetStringValue(L"Name", &value))) {
                name = value;
                plat::CoTaskMemFree(value);
            }
        }
        Out(L"token " + std::wstring(id ? id : L"") + L"|" + name);
        plat::CoTaskMemFree(id);
    }
    tokens.clear();  // released before COM goes
    category.reset();
    plat::CoUninitialize();
    return 0;
}

int Acl(plat::HKey hive, const wchar_t* path, const std::wstring& mode) {
    plat::HKey key = nullptr;
    if (plat::RegOpenKeyEx(hive, path, plat::kRegOptionOpenLink, plat::kReadControl | plat::kWriteDac, &key) != 0)
        return 3;
    std::uint32_t size = 0;
    plat::RegGetKeySecurity(key, plat::kDaclSecurityInformation, nullptr, &size);
    std::vector<unsigned char> old(size + 1);
    bool present = false, defaulted = false;
    plat::AclPtr oldAcl = nullptr;
    plat::AclSizeInformation info;
    if (plat::RegGetKeySecurity(key, plat::kDaclSecurityInformation, old.data(), &size) != 0 ||
        !plat::GetSecurityDescriptorDacl(old.data(), &present, &oldAcl, &defaulted) || !present ||
        !plat::GetAclInformation(oldAcl, info))
        return 4;
    const std::uint32_t bytes = info.aclBytesInUse + 64;
    std::vector<std::uint32_t> acl(bytes / 4 + 1);  // an access list is aligned on 32 bits
    plat::InitializeAcl(acl.data(), bytes, plat::kAclRevision);
    if (mode == L"drop-everyone" || mode == L"everyone-inherit-only") {
        const std::vector<plat::AceSummary> entries = plat::DescribeAcl(oldAcl);
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            void* ace = nullptr;
            if (entries[i].sid == L"S-1-1-0" || !plat::GetAce(oldAcl, i, &ace)) continue;
            const auto* header = static_cast<const unsigned char*>(ace);
            plat::AddAce(acl.data(), plat::kAclRevision, plat::kMaxDword, ace,
                         static_cast<std::uint32_t>(header[2] | (header[3] << 8)));
            ++kept;
        }
        if (mode == L"everyone-inherit-only") {
            plat::SidPtr everyone = nullptr;
            plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, plat::kSecurityWorldRid, &everyone);
            plat::AddAccessAllowedAce(acl.data(), plat::kAclRevision, plat::kKeyAllAccess, everyone);
            plat::FreeSid(everyone);
            void* added = nullptr;
            if (!plat::GetAce(acl.data(), kept, &added)) return 5;
            static_cast<unsigned char*>(added)[1] = 0x0A;  // CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE
        }
    } else if (mode == L"deny-everyone") {
        plat::SidPtr everyone = nullptr;
        plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, plat::kSecurityWorldRid, &everyone);
        plat::AddAccessAllowedAce(acl.data(), plat::kAclRevision, plat::kKeyAllAccess, everyone);
        reinterpret_cast<unsigned char*>(acl.data())[8] = plat::kAccessDeniedAceType;  // the first entry's type
        plat::FreeSid(everyone);
    } else {
        return 5;
    }
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    plat::InitializeSecurityDescriptor(descriptor, plat::kSecurityDescriptorRevision);
    plat::SetSecurityDescriptorDacl(descriptor, true, acl.data(), false);
    const std::int32_t code = plat::RegSetKeySecurity(key, plat::kDaclSecurityInformation, descriptor);
    plat::RegCloseKey(key);
    return code == 0 ? 0 : 6;
}

}  // namespace

extern "C" int wmain(int argc, wchar_t* argv[]) {
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"dump" && argc == 4) {
        const std::wstring hive = argv[2];
        Dump(hive == L"HKLM" ? plat::kHkeyLocalMachine : plat::kHkeyCurrentUser, hive, argv[3]);
        return 0;
    }
    if (verb == L"voices" && argc == 3) return Voices(argv[2]);
    if (verb == L"schedule" && argc == 3) return plat::ScheduleDeleteAtRestart(argv[2]) ? 0 : 3;
    if ((verb == L"delete" || verb == L"acl") && argc >= 4) {
        const plat::HKey hive = std::wstring(argv[2]) == L"HKLM" ? plat::kHkeyLocalMachine : plat::kHkeyCurrentUser;
        if (verb == L"acl" && argc == 5) return Acl(hive, argv[3], argv[4]);
        if (verb == L"delete" && argc == 4) return plat::RegDeleteTree(hive, argv[3]) == 0 ? 0 : 3;
    }
    if ((verb == L"set" || verb == L"set-then-crash") && argc == 6) {
        const std::wstring hive = argv[2];
        const std::wstring value = Units(argv[5]);
        plat::HKey key = nullptr;
        if (plat::RegCreateKeyEx(hive == L"HKLM" ? plat::kHkeyLocalMachine : plat::kHkeyCurrentUser, argv[3],
                                 plat::kKeyAllAccess, &key) != 0)
            return 3;
        plat::RegSetValueEx(key, argv[4], plat::kRegSz, value.c_str(),
                            static_cast<std::uint32_t>((value.size() + 1) * sizeof(wchar_t)));
        plat::RegCloseKey(key);
        if (verb == L"set-then-crash") std::abort();  // dies before anything is written back
        return 0;
    }
    if (verb == L"counted" && (argc == 5 || argc == 6)) {
        const plat::HKey hive = std::wstring(argv[2]) == L"HKCU" ? plat::kHkeyCurrentUser : plat::kHkeyLocalMachine;
        return Counted(hive, argv[3], Units(argv[4]), argc == 6 ? argv[5] : nullptr);
    }
    if (verb == L"link" && argc == 5)
        return plat::testing::CreateRegistryLink(argv[3], argv[4], std::wstring(argv[2]) == L"HKCU") ? 0 : 3;
    if (verb == L"plant" && argc == 6) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::wcstol(argv[5], nullptr, 10));
        const std::wstring at = argv[3];
        const plat::HKey hive = std::wstring(argv[2]) == L"HKCU" ? plat::kHkeyCurrentUser : plat::kHkeyLocalMachine;
        long made = 0;
        while (std::chrono::steady_clock::now() < end) {
            for (const wchar_t* parent : {L"", L"\\Attributes"}) {
                // Only inside keys that exist, as a user without the right to create tokens.
                plat::HKey key = nullptr;
                if (plat::RegOpenKeyEx(hive, (at + parent).c_str(), plat::kRegOptionOpenLink, plat::kKeyRead, &key) != 0)
                    continue;
                plat::RegCloseKey(key);
                made += plat::testing::CreateRegistryLink(at + parent + L"\\Planted", argv[4], hive == plat::kHkeyCurrentUser);
            }
        }
        Out(std::to_wstring(made));
        return 0;
    }
    if (verb == L"trust" && argc == 3) {
        std::string der;
        if (!plat::ReadWholeFile(argv[2], der)) return 3;
        return plat::testing::TrustRootCertificate(der) ? 0 : 4;
    }
    if (verb == L"untrust" && argc == 3) {
        std::string der;
        if (!plat::ReadWholeFile(argv[2], der)) return 3;
        return plat::testing::DistrustRootCertificate(der) ? 0 : 4;
    }
    if ((verb == L"hold" || verb == L"lock" || verb == L"image" || verb == L"cwd") && argc == 3) {
        // Holds the file until standard input ends: open as a running program holds its library, locked
        // whole, mapped as a running program's image, or (a folder) as this process's current folder.
        void* hold = verb == L"hold"    ? plat::testing::HoldFileOpen(argv[2])
                     : verb == L"lock"  ? plat::testing::LockWholeFile(argv[2])
                     : verb == L"image" ? plat::testing::HoldAsImage(argv[2])
                                        : nullptr;
        const bool held = verb == L"cwd" ? plat::testing::SetCurrentFolder(argv[2]) : hold != nullptr;
        Out(held ? L"held" : L"failed");
        while (std::fgetc(stdin) != EOF) {
        }
        if (verb == L"image") plat::testing::ReleaseImage(hold);
        else plat::testing::ReleaseHeldFile(hold);
        return held ? 0 : 3;
    }
    if (verb == L"split-append" && argc == 4) {
        // The lock is left free half as long again as it is held, so that
        // appenders waiting for it get it between two lines.
        const unsigned pause = static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10));
        std::atomic<bool> ended {false};
        std::thread reader([&ended] {
            while (std::fgetc(stdin) != EOF) {
            }
            ended = true;
        });
        bool ok = true;
        for (unsigned n = 0; ok && !ended; ++n) {
            ok = plat::testing::AppendInTwoWritesUnderLock(
                argv[2], "[2000-01-01 00:00:00] [INFO] split-" + std::to_string(n) + "-", "end\r\n", pause);
            if (n == 0) Out(ok ? L"held" : L"failed");
            std::this_thread::sleep_for(std::chrono::milliseconds(pause * 3 / 2));
        }
        reader.join();
        return ok ? 0 : 3;
    }
    if (verb == L"resources" && argc == 3) {
        plat::testing::ProgramResources found;
        if (!plat::testing::ReadProgramResources(argv[2], found)) return 3;
        for (const auto& [name, value] : found.strings) Out(L"string " + name + L"|" + value);
        Out(L"fixed " + found.fixedFileVersion);
        Out(L"manifest " + std::to_wstring(found.manifest.size()));
        Out(plat::Utf8BytesToWide(found.manifest));
        return 0;
    }
    Out(L"usage: probe dump HKLM|HKCU PATH | voices CATEGORY-ID | set[-then-crash] HKLM|HKCU PATH NAME VALUE |"
        L" delete HKLM|HKCU PATH | acl HKLM|HKCU PATH drop-everyone|everyone-inherit-only|deny-everyone |"
        L" hold|lock FILE |"
        L" split-append FILE MS |"
        L" link HKLM|HKCU PATH TARGET | plant HKLM|HKCU PATH TARGET SECONDS |"
        L" trust|untrust CERT.der | resources PROGRAM");
    return 2;
}
