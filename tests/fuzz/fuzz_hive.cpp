// The stand-in's .reg hive reader: any file, never a crash, and what it writes
// back can be read again.
#include <cstdint>
#include <string>

namespace plat::sandbox {
std::string ReadHiveForFuzzing(const std::string& bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string once = plat::sandbox::ReadHiveForFuzzing(std::string(reinterpret_cast<const char*>(data), size));
    plat::sandbox::ReadHiveForFuzzing(once);
    return 0;
}
