// Entry point of Pellinor.exe.
//
// The program starts at its own entry rather than at the C runtime's
// start-up code: it reads its command line through GetCommandLineA, has no
// static constructors and no thread-local data, and that start-up code would
// be a tenth of the program's size. msvcrt.dll initialises itself.
#include <windows.h>

#include "app/job.h"
#include "app/progress.h"
#include "app/run_control.h"
#include "app/window.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"

extern "C" void __stdcall PellinorStart() {
  CreateProgressWindow(GetModuleHandleA(nullptr));
  SetProgressDisplay(ShowProgress);
  if (InitTransfer()) {
    RunInstaller();
  } else {
    DiagLog("start: transfer buffers could not be allocated");
    NoteRunFailure("no memory for the transfer buffers");
  }
  ExitProcess(static_cast<UINT>(EndRun()));
}
