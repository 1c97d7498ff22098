// A voice's SAPI token under both speech stacks of a hive.
#pragma once
#include <cstddef>
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

// The four places of a voice's tokens: each hive under each speech stack.
// The installation writes a place only once it has proven the old token
// there gone; the others are left out of every step.
class ClearedPlaces {
public:
    [[nodiscard]] bool Has(plat::HKey hive, std::size_t engine) const { return open_[Index(hive)][engine]; }
    void Drop(plat::HKey hive, std::size_t engine) { open_[Index(hive)][engine] = false; }

private:
    static std::size_t Index(plat::HKey hive) { return hive == plat::kHkeyLocalMachine ? 0 : 1; }
    bool open_[2][2] = {{true, true}, {true, true}};
};

enum class TokenOwner { Absent, Engine, Other };

// Whose is the token of this name under the hive and stack root (a row of
// `engines`)? Its CLSID goes to `clsid` ("?" when the key cannot be read).
TokenOwner OwnerOfToken(plat::HKey hive, const std::wstring& tokenKeyName, const wchar_t* root, std::wstring& clsid);

// Writes the voice's token under both stacks of the hive (see the layout in
// the README). Each failure is logged with its cause; one before the
// attributes abandons the stack.
void Regnewvoice(plat::HKey hRootKey, const wchar_t* TokenKeyName, const wchar_t* LangIndependentName,
                 const wchar_t* Langid, const wchar_t* LangDependentName, const wchar_t* Gender, const wchar_t* Name,
                 const wchar_t* Language, const wchar_t* Age, const wchar_t* Vendor, const wchar_t* SimpleName,
                 const ClearedPlaces& places = {});
