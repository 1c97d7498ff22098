// The two files of a voice folder that name its voice: "metaData.txt", from
// which the installation run writes the tokens, and "voice.txt", by which the
// uninstallation finds the token of a folder. Everyone may write both: they
// are read within fixed bounds, and never trusted for their size or form.
#pragma once
#include <cstdint>
#include <string>

#include "platform/files.h"

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
// mark skipped) into the fields. Everyone may write the file, so it is read
// whole or not at all: a file that stops short (a line of more than 254
// characters, bytes that are not UTF-8, a failed read), that holds a NUL or
// another control character (a carriage return is one unless a line feed
// follows it; a tab only where the trimming removes it, around a key or a
// value) yields no field, and a WARNING in the log names the file, the line
// and the cause. False then, with every field empty.
bool ReadVoiceMetadata(plat::PlainFile& file, const std::wstring& path, VoiceMetadata& metadata);

// Opens the file as itself (plat::PlainFile, reading only) and reads it as
// above. False, with every field empty, when it cannot be opened or is
// refused (a link, a folder, a device or pipe, a file with more than one hard
// link), or its text is refused.
bool ReadVoiceMetadata(const std::wstring& path, VoiceMetadata& metadata);

// Why a metaData.txt that was opened is refused, in words for the log (empty
// for Opened::File and Opened::Failed, whose cause is the last error).
std::wstring RefusalCause(plat::PlainFile::Opened opened, std::uint32_t links);

// The trimmed value of the first "TokenKeyName" entry (key in any letter
// case) of a voice's "voice.txt"; empty when there is none or the file cannot
// be read.
std::wstring ReadTokenKeyNameFromVoiceTxt(const std::wstring& voiceTxtPath);
