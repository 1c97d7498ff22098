// The stand-in's model of one Windows machine inside a sandbox folder:
//   <sandbox>/drive_c/...      drive C, with the usual Windows layout
//   <sandbox>/environment      the machine's environment, NAME=VALUE lines (UTF-8)
//   <sandbox>/registry/...     the registry hives
// The sandbox is $PENDREL_SANDBOX, or ${XDG_DATA_HOME:-~/.local/share}/pendrel/sandbox.
#pragma once
#include <cstdint>
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
// A path that is already an absolute POSIX path stays on the host (a
// variable set to a host folder); any other path is relative to the current
// folder. Backslashes and slashes both separate; "." and ".." are resolved the
// Windows way, by the text alone and never above the root. Each name goes
// through NameToHost.
std::string ToHostPath(const std::wstring& windowsPath);

// A host file name as a Windows name, and back. Host names are bytes; a
// Windows name cannot hold a backslash, the characters \ / : * ? " < > | or a
// control character, nor bytes that are not UTF-8. Each such byte b is shown
// as the unpaired surrogate U+DC00+b, which UTF-8 text never decodes to and
// an NTFS name can hold, so that every listed name maps back to exactly the
// entry it came from and can never separate a path.
std::wstring NameFromHost(const std::string& hostName);
std::string NameToHost(const std::wstring& windowsName);

// Host text that may name a path (a program argument): UTF-8, with each byte
// outside a well-formed sequence as U+DC00+b, as NameFromHost shows it, so
// that a path given in it maps back to exactly the host's bytes. Separators
// and the other characters a name cannot hold stay as they are.
std::wstring TextFromHost(const std::string& hostText);

// The registry's hive files (standin/registry.cpp). CheckRegistry reads and
// parses both without changing anything: false, with a message naming the
// file and the cause, when one exists but cannot be read or parsed.
// SaveRegistry writes back what this process changed and releases the hives:
// false, with such a message, when a hive could not be saved.
bool CheckRegistry(std::string& problem);
bool SaveRegistry(std::string& problem);

// Exit codes of the stand-in's own failures.
constexpr int kExitHiveUnusable = 2;  // a hive could not be read, parsed or locked: nothing was saved
constexpr int kExitHiveNotSaved = 3;  // the run's registry changes could not be written back

// The machine's environment, in the order of the environment file.
std::vector<std::pair<std::wstring, std::wstring>>& Environment();
const std::wstring* FindVariable(const std::wstring& name);

// A deny entry for everyone on a file, which the permission bits cannot
// hold: the Win32 rights it denies, as a 32-bit little-endian mask in this
// extended attribute of the host file. Deletion and renaming honour it as
// Windows does for an administrator (DELETE and FILE_READ_ATTRIBUTES are
// granted anyway, through FILE_DELETE_CHILD and FILE_LIST_DIRECTORY on the
// folder); a new access list replaces it.
constexpr const char* kDenyEntryAttribute = "user.pendrel.denied";

// The permission bits a security descriptor's access list stands for
// (SetFileSecurity's model), applied to the open file `fd` with fchmod.
// False, with the last error, when they cannot be.
bool SetSecurityOfDescriptor(int fd, std::uint32_t information, void* descriptor);

}  // namespace plat::sandbox
