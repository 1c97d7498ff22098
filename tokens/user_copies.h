// The per-user copies of a voice's tokens, and the look-up that opens their rights.
#pragma once
#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "tokens/registration.h"

// The token key that OpenAndSetRegKey lends to DoSetHiveRights; null when idle.
extern plat::HKey g_hRegKey;

// Copies the voice's token of both stacks from one hive to the other; always 1.
std::int32_t CopyVoiceTokenToCurrentUserForAllEngines(plat::HKey hRootKeySrc, plat::HKey hRootKeyDst,
                                                      const std::wstring& tokenKeyName,
                                                      const ClearedPlaces& places = {});

// Copies a key with its values and subkeys, values of any size and names of
// any length; 1 when walked, 0 when the source cannot be opened or the
// destination cannot be created. Each failure is logged with its key and cause.
std::int32_t CopyRegistryKeyRecursively(plat::HKey hSrcRoot, const std::wstring& srcPath, plat::HKey hDstRoot,
                                        const std::wstring& dstPath, std::uint32_t accessFlag);

// Opens the voice's token key under both stacks of the hive, logs whether it
// was found and opens it, and every key below it, to everyone.
void OpenAndSetRegKey(plat::HKey hRootKey, const std::wstring& tokenKeyName, const ClearedPlaces& places = {});
