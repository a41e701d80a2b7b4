// The main run: configuration, then either the refusal or the window, the
// installer job and the message loop.
#include "app/job.h"

#include <windows.h>

#include "app/run_control.h"
#include "app/window.h"
#include "config/config.h"
#include "config/settings.h"
#include "tinylib/diaglog.h"

void RunInstaller() {
  const char* source = "command line";
  if (Tokenize() <= 1) {
    ReadEmbeddedArguments();
    source = InstallSettings.EmbeddedConfig ? "INSTDATA" : "file name";
  }
  ResolveInstallDir();
  LogSettings(source);

  ShowWindow(ProgressWindow, SW_SHOWNORMAL);
  if (InstallSettings.InstallDir[0] != 0) {
    StartWorker(InstallerJob, nullptr);  // the job always holds the first slot
  } else {
    DiagLog("run: no install folder; no job started");
  }

  // No keyboard translation: the window has no controls.
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
}
