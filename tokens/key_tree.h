// The one walk over the keys of a token. After the first installation
// everyone has full access to every key of a token, so a local user may have
// put anything below one: registry links to keys of the machine, keys that
// shut administrators out, names that hold U+0000 (which the kernel takes and
// no Win32 string call can say: cut at its NUL, a name is the parent again),
// trees as deep and as wide as the registry allows. Every run that reads,
// grants, copies or deletes a token's keys goes through this walk, and says
// at each key what to do there. The walk
// - takes each child's name as the registry counts it, and opens it by that
//   counted name, relative to its parent's handle, as itself (a link is
//   opened, never followed);
// - refuses a child whose handle is not the key listed (the parent again, an
//   ancestor, a link's target), by the full names the kernel gives both;
// - never enters a registry link: it hands it to the visitor;
// - stops, calling the tree hostile, at its bounds: depth, keys and values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry.h"

// Windows keeps registry trees at most this deep; a deeper one is not walked.
constexpr int kDeepestKeyTree = 512;

struct KeyTreeLimits {
    int depth = kDeepestKeyTree;
    // A token the installation writes holds 2 keys and 10 values; one that
    // holds more than this was filled to keep an elevated run busy.
    std::size_t keys = 4096;
    std::size_t values = 65536;
};

// One key the walk reached, open as itself with the visitor's access.
struct KeyAt {
    plat::HKey key;
    const std::wstring& where;     // hive and path, for the log
    const std::wstring& relative;  // below the walk's top key; empty for the top itself
    const std::wstring& name;      // the key's own counted name; empty for the top
    int depth;                     // 0 for the top
};

class KeyTreeVisitor {
public:
    virtual ~KeyTreeVisitor() = default;
    // What each child is opened with (the top key is opened by the caller).
    [[nodiscard]] virtual std::uint32_t Access() const = 0;
    // Opens the child `name` of `parent` as itself; a visitor may widen how
    // (the deletion's privileged retry). 0, or the registry's code.
    virtual std::int32_t OpenChild(plat::HKey parent, const std::wstring& name, const std::wstring& where,
                                   plat::OwnedKey& child);
    // Before the key's children; false leaves them unvisited.
    virtual bool Enter(const KeyAt&) { return true; }
    // After the key's children.
    virtual void Leave(const KeyAt&) {}
    // A child that is a registry link: handed here, never entered, unless the
    // visitor enters links as the keys they are (their own subkeys, reached
    // from the link's own handle, never what it leads to).
    virtual void Link(const KeyAt&) {}
    [[nodiscard]] virtual bool EntersLinks() const { return false; }
    // A child that could not be opened (its code) or was refused (kErrorBadKey):
    // skipped, and the walk goes on with its siblings.
    virtual void Skipped(const std::wstring& where, std::int32_t code, const std::wstring& why) = 0;
};

// How a walk ended.
struct KeyTreeEnd {
    std::int32_t code = 0;  // 0: every key was reached; else why the walk stopped
    std::wstring why;       // for the log, when it stopped: what bound or listing stopped it
};

// Walks the open key `top` (named `where` in the log) and every key below it,
// depth first: Enter, the children one after another, Leave. The children of
// a key are listed whole before the first is visited, so a visitor may delete
// what it has visited. A tree past a bound ends the walk with kErrorBadKey.
KeyTreeEnd WalkKeyTree(plat::HKey top, const std::wstring& where, KeyTreeVisitor& visitor,
                       const KeyTreeLimits& limits = {});

// The counted names of the subkeys of `key`, at most `most` of them; 0, or
// the code that stopped the listing (kErrorBadKey past `most`).
std::int32_t ListSubkeys(plat::HKey key, std::vector<std::wstring>& names, std::size_t most);
