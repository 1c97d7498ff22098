// The Windows registry, in the terms of the Win32 registry functions. Results
// are Win32 codes (0 success, 2 absent, 5 access denied, 234 more data, 259
// no more items).
//
// String data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is passed in this
// platform's wide characters and counted in bytes of them, so that
// (length + 1) * sizeof(wchar_t) is a string's size on every build; the
// stand-in stores it as UTF-16LE, as Windows does.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/security.h"
#include "platform/types.h"

namespace plat {

struct RegKeyObject;
using HKey = RegKeyObject*;

// The predefined hive handles, with their Windows values.
extern const HKey kHkeyCurrentUser;   // 0x80000001
extern const HKey kHkeyLocalMachine;  // 0x80000002

constexpr std::uint32_t kRegNone = 0, kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4,
                        kRegLink = 6, kRegMultiSz = 7, kRegQword = 11;

constexpr std::uint32_t kKeyQueryValue = 0x1, kKeySetValue = 0x2, kKeyCreateSubKey = 0x4,
                        kKeyEnumerateSubKeys = 0x8, kKeyWow64_64Key = 0x100, kKeyWow64_32Key = 0x200,
                        kKeyWrite = 0x20006, kDelete = 0x10000, kReadControl = 0x20000, kWriteDac = 0x40000;
// kKeyRead (0x20019) and kKeyAllAccess (0xF003F) are in security.h.

// REG_OPTION_OPEN_LINK: a key that is a registry link is opened itself, not
// the key it leads to. Only the last name of the path is opened so: a link
// earlier on the path is followed.
constexpr std::uint32_t kRegOptionOpenLink = 0x8;
// REG_OPTION_BACKUP_RESTORE (ZwOpenKeyEx's open option, so RegOpenChild's
// alone): with the backup and restore privileges enabled
// (BackupRestorePrivileges), the key is opened for reading, writing and
// deletion whatever its access list says.
constexpr std::uint32_t kRegOptionBackupRestore = 0x4;
constexpr std::uint32_t kErrorBadKey = 1010;
// A registry link keeps its target, as the kernel names it
// ("\Registry\Machine\SOFTWARE\..."), in this REG_LINK value.
constexpr const wchar_t* kSymbolicLinkValueName = L"SymbolicLinkValue";

std::int32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, std::uint32_t options, std::uint32_t samDesired,
                          HKey* result);
// No class, non-volatile, default security; missing keys on the path are created.
std::int32_t RegCreateKeyEx(HKey root, const wchar_t* subKey, std::uint32_t samDesired, HKey* result);
std::int32_t RegCloseKey(HKey key);

std::int32_t RegSetValueEx(HKey key, const wchar_t* name, std::uint32_t type, const void* data,
                           std::uint32_t bytes);
std::int32_t RegQueryValueEx(HKey key, const wchar_t* name, std::uint32_t* type, void* data, std::uint32_t* bytes);
// nameChars: in, the buffer's size; out, the name's length without NUL.
std::int32_t RegEnumValue(HKey key, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                          std::uint32_t* type, void* data, std::uint32_t* bytes);
std::int32_t RegEnumKeyEx(HKey key, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars);
std::int32_t RegEnumKey(HKey key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars);
// Longest subkey and value names in characters (without NUL), longest data in bytes.
std::int32_t RegQueryInfoKey(HKey key, std::uint32_t* subKeys, std::uint32_t* maxSubKeyLength,
                             std::uint32_t* values, std::uint32_t* maxValueNameLength,
                             std::uint32_t* maxValueBytes);
std::int32_t RegDeleteTree(HKey root, const wchar_t* subKey);
// NtDeleteKey: deletes the key an open handle names (opened with kDelete),
// which must have no subkeys left (5 otherwise). The handle stays open, to be
// closed; the key it named is gone.
std::int32_t RegDeleteOpenKey(HKey key);

// Counted names. A name the registry hands back (RegEnumKeyEx, RegEnumValue)
// is counted, not terminated: it may hold U+0000, which no Win32 string call
// can pass on, and a name cut at its NUL names another key (the empty name is
// the parent itself). These take a name by its length, as the native calls'
// UNICODE_STRING does, relative to an open key (never a hive handle: 6). A
// name holding a backslash is no one name (87).
//
// Opens the one name `name` below `parent` as itself: a registry link there
// is opened, never followed (NtOpenKeyEx with OBJ_OPENLINK).
// kRegOptionBackupRestore in `options` opens it whatever its access list says
// while BackupRestorePrivileges are enabled.
std::int32_t RegOpenChild(HKey parent, std::wstring_view name, std::uint32_t options, std::uint32_t samDesired,
                          HKey* result);
// Creates the one name `name` below `parent` (NtCreateKey); `created` tells
// whether it is new. Whether an existing link there is followed is not
// documented for creation: callers open the name as itself first and check
// what they got (RegQueryKeyName).
std::int32_t RegCreateChild(HKey parent, std::wstring_view name, std::uint32_t samDesired, HKey* result,
                            bool* created);
// The key's full name as the kernel knows it, "\REGISTRY\MACHINE\..." or
// "\REGISTRY\USER\<sid>\..." (NtQueryKey, KeyNameInformation): what an
// open handle really names, whatever path or link led to it.
std::int32_t RegQueryKeyName(HKey key, std::wstring& name);
// RegSetValueEx with a counted value name (NtSetValueKey).
std::int32_t RegSetValueCounted(HKey key, std::wstring_view name, std::uint32_t type, const void* data,
                                std::uint32_t bytes);

// True when the open key is a registry link: it holds a REG_LINK
// SymbolicLinkValue. (The handle needs kKeyQueryValue.)
bool IsRegistryLink(HKey key);
// 0 when the open key `child` is the key `name` right below `parent`, by the
// names the kernel gives both (RegQueryKeyName); kErrorBadKey when it is any
// other key (the parent again, an ancestor, a link's target).
std::int32_t CheckChildIdentity(HKey parent, std::wstring_view name, HKey child);
// The same against a full name known already: 0 when `key` has it.
std::int32_t CheckKeyName(HKey key, const std::wstring& expected);
// Opens `name` below `parent` as itself, or creates it when it is absent; then
// refuses what it got unless it is that very key and no registry link
// (kErrorAccessDenied for a link, kErrorBadKey for another key), so that
// nothing is ever created or written through a link, whatever a creation
// does with one. The handle also carries kKeyQueryValue.
std::int32_t RegCreateChildItself(HKey parent, std::wstring_view name, std::uint32_t samDesired, HKey* result,
                                  bool* created = nullptr);

// The key's descriptor (self-relative) with the parts asked for; with too
// small a buffer, 122 and the size needed.
std::int32_t RegGetKeySecurity(HKey key, std::uint32_t information, DescriptorPtr descriptor,
                               std::uint32_t* bytes);
std::int32_t RegSetKeySecurity(HKey key, std::uint32_t information, DescriptorPtr descriptor);

// SeBackupPrivilege and SeRestorePrivilege enabled in the process's token
// for the owner's lifetime, then put back as they were. An elevated
// administrator holds both, disabled. `Enabled()` false with the cause in
// `Error()` when they could not be enabled.
class BackupRestorePrivileges {
public:
    BackupRestorePrivileges();
    ~BackupRestorePrivileges();
    BackupRestorePrivileges(const BackupRestorePrivileges&) = delete;
    BackupRestorePrivileges& operator=(const BackupRestorePrivileges&) = delete;
    [[nodiscard]] bool Enabled() const { return enabled_; }
    [[nodiscard]] std::uint32_t Error() const { return error_; }

private:
    bool enabled_ = false;
    std::uint32_t error_ = 0;
    std::unique_ptr<unsigned char[]> previous_;  // the token's state before, to put back
};

// Owns a key that was opened or created, and closes it when it goes (never a
// predefined hive handle).
struct KeyCloser {
    void operator()(HKey key) const { RegCloseKey(key); }
};
using OwnedKey = std::unique_ptr<RegKeyObject, KeyCloser>;

}  // namespace plat
