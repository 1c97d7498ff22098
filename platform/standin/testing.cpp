#include "platform/testing.h"
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/standin/sandbox.h"

namespace plat::testing {
namespace {
std::string sandboxToRemove;
void RemoveSandbox() {
    if (!sandboxToRemove.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(sandboxToRemove, ignored);
    }
}
}  // namespace

void PrepareTestMachine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pendrel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    ::setenv("PENDREL_SANDBOX", pattern.c_str(), 1);
    if (std::getenv("PENDREL_KEEP_SANDBOX") == nullptr) {
        sandboxToRemove = pattern;
        std::atexit(RemoveSandbox);
    }
}

bool RunningUnderWine() { return false; }
bool IsStandIn() { return true; }

void* HoldFileOpen(const std::wstring& path) {
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    ::flock(fd, LOCK_EX);
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
}

void* HoldAsImage(const std::wstring& path) {
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    ::flock(fd, LOCK_SH);
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
}

void ReleaseImage(void* image) { ReleaseHeldFile(image); }

bool SetCurrentFolder(const std::wstring& folder) { return ::chdir(sandbox::ToHostPath(folder).c_str()) == 0; }

void* LockWholeFile(const std::wstring& path) {
    const int fd = ::open(sandbox::ToHostPath(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct flock all {};
    all.l_type = F_WRLCK;
    all.l_whence = SEEK_SET;  // l_start 0 and l_len 0: every byte, however far
    if (::fcntl(fd, F_OFD_SETLK, &all) != 0) {
        ::close(fd);
        return nullptr;
    }
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);  // closing it releases the lock
}

bool CreateLink(const std::wstring& link, const std::wstring& target, bool) {
    return ::symlink(sandbox::ToHostPath(target).c_str(), sandbox::ToHostPath(link).c_str()) == 0;
}

bool AddHardLink(const std::wstring& link, const std::wstring& target) {
    return ::link(sandbox::ToHostPath(target).c_str(), sandbox::ToHostPath(link).c_str()) == 0;
}

bool DenyEveryone(const std::wstring& path, std::uint32_t rights) {
    const unsigned char mask[4] = {static_cast<unsigned char>(rights), static_cast<unsigned char>(rights >> 8),
                                   static_cast<unsigned char>(rights >> 16), static_cast<unsigned char>(rights >> 24)};
    return ::setxattr(sandbox::ToHostPath(path).c_str(), sandbox::kDenyEntryAttribute, mask, sizeof mask, 0) == 0;
}

bool CreateRegistryLink(const std::wstring& link, const std::wstring& target, bool inUserHive) {
    // The stand-in's registry takes a key with a REG_LINK SymbolicLinkValue for a link.
    HKey key = nullptr;
    if (RegCreateKeyEx(inUserHive ? kHkeyCurrentUser : kHkeyLocalMachine, link.c_str(), kKeyWrite, &key) != 0)
        return false;
    const OwnedKey owned(key);
    const std::wstring path = L"\\Registry\\Machine\\" + target;
    return RegSetValueEx(key, kSymbolicLinkValueName, kRegLink, path.data(),
                         static_cast<std::uint32_t>(path.size() * sizeof(wchar_t))) == 0;
}

bool TrustRootCertificate(const std::string&) { return true; }
bool DistrustRootCertificate(const std::string&) { return true; }

void ReleaseHeldFile(void* hold) {
    if (hold != nullptr) ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(hold) - 1));
}

bool ReadProgramResources(const std::wstring&, ProgramResources&) { return false; }

}  // namespace plat::testing
