// <windows.h> for the Win32 implementations of the platform services only.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <shlobj.h>

// The platform functions carry the Win32 names; the A/W macros of the SDK
// would rename them in these files only.
#undef ExpandEnvironmentStrings
#undef GetTempPath
#undef SetEnvironmentVariable
#undef FindFirstFile
#undef FindNextFile
#undef DeleteFile
#undef RemoveDirectory
#undef SetFileAttributes
#undef GetFileAttributes
#undef SetEntriesInAcl
#undef SetFileSecurity
#undef GetFileSecurity
#undef RegOpenKeyEx
#undef RegCreateKeyEx
#undef RegSetValueEx
#undef RegQueryValueEx
#undef RegEnumValue
#undef RegEnumKeyEx
#undef RegEnumKey
#undef RegQueryInfoKey
#undef RegDeleteTree
#undef GetTempFileName
#undef MoveFileEx

#include <string>

namespace plat {
// The "\\?\" form of a full path ("X:\..." or "\\server\share\..."), which the
// file functions take as it is: no MAX_PATH limit, whether or not the machine
// enables long paths for programs that declare themselves aware of them. A
// relative path, and one already in a "\\?\" or "\\.\" form, stays as it is.
std::wstring LongPathForm(const std::wstring& path);
}  // namespace plat
