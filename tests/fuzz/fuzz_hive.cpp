// The stand-in's .reg hive reader: any file, never a crash, and what it writes
// back reads again as the same hive, byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>

namespace plat::sandbox {
std::string ReadHiveForFuzzing(const std::string& bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string once = plat::sandbox::ReadHiveForFuzzing(input);
    if (!once.empty() && plat::sandbox::ReadHiveForFuzzing(once) != once) std::abort();
    return 0;
}
