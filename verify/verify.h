// "/verify": whether the engine's voices really work, checked without
// changing anything on the machine.
#pragma once
#include <string>

// The exit codes, for deployment tools that act on them.
constexpr int kVerifyInstalled = 0;       // the engine's voices are installed and every one works
constexpr int kVerifyWrong = 1;           // something of the engine is wrong
constexpr int kVerifyIncomplete = 2;      // the check could not run to its end
constexpr int kVerifyNotInstalled = 3;    // nothing of the engine: no voice folder, no token, no pending deletion
constexpr int kVerifyRestartPending = 3010;  // uninstalled; entries wait for deletion at the next restart

// Checks the token of every voice folder in its four places (the machine's
// decide; a copy missing from the user's hive is a note), the engine's class,
// the engine's tokens that no voice folder stands behind, the installation's
// entries waiting for the next restart, and other vendors' tokens known to
// break applications' voice lists. The report goes to standard output, or,
// with `json`, the same facts as one JSON document and nothing else; its facts
// go to the log. Returns one of the codes above.
int RunVerifyMode(bool json = false, const std::wstring& version = L"");
