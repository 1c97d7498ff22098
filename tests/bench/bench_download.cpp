// Posts to URL and streams the answer into OUTFILE, as the catalogue search
// does, so that a benchmark can watch the memory of a download on its own.
#include <string>

#include "catalogue/http_post.h"

extern "C" int wmain(int argc, wchar_t* argv[]) {
    if (argc != 3) return 2;
    return HttpPostJsonToFile(argv[1], L"{}", argv[2], nullptr, nullptr, L"bench") ? 0 : 1;
}
