// A voice's SAPI token under both speech stacks of a hive.
#pragma once
#include <string>

#include "platform/registry.h"
#include "platform/speech.h"

// The voice roots of the two speech stacks below a hive: desktop, then OneCore.
extern const wchar_t* const engines[2];

// "HKEY_LOCAL_MACHINE" for the machine hive, "HKEY_CURRENT_USER" for any other.
std::wstring HiveName(plat::HKey hRootKey);

// The CLSID value of an open token key (kKeyQueryValue): its text, "?" when
// it is there but is no text an engine could have written, empty when absent.
std::wstring TokenClassId(plat::HKey key);

enum class TokenOwner { Absent, Engine, Other };

// Whose is the token of this name under the hive and stack root (a row of
// `engines`)? Its CLSID goes to `clsid` ("?" when the key cannot be read).
TokenOwner OwnerOfToken(plat::HKey hive, const std::wstring& tokenKeyName, const wchar_t* root, std::wstring& clsid);

// Writes the voice's token under both stacks of the hive (see the layout in
// the README). Each failure is logged with its cause; one before the
// attributes abandons the stack.
void Regnewvoice(plat::HKey hRootKey, const wchar_t* TokenKeyName, const wchar_t* LangIndependentName,
                 const wchar_t* Langid, const wchar_t* LangDependentName, const wchar_t* Gender, const wchar_t* Name,
                 const wchar_t* Language, const wchar_t* Age, const wchar_t* Vendor, const wchar_t* SimpleName);
