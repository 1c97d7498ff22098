#include "platform/types.h"

namespace plat {
namespace {
thread_local std::uint32_t lastError = 0;
}

std::uint32_t GetLastError() { return lastError; }
void SetLastError(std::uint32_t code) { lastError = code; }

}  // namespace plat
