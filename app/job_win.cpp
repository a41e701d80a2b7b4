// The installer job: one thread that carries an installation through its
// three phases by calling the other modules in a fixed order.
#include "app/job.h"

#include <windows.h>

#include "app/progress.h"
#include "app/run_control.h"
#include "app/window.h"
#include "config/settings.h"
#include "tinylib/diaglog.h"
#include "tinylib/folders.h"

// Polling interval of the job while mirror workers run.
static const DWORD kPollIntervalMs = 200;

unsigned long __stdcall InstallerJob(void*) {
  Phase = 0;
  UpdateProgress(-1);

  MakeFolders(InstallSettings.InstallDir);
  DiagLog("job: install folder %s", InstallSettings.InstallDir);

  Phase = 2;
  UpdateProgress(-1);

  DiagLog("job: finished");
  PostMessageA(ProgressWindow, WM_DESTROY, 0, 0);
  return 0;
}
