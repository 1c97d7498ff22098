// The uninstall mode: the engine's tokens, its installation folder and the
// catalogue's temporary files are removed.
#pragma once
#include <string>

// Always 0, the uninstaller's success.
int RunUninstallMode();

// Deletes the folder and everything in it, depth first; true when the folder
// itself is gone. A link (junction, symbolic link) is removed itself and never
// followed, so nothing outside the folder is touched.
bool DeleteDirectoryRecursive(const std::wstring& dirPath);
