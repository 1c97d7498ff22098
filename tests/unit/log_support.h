// The test machine's log, read back as "[LEVEL] message" lines.
#pragma once
#include <string>
#include <vector>

void ClearLog();
std::vector<std::string> LogLines();
