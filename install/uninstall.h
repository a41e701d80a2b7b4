// Uninstall: removes the recorded shortcuts, the install folder's files and
// the folder itself, then ends the process.
#pragma once

// Never returns: the process ends with exit code 0.
void Uninstall();
