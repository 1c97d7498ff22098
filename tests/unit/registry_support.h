// Reading and cleaning registry state in token tests.
#pragma once
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/security.h"

// The string value, or "<absent>".
std::wstring ReadString(plat::HKey root, const std::wstring& path, const wchar_t* name);
bool KeyExists(plat::HKey root, const std::wstring& path);
std::vector<std::wstring> ValueNames(plat::HKey root, const std::wstring& path);
std::vector<plat::AceSummary> KeyAccessEntries(plat::HKey root, const std::wstring& path);
// Removes the token of this name from both stacks of both hives.
void RemoveTestToken(const std::wstring& name);
// Replaces the key's list with: everyone denied `denied`, then allowed everything else.
void DenyEveryone(plat::HKey root, const std::wstring& path, std::uint32_t denied);
// True for the entry this program adds: everyone, full access, no inheritance.
bool IsEveryoneFullAccess(const plat::AceSummary& ace);
