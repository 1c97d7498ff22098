#include "uninstall/uninstall.h"

int RunUninstallMode() {
    // Not built yet: token removal and the deletion of the installation
    // folder. The mode ends at once with the uninstaller's success code.
    return 0;
}
