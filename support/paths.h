// The installation's fixed names and the paths built from them.
#pragma once
#include <cstdint>
#include <string>

#include "platform/files.h"

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

// Creates every missing folder along a backslash-separated path, the last one
// included; failures are ignored.
void EnsureDirectoryExists(const std::wstring& path);

// Replaces the file's access list with one entry that grants everyone every
// right, through the file's own handle, which plat::PlainFile opened with
// Access::ReadAndSetAccessList. False, with the last error, when it could not
// be set; nothing is logged here.
bool SetFilePermission(plat::PlainFile& file);

// The same by the file's path: the file is opened as a plat::PlainFile, so a
// link, a folder, a device or pipe and a file with more than one hard link
// are left alone. Nothing is reported.
void SetFilePermission(const wchar_t* FileName);
