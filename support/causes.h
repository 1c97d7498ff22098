// The detail line that follows a failure's ERROR line: what failed (a key
// with its hive, a file, a host) and why (plat::ErrorText, plat::HResultText).
#pragma once
#include <string>

// Logs "  <what>: <cause>" at level ERROR, right after the line it explains.
void LogCause(const std::wstring& what, const std::wstring& cause);
