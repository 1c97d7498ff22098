// The checks behind "/verify": each one reads the machine as it is and
// changes nothing. A check that cannot read what it needs says so in
// `failures` (the result is then incomplete); what it finds wrong it returns.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "voices/voice_files.h"

// One of the four places that hold a voice's token: a hive and a speech stack.
struct TokenPlace {
    plat::HKey hive;
    const wchar_t* root;  // a row of `engines`
    std::wstring label;   // "HKLM\Speech", "HKCU\Speech_OneCore", ...

    std::wstring TokensPath() const;                            // root\Tokens
    std::wstring TokenPath(const std::wstring& name) const;     // root\Tokens\name
    std::wstring CategoryId() const;                            // HKEY_...\root
    std::wstring FullKey(const std::wstring& name) const;       // HKEY_...\root\Tokens\name
};

// The engine's class id as brace text, as the tokens name it.
std::wstring EngineClassId();

// HKEY_LOCAL_MACHINE before HKEY_CURRENT_USER, the desktop stack before OneCore.
std::vector<TokenPlace> TokenPlaces();

// What the check of one kind of thing found: one problem per entry. A long
// fact (a path, what was expected and found) follows the problem after "\n".
using Problems = std::vector<std::wstring>;

// The token key names the place's collection holds, as the registry lists them.
std::vector<std::wstring> TokenNamesInPlace(const TokenPlace& place, std::vector<std::wstring>& failures);

// The token key names SAPI lists when it enumerates the place's category, as
// an application sees them (the key name alone, whatever form of id SAPI gives).
// `complete` false when SAPI's listing stopped short (Wine's stops at a token
// it cannot read), so that a missing name says nothing about that token.
std::vector<std::wstring> TokenNamesSapiLists(const TokenPlace& place, std::vector<std::wstring>& failures,
                                              bool& complete);

// The voice's token in one place against what the installation run writes
// for this metadata: the key, its values, its Attributes, VoicePath naming a
// file that exists, everyone's full access on every key of the token, and
// SAPI listing it (`sapiNames` from TokenNamesSapiLists). A missing token key
// is one problem, and nothing more is checked there.
Problems CheckVoiceToken(const TokenPlace& place, const VoiceMetadata& metadata,
                         const std::vector<std::wstring>& sapiNames, std::vector<std::wstring>& failures);

// The head of a voice's problem that only the engine's own package can
// repair: the engine's library that its VoicePath names is not there.
constexpr const wchar_t* kMissingLibraryProblem = L"Attributes\\VoicePath names a missing file";

// The engine's COM class as applications instantiate it: its InprocServer32
// key in the machine's classes, 64-bit view, with ThreadingModel "Both",
// naming a file that exists and is an image for this machine's architecture.
// On an ARM64 machine an x64 or an ARM64 library is accepted, and `notes`
// receives which applications cannot load it (never a problem: each kind of
// library serves one kind of application there).
Problems CheckEngineClass(std::vector<std::wstring>& failures, std::vector<std::wstring>* notes = nullptr);

// True when the token is the engine's: it names the engine's class as its
// CLSID, or its key name carries the engine's prefix.
bool IsEngineToken(const TokenPlace& place, const std::wstring& name, std::vector<std::wstring>& failures);

// What, in another vendor's token, is known to break applications' voice
// lists: no CLSID value, a CLSID with no registered class, an InprocServer32
// file that does not exist, no Attributes key or no Language attribute.
// `classes` remembers each class's verdict across tokens.
Problems CheckOtherVendorToken(const TokenPlace& place, const std::wstring& name,
                               std::map<std::wstring, std::wstring>& classes, std::vector<std::wstring>& failures);

// The entries at or below `folder` that the machine deletes at its next
// restart (PendingFileRenameOperations entries with no destination), as the
// session manager names them, without the "\??\" prefix.
std::vector<std::wstring> PendingDeletionsUnder(const std::wstring& folder, std::vector<std::wstring>& failures);

// The first token of the place that cannot be read, empty when there is none:
// SAPI's enumeration may stop there (Wine's does), whatever it answers.
std::wstring FirstUnreadableToken(const TokenPlace& place);
