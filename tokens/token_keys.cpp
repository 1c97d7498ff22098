#include "tokens/token_keys.h"

#include <vector>

#include "platform/errors.h"
#include "support/causes.h"
#include "support/log.h"

namespace {

constexpr std::int32_t kAccessDenied = static_cast<std::int32_t>(plat::kErrorAccessDenied);

// The parent path and the last name of `path`; the parent is opened when
// there is one (the names of this program's own making, the ordinary way).
std::int32_t OpenParentOf(plat::HKey root, const std::wstring& path, std::uint32_t access, plat::OwnedKey& parent,
                          std::wstring& last, bool create) {
    const std::size_t split = path.rfind(L'\\');
    if (split == std::wstring::npos && root != plat::kHkeyLocalMachine && root != plat::kHkeyCurrentUser) {
        last = path;
        return 0;
    }
    const std::wstring parentPath = split == std::wstring::npos ? L"" : path.substr(0, split);
    last = split == std::wstring::npos ? path : path.substr(split + 1);
    if (parentPath.empty()) return static_cast<std::int32_t>(plat::kErrorInvalidParameter);  // a hive's own subkey
    plat::HKey raw = nullptr;
    const std::int32_t code = create ? plat::RegCreateKeyEx(root, parentPath.c_str(), access, &raw)
                                     : plat::RegOpenKeyEx(root, parentPath.c_str(), 0, access, &raw);
    if (code == 0) parent.reset(raw);
    return code;
}

constexpr std::uint32_t kParentAccess = plat::kKeyEnumerateSubKeys | plat::kKeyQueryValue;

}  // namespace

std::int32_t OpenKeyItself(plat::HKey parent, const std::wstring& name, std::uint32_t access, plat::OwnedKey& key,
                           std::uint32_t options) {
    plat::OwnedKey opened;
    std::wstring last;
    if (const std::int32_t code = OpenParentOf(parent, name, kParentAccess, opened, last, false); code != 0)
        return code;
    plat::HKey raw = nullptr;
    const std::int32_t code = plat::RegOpenChild(opened ? opened.get() : parent, last, options, access, &raw);
    if (code == 0) key.reset(raw);
    return code;
}

std::int32_t CreateKeyItself(plat::HKey parent, const std::wstring& name, std::uint32_t access, plat::OwnedKey& key,
                             bool* created) {
    plat::OwnedKey opened;
    std::wstring last;
    if (const std::int32_t code =
            OpenParentOf(parent, name, kParentAccess | plat::kKeyCreateSubKey, opened, last, true);
        code != 0)
        return code;
    plat::HKey raw = nullptr;
    const std::int32_t code = plat::RegCreateChildItself(opened ? opened.get() : parent, last, access, &raw, created);
    if (code == 0) key.reset(raw);
    return code;
}

std::int32_t OpenKeyForDeletion(plat::HKey parent, const std::wstring& name, const std::wstring& where,
                                plat::OwnedKey& key) {
    std::int32_t code = OpenKeyItself(parent, name, kDeleteTreeAccess, key);
    if (code != kAccessDenied) return code;
    // Anyone with full access on a token can add a key that denies
    // administrators everything; the privileges an elevated administrator
    // holds pass any list, and they are enabled for this one open only. The
    // key is still opened as itself: a link that denies administrators goes,
    // and what it leads to stays.
    const plat::BackupRestorePrivileges privileges;
    if (!privileges.Enabled()) {
        WriteLogLine(L"WARNING", L"Key denies administrators, and the backup and restore privileges could not be "
                                 L"enabled to delete it: " + where);
        LogCause(L"key " + where, plat::ErrorText(privileges.Error()));
        return code;
    }
    code = OpenKeyItself(parent, name, kDeleteTreeAccess, key, plat::kRegOptionBackupRestore);
    if (code != 0) return code;
    WriteLogLine(L"WARNING", L"Key denies administrators, opened with the backup and restore privileges to delete it: " +
                                 where);
    return 0;
}

namespace {

// Deletes every key it reaches once its children are gone. The first failure is kept, with the key it happened at.
class Deletion final : public KeyTreeVisitor {
public:
    [[nodiscard]] std::uint32_t Access() const override { return kDeleteTreeAccess; }
    std::int32_t OpenChild(plat::HKey parent, const std::wstring& name, const std::wstring& where,
                           plat::OwnedKey& child) override {
        return OpenKeyForDeletion(parent, name, where, child);
    }
    // A link goes as the key it is: any subkeys of its own first (made from
    // its own handle), then the link itself, never what it leads to.
    [[nodiscard]] bool EntersLinks() const override { return true; }
    void Leave(const KeyAt& at) override { Delete(at); }
    void Skipped(const std::wstring& where, std::int32_t code, const std::wstring& why) override {
        Failed(where, code, why);
    }

    std::int32_t code = 0;
    std::wstring where, why;
    bool topDeleted = false;

private:
    void Delete(const KeyAt& at) {
        const std::int32_t deleted = plat::RegDeleteOpenKey(at.key);
        if (deleted == 0 && at.depth == 0) topDeleted = true;
        if (deleted != 0) Failed(at.where, deleted, L"the key could not be deleted");
    }
    void Failed(const std::wstring& at, std::int32_t failure, const std::wstring& cause) {
        if (code != 0) return;
        code = failure;
        where = at;
        why = cause;
    }
};

// A user who keeps adding keys below a token while it is deleted makes each
// pass find more; this many passes, then the deletion gives up.
constexpr int kDeletionPasses = 3;

}  // namespace

std::int32_t DeleteOpenKeyTree(plat::HKey key, const std::wstring& where) {
    Deletion last;
    for (int pass = 0; pass < kDeletionPasses; ++pass) {
        Deletion deletion;
        const KeyTreeEnd end = WalkKeyTree(key, where, deletion);
        if (deletion.topDeleted) return 0;
        if (end.code != 0) {
            // A hostile tree, or one that cannot be listed: not tried again.
            WriteLogLine(L"ERROR", L"Key tree not deleted, " + end.why + L": " + where);
            return end.code;
        }
        last = deletion;
    }
    if (last.code != 0) {
        WriteLogLine(L"ERROR", L"Key tree not deleted after " + std::to_wstring(kDeletionPasses) + L" passes: " + where);
        LogCause(L"key " + last.where, last.why + L" (" + plat::ErrorText(static_cast<std::uint32_t>(last.code)) + L")");
    }
    return last.code != 0 ? last.code : static_cast<std::int32_t>(plat::kErrorAccessDenied);
}

std::int32_t DeleteKeyTree(plat::HKey hive, const std::wstring& path, const std::wstring& where) {
    plat::OwnedKey key;
    if (const std::int32_t code = OpenKeyForDeletion(hive, path, where, key); code != 0) return code;
    return DeleteOpenKeyTree(key.get(), where);
}
