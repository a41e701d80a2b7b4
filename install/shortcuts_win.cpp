// PLACEHOLDER until the installation steps land.
#include "install/shortcuts.h"

void InstallShortcuts() {}
