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

// The CLSID value of an open token key (kKeyQueryValue): its text, "?" when
// it is there but is no text an engine could have written, empty when absent.
std::wstring TokenClassId(plat::HKey key);

// True when the text names the Quelto engine's class.
bool IsEngineClassId(const std::wstring& clsid);

// The one answer to "is this token the engine's?", for every run: a token
// whose name carries the engine's prefix is, whatever its CLSID says (a
// damaged one is repaired or deleted, never left as another's); any other is
// only when its CLSID names the engine. Every other token is another vendor's
// voice: never written, never deleted.
bool IsTheEnginesToken(const std::wstring& tokenKeyName, const std::wstring& clsid);

enum class TokenOwner { Absent, Engine, Other };

// Whose is the token of this name under the hive and stack root (a row of
// `engines`)? Its CLSID goes to `clsid` ("?" when the key cannot be read).
TokenOwner OwnerOfToken(plat::HKey hive, const std::wstring& tokenKeyName, const wchar_t* root, std::wstring& clsid);

// True for a token key name that carries the engine's prefix "TTS_Mirelka_"
// (exact case), by which the engine's tokens are known in a collection.
bool HasEngineTokenPrefix(const std::wstring& tokenKeyName);

// Writes the voice's token under both stacks of the hive (see the layout in
// the README). Each failure is logged with its cause; one before the
// attributes abandons the stack.
void Regnewvoice(plat::HKey hRootKey, const wchar_t* TokenKeyName, const wchar_t* LangIndependentName,
                 const wchar_t* Langid, const wchar_t* LangDependentName, const wchar_t* Gender, const wchar_t* Name,
                 const wchar_t* Language, const wchar_t* Age, const wchar_t* Vendor, const wchar_t* SimpleName);
