// The keys of a token as a local user may have left them. After the first
// installation everyone has full access to every token key, so any key below
// a token, or in a token's place, may be a registry link to a key of the
// machine, may shut administrators out, or may nest without end. Every run
// opens such keys through these functions: one name at a time, relative to
// the parent's handle, a link as itself (never what it leads to), and no
// deeper than the registry itself allows.
#pragma once
#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "tokens/key_tree.h"

// Opens the key `name` below `parent` as itself: a registry link there is
// opened, not followed. `name` is one counted name (it may hold U+0000), or a
// path of this program's own making whose last name is the hostile one: the
// names before it are opened the ordinary way, the last by its count.
std::int32_t OpenKeyItself(plat::HKey parent, const std::wstring& name, std::uint32_t access, plat::OwnedKey& key,
                           std::uint32_t options = 0);

// Creates the key `name` (as above) below `parent`, or opens it as itself
// when it exists; never through a link (plat::RegCreateChildItself).
std::int32_t CreateKeyItself(plat::HKey parent, const std::wstring& name, std::uint32_t access, plat::OwnedKey& key,
                             bool* created = nullptr);

// Whether an open key is a registry link: one test, the platform's.
using plat::IsRegistryLink;

// Deletes the key at `path` below `hive` and every key below it, each through
// a handle opened as itself from its parent's handle, so that a link goes and
// never what it leads to. A key whose access list shuts administrators out is
// opened with the backup and restore privileges, enabled for that open only,
// and a WARNING says so. `where` names the key (hive and path) in the log.
// 0, 2 when there is no such key, or the first failure's code (what went
// before it is gone, as with RegDeleteTree).
std::int32_t DeleteKeyTree(plat::HKey hive, const std::wstring& path, const std::wstring& where);

// The same for a key already open with kDeleteTreeAccess. A user who keeps
// adding keys while it runs makes it try again, a bounded number of times.
std::int32_t DeleteOpenKeyTree(plat::HKey key, const std::wstring& where);

// What deleting a tree asks of each key, and what a check of its values reads.
constexpr std::uint32_t kDeleteTreeAccess = plat::kDelete | plat::kKeyEnumerateSubKeys | plat::kKeyQueryValue;

// Opens `name` below `parent` as itself with kDeleteTreeAccess, through the
// backup and restore privileges when its list shuts administrators out.
std::int32_t OpenKeyForDeletion(plat::HKey parent, const std::wstring& name, const std::wstring& where,
                                plat::OwnedKey& key);
