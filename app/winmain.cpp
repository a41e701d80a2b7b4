// Entry point of Pellinor.exe.
#include <windows.h>

#include "app/job.h"
#include "app/run_control.h"
#include "app/window.h"
#include "tinylib/diaglog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  CreateProgressWindow(instance);
  if (InitTransfer()) {
    RunInstaller();
  } else {
    DiagLog("start: transfer buffers could not be allocated");
  }
  ExitProcess(0);
}
