// Voice folders that give the same TokenKeyName. The installation would write
// the later one's token over the earlier one's, so that one folder's voice
// silently disappears: the installation run and the check both name the two
// folders instead, and only the first folder listed keeps the name.
#pragma once
#include <string>
#include <utility>
#include <vector>

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
