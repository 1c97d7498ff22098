#include "platform/types.h"
#include "platform/win32/win32.h"

namespace plat {

std::uint32_t GetLastError() { return ::GetLastError(); }
void SetLastError(std::uint32_t code) { ::SetLastError(code); }

}  // namespace plat
