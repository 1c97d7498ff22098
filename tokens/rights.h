// Everyone gets full access on a token key and on every key below it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/security.h"

// Works on the key OpenAndSetRegKey opened into g_hRegKey; `keyName` (hive
// and path) names it and its subkeys in the log's ERROR lines.
void DoSetHiveRights(const std::wstring& keyName);

// Adds the entry to the key, then to its subkeys, depth first. 259 when the
// whole tree was done, otherwise the code that stopped the walk. A key that
// cannot be opened or given the entry is logged as ERROR with its name
// (`keyName` and the path below it) and the cause. A subkey that is a
// registry link is never entered nor given anything: it is deleted.
std::int32_t RegSetHiveSecurity(plat::HKey hKey, plat::SidPtr psid, std::uint32_t si, plat::DescriptorPtr psd,
                                const std::wstring& keyName = L"");

// Deletes a registry link found where a token's key should be (opened as
// itself, with kDelete), with a WARNING naming it; an ERROR with the cause
// when it cannot be deleted. True when it is gone.
bool DeleteRegistryLink(plat::HKey link, const std::wstring& keyName);

// Appends an access-allowed entry for the SID to the key's list; 1 on
// success, 0 on failure (reported on the console). A list that already
// grants the SID full access is left as it is.
std::int32_t AddAccessRights(plat::HKey hKey, plat::SidPtr pSID, std::uint32_t dwAcessMask);

// True when an entry gives the SID full access on the key itself: allowed, no
// inheritance flags, GENERIC_ALL or every bit of KEY_ALL_ACCESS (the system
// may store GENERIC_ALL as KEY_ALL_ACCESS).
bool GrantsFullAccess(const std::vector<plat::AceSummary>& entries, const std::wstring& sid);

// Reads the entries of the key's access list; `present` false for a key with
// no list at all (everyone may do everything). False when the list cannot be
// read, with the Win32 code in `code`.
bool ReadKeyAccessEntries(plat::HKey hKey, std::vector<plat::AceSummary>& entries, bool& present,
                          std::int32_t& code);
