// What tests need to know about the machine they run on.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace plat::testing {

// Gives the test process a machine of its own where the platform allows it:
// on the stand-in a fresh sandbox folder (removed at exit unless
// PENDREL_KEEP_SANDBOX is set); on Windows the machine is the test prefix.
void PrepareTestMachine();

// True when the Windows build runs under Wine (whose measured differences
// from Windows some checks must know).
bool RunningUnderWine();

// True on the POSIX stand-in.
bool IsStandIn();

// Opens the file the way a running program holds its library: without
// sharing delete access, so that deleting it fails until ReleaseHeldFile. On
// the stand-in the hold is an exclusive lock, which its DeleteFile honours.
void* HoldFileOpen(const std::wstring& path);
void ReleaseHeldFile(void* hold);

// Maps the file as a running program maps its image (LoadLibraryExW as an
// image resource), so that deleting it is refused while renaming it works. On
// the stand-in a shared lock, which its deletion and renaming treat the same
// way. Null when it could not be done.
void* HoldAsImage(const std::wstring& path);
void ReleaseImage(void* image);

// SetCurrentDirectoryW: Windows holds a process's current folder open
// without delete sharing. The stand-in only changes the host's current folder.
bool SetCurrentFolder(const std::wstring& folder);

// Opens the file for reading and writing, sharing everything, and locks all
// of it, from the first byte to the last a file can have (LockFileEx; on the
// stand-in an open file description's write lock), as a backup program or a
// stuck writer might. ReleaseHeldFile lets go.
void* LockWholeFile(const std::wstring& path);

// Appends `first`, waits `pauseMs`, then appends `second`, holding the lock
// that every appender of a log takes (AppendFile) across both writes: a
// writer whose line is not one write, as on a network share. A program that
// ignores that lock lands its lines in the pause. False when the file cannot
// be opened, locked within kAppendLockWaitMs, or written.
bool AppendInTwoWritesUnderLock(const std::wstring& path, const std::string& first, const std::string& second,
                                unsigned pauseMs);

// A symbolic link at `link` to `target` (a folder or a file): on Windows
// CreateSymbolicLinkW, on the stand-in a POSIX symbolic link.
bool CreateLink(const std::wstring& link, const std::wstring& target, bool directory);

// A second name, `link`, for the file `target`: CreateHardLinkW (a name of
// its own, since <windows.h> makes CreateHardLink a macro); on the stand-in
// link(2).
bool AddHardLink(const std::wstring& link, const std::wstring& target);

// Puts a deny entry for everyone on the file, for `rights`, before the entry
// that grants everyone every right (as a user with WRITE_DAC may). Windows:
// SetFileSecurityW; the stand-in keeps the entry beside the permission bits.
// Wine keeps no file access lists, so the entry has no effect there.
bool DenyEveryone(const std::wstring& path, std::uint32_t rights);

// A registry link at `link` (a new key) in the machine's hive, or in the
// user's with `inUserHive`, to the key at HKEY_LOCAL_MACHINE\`target`
// (REG_OPTION_CREATE_LINK and its REG_LINK SymbolicLinkValue).
bool CreateRegistryLink(const std::wstring& link, const std::wstring& target, bool inUserHive = false);

// Adds a DER certificate to the machine's trusted root store (Windows). The
// stand-in trusts what SSL_CERT_FILE names instead, and does nothing here.
bool TrustRootCertificate(const std::string& der);

// Takes that certificate out of the trusted root store again, so that a test
// leaves nothing behind on the machine; true when it is no longer there.
bool DistrustRootCertificate(const std::string& der);

// What a program file carries for installers and for Windows: the version
// resource's strings (GetFileVersionInfoW, then VerQueryValueW in its first
// translation), its fixed file version as "a.b.c.d", and the application
// manifest (resource 1 of type 24). False where programs carry no resources
// (the stand-in's programs are ELF files) or the file has no version resource.
struct ProgramResources {
    std::vector<std::pair<std::wstring, std::wstring>> strings;
    std::wstring fixedFileVersion;
    std::string manifest;
};
bool ReadProgramResources(const std::wstring& path, ProgramResources& resources);

}  // namespace plat::testing
