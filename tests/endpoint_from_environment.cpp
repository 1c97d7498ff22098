// The endpoint of the program the tests build around their local catalogue
// servers: the URL the test names in PENDREL_TEST_CATALOGUE_URL, so that every
// test serves on a port of its own and runs beside others. The released
// program is built with its endpoint fixed and has no such way in.
#include <cstdlib>
#include <string>

#include "catalogue/catalogue.h"

namespace {
std::wstring EndpointFromEnvironment() {
    const char* url = std::getenv("PENDREL_TEST_CATALOGUE_URL");
    // A port nothing listens on when the test gave none.
    const std::string narrow = url != nullptr ? url : "http://localhost:9/no-test-catalogue-url";
    return std::wstring(narrow.begin(), narrow.end());  // the tests' URLs are ASCII
}
const std::wstring endpoint = EndpointFromEnvironment();
}  // namespace

const wchar_t* const kCatalogueUrl = endpoint.c_str();
