#include "platform/registry.h"
#include "platform/win32.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace plat {

const HKey kHkeyCurrentUser = reinterpret_cast<HKey>(HKEY_CURRENT_USER);
const HKey kHkeyLocalMachine = reinterpret_cast<HKey>(HKEY_LOCAL_MACHINE);

namespace {
HKEY H(HKey key) { return reinterpret_cast<HKEY>(key); }
}  // namespace

std::int32_t RegOpenKeyEx(HKey root, const wchar_t* subKey, std::uint32_t options, std::uint32_t samDesired,
                          HKey* result) {
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

}  // namespace plat
