#include "support/causes.h"

#include "support/log.h"

void LogCause(const std::wstring& what, const std::wstring& cause) { WriteLogLine(L"ERROR", L"  " + what + L": " + cause); }
