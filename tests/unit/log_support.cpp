#include "unit/log_support.h"

#include "platform/files.h"
#include "support/log.h"
#include "unit/scratch.h"

void ClearLog() {
    CloseLogFile();  // held without delete sharing until then
    plat::DeleteFile(GetLogFilePath());
}

std::vector<std::string> LogLines() {
    const std::string text = ReadBytes(GetLogFilePath());
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        lines.push_back(line.size() > 22 ? line.substr(22) : line);  // without "[YYYY-MM-DD hh:mm:ss] "
    }
    return lines;
}
