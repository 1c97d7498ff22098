// "/verify": whether the engine's voices really work, checked without
// changing anything on the machine.
#pragma once

// Checks the token of every voice folder in its four places, the engine's
// class, the engine's tokens that no voice folder stands behind, and other
// vendors' tokens known to break applications' voice lists. The report goes
// to standard output and its facts to the log. Returns 0 when every voice is
// fully registered and nothing of the engine is left over, 1 when anything is
// wrong, 2 when the check could not run (its report is then incomplete).
int RunVerifyMode();
