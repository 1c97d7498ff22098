#include "tokens/key_tree.h"

#include <vector>

#include "tokens/token_keys.h"

std::int32_t KeyTreeVisitor::OpenChild(plat::HKey parent, const std::wstring& name, const std::wstring&,
                                       plat::OwnedKey& child) {
    plat::HKey raw = nullptr;
    const std::int32_t code = plat::RegOpenChild(parent, name, 0, Access(), &raw);
    if (code == 0) child.reset(raw);
    return code;
}

std::int32_t ListSubkeys(plat::HKey key, std::vector<std::wstring>& names, std::size_t most) {
    names.clear();
    wchar_t name[256];  // a key name is at most 255 characters
    for (std::uint32_t index = 0;; ++index) {
        auto chars = static_cast<std::uint32_t>(std::size(name));
        const std::int32_t code = plat::RegEnumKeyEx(key, index, name, &chars);
        if (code == static_cast<std::int32_t>(plat::kErrorNoMoreItems)) return 0;
        if (code != 0) return code;
        if (names.size() == most) return static_cast<std::int32_t>(plat::kErrorBadKey);
        names.emplace_back(name, chars);  // counted: the name may hold U+0000
    }
}

namespace {

constexpr std::int32_t kBadKey = static_cast<std::int32_t>(plat::kErrorBadKey);

class Walk {
public:
    Walk(KeyTreeVisitor& visitor, const KeyTreeLimits& limits) : visitor_(visitor), limits_(limits) {}

    // False when the walk has to stop; end_ says why.
    bool Visit(const KeyAt& at, const std::wstring& fullName) {
        std::uint32_t values = 0;
        if (plat::RegQueryInfoKey(at.key, nullptr, nullptr, &values, nullptr, nullptr) == 0) values_ += values;
        if (values_ > limits_.values)
            return Stop(kBadKey, L"the tree holds more than " + std::to_wstring(limits_.values) + L" values");
        if (!visitor_.Enter(at)) return true;
        std::vector<std::wstring> names;
        if (const std::int32_t code = ListSubkeys(at.key, names, limits_.keys - keys_); code != 0) {
            if (code == kBadKey)
                return Stop(code, L"the tree holds more than " + std::to_wstring(limits_.keys) + L" keys");
            return Stop(code, L"the subkeys of " + at.where + L" could not be listed");
        }
        if (!names.empty() && at.depth + 1 > limits_.depth)
            return Stop(kBadKey, L"keys deeper than " + std::to_wstring(limits_.depth) + L" levels below " + at.where);
        keys_ += names.size();
        for (const std::wstring& name : names) {
            const std::wstring where = at.where + L"\\" + name;
            const std::wstring relative = at.relative.empty() ? name : at.relative + L"\\" + name;
            const std::wstring childFullName = fullName + L"\\" + name;
            plat::OwnedKey child;
            const std::int32_t opened = visitor_.OpenChild(at.key, name, where, child);
            if (opened == static_cast<std::int32_t>(plat::kErrorFileNotFound)) continue;  // gone meanwhile
            if (opened != 0) {
                visitor_.Skipped(where, opened, L"the key could not be opened");
                continue;
            }
            // What was opened must be the key listed: never the parent again
            // (a name cut short), an ancestor, or where a link leads.
            if (const std::int32_t identity = plat::CheckKeyName(child.get(), childFullName); identity != 0) {
                visitor_.Skipped(where, identity, L"the name opened another key than the one listed (its parent, "
                                                  L"an ancestor or a link's target), never entered");
                continue;
            }
            const KeyAt next{child.get(), where, relative, name, at.depth + 1};
            if (!visitor_.EntersLinks() && IsRegistryLink(child.get())) {
                visitor_.Link(next);
                continue;
            }
            if (!Visit(next, childFullName)) return false;
        }
        visitor_.Leave(at);
        return true;
    }

    bool Stop(std::int32_t code, const std::wstring& why) {
        end_.code = code;
        end_.why = why;
        return false;
    }

    KeyTreeEnd end_;

private:
    KeyTreeVisitor& visitor_;
    const KeyTreeLimits& limits_;
    std::size_t keys_ = 1, values_ = 0;
};

}  // namespace

KeyTreeEnd WalkKeyTree(plat::HKey top, const std::wstring& where, KeyTreeVisitor& visitor,
                       const KeyTreeLimits& limits) {
    Walk walk(visitor, limits);
    std::wstring fullName;
    if (const std::int32_t code = plat::RegQueryKeyName(top, fullName); code != 0) {
        walk.Stop(code, L"the key's own name could not be read: " + where);
        return walk.end_;
    }
    const std::wstring none;
    walk.Visit(KeyAt{top, where, none, none, 0}, fullName);
    return walk.end_;
}
