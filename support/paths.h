// The installation's fixed names and the paths built from them.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

extern const wchar_t* const programFilesEnv;  // "%ProgramFiles%"
extern const wchar_t* const sapiFolder;       // "ZunSapi64"
extern const std::wstring sapiFolderStr;      // "ZunSapi64"
extern const std::int32_t app64;              // 1: the program is a 64-bit process

// The Program Files folder: the expansion of programFilesEnv. An expansion
// that fails or does not fit in MAX_PATH gives the empty text.
std::wstring ExpandProgramFiles();

// PF\Mirelka\ZunSapi64
std::wstring GetRootPath();
// PF\Mirelka\ZunSapi64\QueltoEngine.dll, the engine's library that every
// voice token names as its VoicePath
std::wstring GetEngineLibraryPath();
// PF\Mirelka\ZunSapi64\data_quelto\voices
std::wstring GetVoicesRootPath_Post();

// Calls `visit` with the name of each voice folder directly inside the voices
// folder, in listing order: every folder whose name does not begin with a
// full stop. False when the voices folder is not a full path or cannot be
// listed; nothing is visited then.
bool ForEachVoiceFolder(const std::wstring& voicesFolder, const std::function<void(const std::wstring&)>& visit);

// Creates every missing folder along a backslash-separated path, the last one
// included; failures are ignored.
void EnsureDirectoryExists(const std::wstring& path);

// Replaces the file's access list with one entry that grants everyone every
// right, through the file itself: a link there is left alone, never followed.
// Nothing is reported.
void SetFilePermission(const wchar_t* FileName);

// Deletes the catalogue's temporary files "quelto_voices.json" and
// "quelto_selected.txt" from the user's temporary folder, logging each.
// Without a temporary folder (no full path) nothing is deleted.
void RemoveTemporalFiles();
