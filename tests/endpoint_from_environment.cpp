// The endpoint of the program the tests build around their local catalogue
// servers: the URL the test names in PENDREL_TEST_CATALOGUE_URL, so that every
// test serves on a port of its own and runs beside others, and the stall limit
// in PENDREL_TEST_STALL_SECONDS (30 without it), so that a test of a stalled
// transfer takes seconds. The released program is built with both fixed and
// has no such way in. The same goes for the machine's architecture:
// PENDREL_TEST_NATIVE_MACHINE (an IMAGE_FILE_MACHINE_* number, 0xAA64 for
// ARM64) stands for what IsWow64Process2 reports, so that /verify on an ARM64
// machine is tested on an x64 one.
#include <cstdlib>
#include <string>

#include "catalogue/catalogue.h"
#include "platform/environment.h"

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

// Set before wmain runs: the machine as the test names it.
bool MachineFromEnvironment() {
    const char* machine = std::getenv("PENDREL_TEST_NATIVE_MACHINE");
    const unsigned long value = machine != nullptr ? std::strtoul(machine, nullptr, 0) : 0;
    if (value > 0 && value <= 0xFFFF) plat::OverrideNativeMachineForTesting(static_cast<std::uint16_t>(value));
    return true;
}
[[maybe_unused]] const bool machineSet = MachineFromEnvironment();
}  // namespace

const wchar_t* const kCatalogueUrl = endpoint.c_str();
const std::uint32_t kCatalogueStallSeconds = StallSecondsFromEnvironment();
