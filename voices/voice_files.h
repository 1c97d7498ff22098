// The two files of a voice folder that name its voice: "metaData.txt", from
// which the installation run writes the tokens, and "voice.txt", by which the
// uninstallation finds the token of a folder. Everyone may write both: they
// are read within fixed bounds, and never trusted for their size or form.
#pragma once
#include <string>

// The ten fields of a voice's "metaData.txt", each at most 254 characters.
struct VoiceMetadata {
    wchar_t TokenKeyName[256];
    wchar_t LangIndependentName[256];
    wchar_t Langid[256];
    wchar_t LangDependentName[256];
    wchar_t Gender[256];
    wchar_t Name[256];
    wchar_t Language[256];
    wchar_t Age[256];
    wchar_t Vendor[256];
    wchar_t SimpleName[256];
};

// Reads "key: value" lines of a UTF-8 metadata file (an opening byte-order
// mark skipped) into the fields; false when the file cannot be opened.
// Reading stops at a line of more than 254 characters or at bytes that are
// not UTF-8; the fields read until then stay, and a WARNING in the log names
// the file and the line where it stopped.
bool ReadVoiceMetadata(const std::wstring& path, VoiceMetadata& metadata);

// The trimmed value of the first "TokenKeyName" entry (key in any letter
// case) of a voice's "voice.txt"; empty when there is none or the file cannot
// be read.
std::wstring ReadTokenKeyNameFromVoiceTxt(const std::wstring& voiceTxtPath);
