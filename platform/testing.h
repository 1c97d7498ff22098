// What tests need to know about the machine they run on.
#pragma once
#include <string>

namespace plat::testing {

// Gives the test process a machine of its own where the platform allows it:
// on the stand-in a fresh sandbox folder (removed at exit unless
// PENDREL_KEEP_SANDBOX is set); on Windows the machine is the test prefix.
void PrepareTestMachine();

// True when the Windows build runs under Wine (whose measured differences
// from Windows some checks must know).
bool RunningUnderWine();

// True on the POSIX stand-in.
bool IsStandIn();

}  // namespace plat::testing
