// The stand-in's model of one Windows machine inside a sandbox folder:
//   <sandbox>/drive_c/...      drive C, with the usual Windows layout
//   <sandbox>/environment      the machine's environment, NAME=VALUE lines (UTF-8)
//   <sandbox>/registry/...     the registry hives
// The sandbox is $PENDREL_SANDBOX, or ${XDG_DATA_HOME:-~/.local/share}/pendrel/sandbox.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace plat::sandbox {

// The sandbox folder, created with its layout on first use.
const std::string& Root();

// The user of the modelled machine.
const std::wstring& UserName();

// Maps a Windows path to the host: "C:\Program Files\x" becomes
// <sandbox>/drive_c/Program Files/x, other drive letters drive_<letter>.
// "." and ".." are resolved the Windows way, never above the drive's root.
// A path that is already an absolute POSIX path is used as it is; any other
// path is relative to the current folder, with backslashes as separators.
std::string ToHostPath(const std::wstring& windowsPath);

// The machine's environment, in the order of the environment file.
std::vector<std::pair<std::wstring, std::wstring>>& Environment();
const std::wstring* FindVariable(const std::wstring& name);

}  // namespace plat::sandbox
