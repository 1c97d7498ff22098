// The uninstall mode: the engine's tokens, its installation folder and the
// catalogue's temporary files are removed.
#pragma once

int RunUninstallMode();
