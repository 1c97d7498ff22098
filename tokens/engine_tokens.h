// The engine's tokens in one collection, and the deletion of one of them: the
// uninstallation removes every token it finds, the installation run those no
// voice folder on disk claims any more. Both use the one rule of
// IsTheEnginesToken and delete the way the threat model needs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

// The names in one token collection (`root` is a row of `engines`) of the
// tokens that are the engine's: those that carry its prefix (exact case), and
// any other that names its class. Every name as the registry counts it (a
// name may hold U+0000). Collected whole before any is deleted, so nothing is
// deleted while the collection is enumerated.
std::vector<std::wstring> CollectEngineTokens(plat::HKey hive, const wchar_t* root);

// Deletes the token key at `path` below `hive` when it is the engine's, opened
// as itself (a link goes, never what it leads to): the question is asked
// again of the key about to be deleted, so a CLSID changed since it was
// collected keeps another vendor's token. Returns the CLSID of another
// engine's token when it is not ours ("no CLSID" when it has none), else
// empty. `code`: 0, 2 when there is no such key, or why it was not deleted.
// `label` ("HKLM", "HKCU") goes into the WARNING for a damaged token of ours.
std::wstring DeleteTokenUnlessOthers(plat::HKey hive, const std::wstring& name, const std::wstring& path,
                                     const std::wstring& label, std::int32_t& code);
