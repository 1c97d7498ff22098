// The Linux program's entry: the arguments arrive as UTF-8 and are handed to
// the program's wide entry point, as the Windows runtime hands them to wmain.
// Around it, the stand-in's registry: a hive that cannot be read or parsed
// stops the run before it changes anything, and a hive that cannot be saved
// afterwards makes the run fail, whatever the program returned.
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/standin/sandbox.h"

extern "C" int wmain(int argc, wchar_t* argv[]);

namespace {
void SayOnStandardError(const std::string& text) {
    if (::write(STDERR_FILENO, text.data(), text.size()) < 0) return;
}
}  // namespace

int main(int argc, char* argv[]) {
    std::vector<std::wstring> args;
    args.reserve(static_cast<std::size_t>(argc));
    // A byte that is not UTF-8 (a host path in another encoding) is kept, not
    // replaced: the stand-in maps it back to the same byte in a path.
    for (int i = 0; i < argc; ++i) args.push_back(plat::sandbox::TextFromHost(argv[i]));
    std::vector<wchar_t*> pointers;
    for (auto& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    std::string problem;
    if (!plat::sandbox::CheckRegistry(problem)) {
        SayOnStandardError(problem);
        return plat::sandbox::kExitHiveUnusable;
    }
    const int code = wmain(argc, pointers.data());
    if (!plat::sandbox::SaveRegistry(problem)) {
        SayOnStandardError(problem);
        return plat::sandbox::kExitHiveNotSaved;
    }
    return code;
}
