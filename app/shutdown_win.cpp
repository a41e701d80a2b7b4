// Shutdown on WM_DESTROY, whether the job posted it or the user closed the
// window early.
#include "app/job.h"

#include <windows.h>
#include <winsock2.h>
#include <shellapi.h>

#include "app/run_control.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "transfer/session.h"

void ShutdownTransfer() {
  // A close by the user can follow the job's own end message before the
  // loop ends: shut down (and open the launch line) once only.
  static bool done = false;
  if (done) return;
  done = true;
  StopWorkers();
  // Closed before the job ended by itself (or with no job at all).
  if (!JobEnded()) NoteUserClosed();
  if (LaunchLineMayOpen(InstallSettings.LaunchLine)) {
    DiagLog("shutdown: opening %s", InstallSettings.LaunchLine);
    // No owner, verb "open", no parameters, no directory; result ignored.
    ShellExecuteA(nullptr, "open", InstallSettings.LaunchLine, nullptr, nullptr, SW_SHOWNORMAL);
  }
  // Closing the socket first returns a receive that is already blocked, so
  // the job reaches its next abort check.
  CloseSession();
  // The shared lock, list and buffers are released only once every thread
  // has ended; a thread still blocked in the network keeps them until the
  // process exits, so nothing ever touches freed memory.
  if (WaitForWorkers()) {
    ReleaseTransferResources();
    FreeDownloadList();
  } else {
    DiagLog("shutdown: threads still running; shared resources left to process exit");
  }
  WSACleanup();
}
