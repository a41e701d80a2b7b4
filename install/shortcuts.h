// Installation steps: shortcuts, the uninstaller copy, "linkfiles", "install.txt".
#pragma once

void InstallShortcuts();
