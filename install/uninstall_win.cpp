// Placeholder until the uninstall is built: ends the process without
// touching anything, so that an uninstall request never installs instead.
#include "install/uninstall.h"

#include <windows.h>

#include "tinylib/diaglog.h"

void Uninstall() {
  DiagLog("uninstall requested; not available in this build");
  ExitProcess(0);
}
