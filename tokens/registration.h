// A voice's SAPI token under both speech stacks of a hive.
#pragma once
#include <string>

#include "platform/registry.h"
#include "platform/speech.h"

// The voice roots of the two speech stacks below a hive: desktop, then OneCore.
extern const wchar_t* const engines[2];

// The COM class of the Quelto engine that speaks every voice.
extern const plat::Guid CLSID_QueltoEngine;

// "HKEY_LOCAL_MACHINE" for the machine hive, "HKEY_CURRENT_USER" for any other.
std::wstring HiveName(plat::HKey hRootKey);

// A token key name must name one key below "\Tokens": not empty (that would
// be the whole collection) and without a backslash (a key elsewhere).
bool IsValidTokenKeyName(const std::wstring& tokenKeyName);

// The CLSID value of the token key at `tokenPath` under the hive when it names
// another engine than the Quelto engine (a value that is not text shows as
// "?"); empty when the key is absent, has no CLSID value, or is this
// engine's. Such a token is another vendor's voice: never written, never deleted.
std::wstring OtherEngineOfToken(plat::HKey hive, const std::wstring& tokenPath);
// The same for a token key already open (with kKeyQueryValue).
std::wstring OtherEngineOfKey(plat::HKey key);

// The first CLSID of another engine that a token of this name carries under
// either stack of either hive; empty when none does.
std::wstring OtherEngineOfTokenAnywhere(const std::wstring& tokenKeyName);

// True for a token key name that carries the engine's prefix "TTS_Mirelka_"
// (exact case), by which the engine's tokens are known in a collection.
bool HasEngineTokenPrefix(const std::wstring& tokenKeyName);

// Writes the voice's token under both stacks of the hive (see the layout in
// the README). Each failure is logged with its cause; one before the
// attributes abandons the stack.
void Regnewvoice(plat::HKey hRootKey, const wchar_t* TokenKeyName, const wchar_t* LangIndependentName,
                 const wchar_t* Langid, const wchar_t* LangDependentName, const wchar_t* Gender, const wchar_t* Name,
                 const wchar_t* Language, const wchar_t* Age, const wchar_t* Vendor, const wchar_t* SimpleName);
