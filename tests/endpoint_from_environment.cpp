// The endpoint of the program the tests build around their local catalogue
// servers: the URL the test names in PENDREL_TEST_CATALOGUE_URL, so that every
// test serves on a port of its own and runs beside others, and the stall limit
// in PENDREL_TEST_STALL_SECONDS (30 without it), so that a test of a stalled
// transfer takes seconds. The released program is built with both fixed and
// has no such way in.
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

std::uint32_t StallSecondsFromEnvironment() {
    const char* seconds = std::getenv("PENDREL_TEST_STALL_SECONDS");
    const unsigned long value = seconds != nullptr ? std::strtoul(seconds, nullptr, 10) : 0;
    return value > 0 && value <= 3600 ? static_cast<std::uint32_t>(value) : 30;
}
}  // namespace

const wchar_t* const kCatalogueUrl = endpoint.c_str();
const std::uint32_t kCatalogueStallSeconds = StallSecondsFromEnvironment();
