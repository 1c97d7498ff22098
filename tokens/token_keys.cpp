#include "tokens/token_keys.h"

#include <vector>

#include "platform/errors.h"
#include "support/causes.h"
#include "support/log.h"

std::int32_t OpenKeyItself(plat::HKey parent, const std::wstring& name, std::uint32_t access, plat::OwnedKey& key) {
    plat::HKey raw = nullptr;
    const std::int32_t code = plat::RegOpenKeyEx(parent, name.c_str(), plat::kRegOptionOpenLink, access, &raw);
    if (code == 0) key.reset(raw);
    return code;
}

std::int32_t CreateKeyItself(plat::HKey parent, const std::wstring& name, std::uint32_t access, plat::OwnedKey& key) {
    plat::HKey raw = nullptr;
    const std::int32_t code = plat::RegCreateKeyItself(parent, name.c_str(), access, &raw);
    if (code == 0) key.reset(raw);
    return code;
}

bool IsRegistryLink(plat::HKey key) {
    std::uint32_t type = plat::kRegNone, bytes = 0;
    return plat::RegQueryValueEx(key, plat::kSymbolicLinkValueName, &type, nullptr, &bytes) == 0 &&
           type == plat::kRegLink;
}

std::int32_t OpenKeyForDeletion(plat::HKey parent, const std::wstring& name, const std::wstring& where,
                                plat::OwnedKey& key) {
    std::int32_t code = OpenKeyItself(parent, name, kDeleteTreeAccess, key);
    if (code != static_cast<std::int32_t>(plat::kErrorAccessDenied)) return code;
    // Anyone with full access on a token can add a key that denies
    // administrators everything; the privileges an elevated administrator
    // holds pass any list, and they are enabled for this one open only.
    const plat::BackupRestorePrivileges privileges;
    if (!privileges.Enabled()) {
        WriteLogLine(L"WARNING", L"Key denies administrators, and the backup and restore privileges could not be "
                                 L"enabled to delete it: " + where);
        LogCause(L"key " + where, plat::ErrorText(privileges.Error()));
        return code;
    }
    plat::HKey raw = nullptr;
    code = plat::RegOpenKeyEx(parent, name.c_str(), plat::kRegOptionOpenLink | plat::kRegOptionBackupRestore,
                              kDeleteTreeAccess, &raw);
    if (code != 0) return code;
    key.reset(raw);
    WriteLogLine(L"WARNING", L"Key denies administrators, opened with the backup and restore privileges to delete it: " +
                                 where);
    return 0;
}

namespace {

std::int32_t DeleteTreeBelow(plat::HKey key, const std::wstring& where, int depth) {
    if (depth > kDeepestKeyTree) return static_cast<std::int32_t>(plat::kErrorBadKey);
    std::vector<wchar_t> name(256);  // a key name is at most 255 characters
    for (;;) {
        auto chars = static_cast<std::uint32_t>(name.size());
        const std::int32_t listed = plat::RegEnumKeyEx(key, 0, name.data(), &chars);
        if (listed == static_cast<std::int32_t>(plat::kErrorNoMoreItems)) break;
        if (listed != 0) return listed;
        const std::wstring child(name.data(), chars);
        plat::OwnedKey owned;
        if (const std::int32_t code = OpenKeyForDeletion(key, child, where + L"\\" + child, owned); code != 0)
            return code;
        if (const std::int32_t code = DeleteTreeBelow(owned.get(), where + L"\\" + child, depth + 1); code != 0)
            return code;
    }
    return plat::RegDeleteOpenKey(key);
}

}  // namespace

std::int32_t DeleteOpenKeyTree(plat::HKey key, const std::wstring& where) { return DeleteTreeBelow(key, where, 0); }

std::int32_t DeleteKeyTree(plat::HKey hive, const std::wstring& path, const std::wstring& where) {
    plat::OwnedKey key;
    if (const std::int32_t code = OpenKeyForDeletion(hive, path, where, key); code != 0) return code;
    return DeleteOpenKeyTree(key.get(), where);
}
