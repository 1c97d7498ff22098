// Everyone gets full access on a token key and on every key below it.
#pragma once
#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "platform/security.h"

// Works on the key OpenAndSetRegKey opened into g_hRegKey; `keyName` (hive
// and path) names it and its subkeys in the log's ERROR lines.
void DoSetHiveRights(const std::wstring& keyName);

// Adds the entry to the key, then to its subkeys, depth first. 259 when the
// whole tree was done, otherwise the code that stopped the walk. A key that
// cannot be opened or given the entry is logged as ERROR with its name
// (`keyName` and the path below it) and the cause.
std::int32_t RegSetHiveSecurity(plat::HKey hKey, plat::SidPtr psid, std::uint32_t si, plat::DescriptorPtr psd,
                                const std::wstring& keyName = L"");

// Appends an access-allowed entry for the SID to the key's list; 1 on
// success, 0 on failure (reported on the console). A list that already
// grants the SID full access is left as it is.
std::int32_t AddAccessRights(plat::HKey hKey, plat::SidPtr pSID, std::uint32_t dwAcessMask);
