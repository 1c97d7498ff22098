// The installation run: every voice folder on disk becomes SAPI voice tokens.
#pragma once
#include <string>

// Registers the voices found under the voices folder; always returns 0.
int RunInstallMode();
