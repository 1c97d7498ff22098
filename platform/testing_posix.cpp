#include "platform/testing.h"

#include <cstdlib>
#include <filesystem>
#include <string>

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

}  // namespace plat::testing
