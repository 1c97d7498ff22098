// The Linux program's entry: the arguments arrive as UTF-8 and are handed to
// the program's wide entry point, as the Windows runtime hands them to wmain.
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "platform/text.h"

extern "C" int wmain(int argc, wchar_t* argv[]);

int main(int argc, char* argv[]) {
    std::vector<std::wstring> args;
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(plat::Utf8BytesToWide(argv[i], std::strlen(argv[i])));
    std::vector<wchar_t*> pointers;
    for (auto& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
