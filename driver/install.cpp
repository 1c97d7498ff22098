#include "driver/install.h"

#include "platform/files.h"
#include "support/log.h"
#include "support/paths.h"

int RunInstallMode() {
    const std::wstring programFiles = ExpandProgramFiles();
    const std::wstring pattern = programFiles + L"\\Mirelka\\" + sapiFolderStr + L"\\data_quelto\\voices\\*.*";
    WriteLogLine(L"INFO", L"Searching for voices.");
    WriteLogLine(L"INFO", L"Voices location: " + pattern);
    // Not built yet: the voice registration (token subsystem) that turns each
    // voice folder into tokens. Until then the run ends after its search
    // lines, as it does when no voices folder exists.
    return 0;
}
