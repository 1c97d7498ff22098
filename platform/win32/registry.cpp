#include "platform/registry.h"
#include "platform/win32/win32.h"

#include <winternl.h>

#include <cstring>
#include <vector>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);
extern "C" NTSTATUS NTAPI NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG index,
                                      PUNICODE_STRING keyClass, ULONG options, PULONG disposition);
extern "C" NTSTATUS NTAPI NtOpenKeyEx(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG options);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information, ULONG length,
                                     PULONG resultLength);
extern "C" NTSTATUS NTAPI NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                                        PVOID data, ULONG dataSize);

namespace plat {

const HKey kHkeyCurrentUser = reinterpret_cast<HKey>(HKEY_CURRENT_USER);
const HKey kHkeyLocalMachine = reinterpret_cast<HKey>(HKEY_LOCAL_MACHINE);

namespace {
HKEY H(HKey key) { return reinterpret_cast<HKEY>(key); }
}  // namespace

namespace {

bool IsPredefined(HKey key) { return key == kHkeyCurrentUser || key == kHkeyLocalMachine; }

}  // namespace

std::int32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, std::uint32_t options, std::uint32_t samDesired,
                          HKey* result) {
    // The backup and restore option is the native open's (RegOpenChild).
    if (options & REG_OPTION_BACKUP_RESTORE) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    const LONG code = ::RegOpenKeyExW(H(root), subKey, options, samDesired, &key);
    if (code == ERROR_SUCCESS) *result = reinterpret_cast<HKey>(key);
    return code;
}

std::int32_t RegCreateKeyEx(HKey root, const wchar_t* subKey, std::uint32_t samDesired, HKey* result) {
    HKEY key = nullptr;
    const LONG code = ::RegCreateKeyExW(H(root), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, samDesired, nullptr,
                                        &key, nullptr);
    if (code == ERROR_SUCCESS) *result = reinterpret_cast<HKey>(key);
    return code;
}

namespace {

// A counted name as the native calls take it; false when it is too long for one.
// One name: a backslash would make the kernel walk a path, links on it included.
bool Counted(std::wstring_view text, UNICODE_STRING& name) {
    if (text.size() > 0x7FFF || text.find(L'\\') != std::wstring_view::npos) return false;
    name.Buffer = const_cast<wchar_t*>(text.data());
    name.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    return true;
}

std::int32_t DosCode(NTSTATUS status) {
    return status == 0 ? ERROR_SUCCESS : static_cast<std::int32_t>(::RtlNtStatusToDosError(status));
}

// The attributes that name one counted name below a real key, as itself.
struct ChildName {
    UNICODE_STRING name {};
    OBJECT_ATTRIBUTES attributes {};
    std::int32_t code = ERROR_SUCCESS;
    ChildName(HKey parent, std::wstring_view childName) {
        if (IsPredefined(parent) || parent == nullptr) code = ERROR_INVALID_HANDLE;
        else if (!Counted(childName, name)) code = ERROR_INVALID_PARAMETER;
        else InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_OPENLINK, H(parent), nullptr);
    }
};

}  // namespace

std::int32_t RegOpenChild(HKey parent, std::wstring_view childName, std::uint32_t options, std::uint32_t samDesired,
                          HKey* result) {
    ChildName child(parent, childName);
    if (child.code != ERROR_SUCCESS) return child.code;
    OBJECT_ATTRIBUTES& attributes = child.attributes;
    HANDLE key = nullptr;
    // As itself twice over: OBJ_OPENLINK in the attributes, and the open
    // option ZwOpenKeyEx documents for a link.
    const NTSTATUS status = ::NtOpenKeyEx(&key, samDesired, &attributes,
                                          (options & REG_OPTION_BACKUP_RESTORE) | REG_OPTION_OPEN_LINK);
    if (status == 0) *result = reinterpret_cast<HKey>(key);
    return DosCode(status);
}

std::int32_t RegCreateChild(HKey parent, std::wstring_view childName, std::uint32_t samDesired, HKey* result,
                            bool* created) {
    ChildName child(parent, childName);
    if (child.code != ERROR_SUCCESS) return child.code;
    OBJECT_ATTRIBUTES& attributes = child.attributes;
    HANDLE key = nullptr;
    ULONG disposition = 0;
    const NTSTATUS status =
        ::NtCreateKey(&key, samDesired, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
    if (status == 0) {
        *result = reinterpret_cast<HKey>(key);
        if (created) *created = disposition == REG_CREATED_NEW_KEY;
    }
    return DosCode(status);
}

std::int32_t RegQueryKeyName(HKey key, std::wstring& fullName) {
    constexpr int kKeyNameInformation = 3;
    constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005), kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
    // Most names fit the first buffer; a longer one is read again at the
    // length the kernel gives, up to what 512 levels of 255 characters need.
    constexpr ULONG kLongest = 4 + 2 * 512 * 256;
    std::vector<unsigned char> buffer(1024);
    for (;;) {
        ULONG length = 0;
        const NTSTATUS status = ::NtQueryKey(H(key), kKeyNameInformation, buffer.data(),
                                             static_cast<ULONG>(buffer.size()), &length);
        if ((status == kBufferOverflow || status == kBufferTooSmall) && length > buffer.size() && length <= kLongest) {
            buffer.resize(length);
            continue;
        }
        if (status != 0) return DosCode(status);
        break;
    }
    ULONG bytes = 0;
    std::memcpy(&bytes, buffer.data(), 4);
    if (bytes > buffer.size() - 4) return ERROR_INVALID_DATA;
    fullName.assign(reinterpret_cast<const wchar_t*>(buffer.data() + 4), bytes / sizeof(wchar_t));
    return ERROR_SUCCESS;
}

std::int32_t RegSetValueCounted(HKey key, std::wstring_view valueName, std::uint32_t type, const void* data,
                                std::uint32_t bytes) {
    UNICODE_STRING name;
    if (!Counted(valueName, name)) return ERROR_INVALID_PARAMETER;
    return DosCode(::NtSetValueKey(H(key), &name, 0, type, const_cast<void*>(data), bytes));
}

std::int32_t RegCloseKey(HKey key) { return ::RegCloseKey(H(key)); }

std::int32_t RegSetValueEx(HKey key, const wchar_t* name, std::uint32_t type, const void* data,
                           std::uint32_t bytes) {
    return ::RegSetValueExW(H(key), name, 0, type, static_cast<const BYTE*>(data), bytes);
}

std::int32_t RegQueryValueEx(HKey key, const wchar_t* name, std::uint32_t* type, void* data, std::uint32_t* bytes) {
    DWORD t = 0, size = bytes ? *bytes : 0;
    const LONG code = ::RegQueryValueExW(H(key), name, nullptr, &t, static_cast<BYTE*>(data), bytes ? &size : nullptr);
    if (type) *type = t;
    if (bytes) *bytes = size;
    return code;
}

std::int32_t RegEnumValue(HKey key, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                          std::uint32_t* type, void* data, std::uint32_t* bytes) {
    DWORD chars = *nameChars, t = 0, size = bytes ? *bytes : 0;
    const LONG code = ::RegEnumValueW(H(key), index, name, &chars, nullptr, &t, static_cast<BYTE*>(data),
                                      bytes ? &size : nullptr);
    *nameChars = chars;
    if (type) *type = t;
    if (bytes) *bytes = size;
    return code;
}

std::int32_t RegEnumKeyEx(HKey key, std::uint32_t index, wchar_t* name, std::uint32_t* nameChars) {
    DWORD chars = *nameChars;
    const LONG code = ::RegEnumKeyExW(H(key), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    *nameChars = chars;
    return code;
}

std::int32_t RegEnumKey(HKey key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) {
    return ::RegEnumKeyW(H(key), index, name, nameChars);
}

std::int32_t RegQueryInfoKey(HKey key, std::uint32_t* subKeys, std::uint32_t* maxSubKeyLength,
                             std::uint32_t* values, std::uint32_t* maxValueNameLength, std::uint32_t* maxValueBytes) {
    DWORD k = 0, kl = 0, v = 0, vl = 0, vb = 0;
    const LONG code = ::RegQueryInfoKeyW(H(key), nullptr, nullptr, nullptr, &k, &kl, nullptr, &v, &vl, &vb, nullptr,
                                         nullptr);
    if (subKeys) *subKeys = k;
    if (maxSubKeyLength) *maxSubKeyLength = kl;
    if (values) *values = v;
    if (maxValueNameLength) *maxValueNameLength = vl;
    if (maxValueBytes) *maxValueBytes = vb;
    return code;
}

std::int32_t RegDeleteTree(HKey root, const wchar_t* subKey) { return ::RegDeleteTreeW(H(root), subKey); }

std::int32_t RegDeleteOpenKey(HKey key) {
    // The one documented call that deletes a key through its own handle (the
    // kernel's ZwDeleteKey); RegDeleteKeyW would open the key again by name.
    return static_cast<std::int32_t>(::RtlNtStatusToDosError(::NtDeleteKey(H(key))));
}

std::int32_t RegGetKeySecurity(HKey key, std::uint32_t information, DescriptorPtr descriptor, std::uint32_t* bytes) {
    DWORD size = *bytes;
    const LONG code = ::RegGetKeySecurity(H(key), information, descriptor, &size);
    *bytes = size;
    return code;
}

std::int32_t RegSetKeySecurity(HKey key, std::uint32_t information, DescriptorPtr descriptor) {
    return ::RegSetKeySecurity(H(key), information, descriptor);
}

namespace {

constexpr const wchar_t* kBackupRestore[] = {SE_BACKUP_NAME, SE_RESTORE_NAME};

struct TokenHandle {
    HANDLE handle = nullptr;
    explicit TokenHandle(DWORD access) {
        if (!::OpenProcessToken(::GetCurrentProcess(), access, &handle)) handle = nullptr;
    }
    ~TokenHandle() {
        if (handle != nullptr) ::CloseHandle(handle);
    }
    TokenHandle(const TokenHandle&) = delete;
    TokenHandle& operator=(const TokenHandle&) = delete;
};

constexpr DWORD kPrivilegesBytes = sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES);

}  // namespace

BackupRestorePrivileges::BackupRestorePrivileges() {
    const TokenHandle token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    if (token.handle == nullptr) {
        error_ = ::GetLastError();
        return;
    }
    std::vector<unsigned char> wanted(kPrivilegesBytes);
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data());
    privileges->PrivilegeCount = 2;
    for (DWORD i = 0; i < 2; ++i) {
        if (!::LookupPrivilegeValueW(nullptr, kBackupRestore[i], &privileges->Privileges[i].Luid)) {
            error_ = ::GetLastError();
            return;
        }
        privileges->Privileges[i].Attributes = SE_PRIVILEGE_ENABLED;
    }
    previous_.reset(new unsigned char[kPrivilegesBytes]());
    DWORD previousBytes = 0;
    if (!::AdjustTokenPrivileges(token.handle, FALSE, privileges, kPrivilegesBytes,
                                 reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.get()), &previousBytes)) {
        error_ = ::GetLastError();
        previous_.reset();
        return;
    }
    // Success with ERROR_NOT_ALL_ASSIGNED: the token lacks one of them (not elevated).
    error_ = ::GetLastError();
    enabled_ = error_ == ERROR_SUCCESS;
}

BackupRestorePrivileges::~BackupRestorePrivileges() {
    if (!previous_) return;
    const TokenHandle token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    if (token.handle != nullptr)
        ::AdjustTokenPrivileges(token.handle, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.get()), 0, nullptr,
                                nullptr);
}

}  // namespace plat
