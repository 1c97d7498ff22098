// The rules of the engine's token names: which names a voice folder may give,
// and the one answer to whether a token found in a collection is the engine's.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "platform/speech.h"

// Voice folders that give the same TokenKeyName. The installation would write
// the later one's token over the earlier one's, so that one folder's voice
// silently disappears: the installation run and the check both name the two
// folders instead, and only the first folder listed keeps the name.
class TokenNameClaims {
public:
    // The folder that gave `name` before (letter case ignored, as the registry
    // ignores it), or empty when `folder` is the first to give it, which then
    // holds the name.
    std::wstring Claim(const std::wstring& name, const std::wstring& folder);

private:
    std::vector<std::pair<std::wstring, std::wstring>> holders_;  // name, folder
};

// The conflict's words, for the log and the check's report: "TokenKeyName 'N'
// is given by two voice folders, FIRST and SECOND; SECOND is not registered".
std::wstring NameConflictText(const std::wstring& name, const std::wstring& first, const std::wstring& second);

// The COM class of the Quelto engine that speaks every voice.
extern const plat::Guid CLSID_QueltoEngine;

// A token key name must name one key below "\Tokens": not empty (that would
// be the whole collection) and without a backslash (a key elsewhere).
bool IsValidTokenKeyName(const std::wstring& tokenKeyName);

// True for a token key name that carries the engine's prefix "TTS_Mirelka_"
// (exact case), by which the engine's tokens are known in a collection.
bool HasEngineTokenPrefix(const std::wstring& tokenKeyName);

// True when the text names the Quelto engine's class.
bool IsEngineClassId(const std::wstring& clsid);

// The one answer to "is this token the engine's?", for every run: a token
// whose name carries the engine's prefix is, whatever its CLSID says (a
// damaged one is repaired or deleted, never left as another's); any other is
// only when its CLSID names the engine. Every other token is another vendor's
// voice: never written, never deleted.
bool IsTheEnginesToken(const std::wstring& tokenKeyName, const std::wstring& clsid);
