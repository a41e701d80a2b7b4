// The installer job: one thread that carries an installation through its
// three phases by calling the other modules in a fixed order. Each module
// handles (or logs) its own failures and notes them in the run's outcome.
#include "app/job.h"

#include <windows.h>
#include <objbase.h>

#include "app/progress.h"
#include "app/window.h"
#include "config/settings.h"
#include "config/sites.h"
#include "install/access.h"
#include "install/commit.h"
#include "install/remote_params.h"
#include "install/shortcuts.h"
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "runtime/run_control.h"
#include "tinylib/diaglog.h"
#include "tinylib/folders.h"
#include "transfer/manifest_source.h"
#include "transfer/mirror.h"
#include "transfer/delta.h"
#include "transfer/protocol.h"
#include "transfer/session.h"

// While mirror workers run the job repaints the progress at this interval,
// but looks for the end of the last worker much more often: a whole interval
// of waiting after the last object cost up to a fifth of a fast mirror install.
static const DWORD kPollIntervalMs = 200;
static const DWORD kWorkerCheckMs = 10;

static void SetPhase(int32_t phase) {
  Phase = phase;
  UpdateProgress(-1);
}

// Phase 1: the mirrors first, then the session for whatever they left.
static void DownloadPhase() {
  SetPhase(1);
  if (SiteCount > 0) {
    // Workers are counted in before their threads start, so a count of 0
    // here means every worker has ended and none can still take an item.
    StartMirrorWorkers();
    DWORD lastProgress = GetTickCount();
    do {
      CheckAbort();
      Sleep(kWorkerCheckMs);
      if (ActiveWorkers == 0 || GetTickCount() - lastProgress >= kPollIntervalMs) {
        UpdateProgress(SumReceived());
        lastProgress = GetTickCount();
      }
    } while (ActiveWorkers != 0);
  }
  // The session adds to what is done: files staged by an earlier run, or by
  // the mirrors, count from here on even when no mirror ran.
  UpdateProgress(SumReceived());
  for (int32_t i = 0; i < DownloadCount; i++) {
    if (DownloadList[i].State == kItemPending) DeltaOrWholeOverSession(DownloadList[i]);
  }
}

static void FinalizePhase() {
  HRESULT com = CoInitialize(nullptr);
  if (InstallSettings.ParamsCode[0] != 0) FetchRemoteParameters(InstallSettings.ParamsCode);
  InstallShortcuts();
  // Leave the apartment only if this call entered it (S_OK or S_FALSE).
  if (com == S_OK || com == S_FALSE) CoUninitialize();
}

unsigned long __stdcall InstallerJob(void*) {
  SetPhase(0);

  MakeFolders(InstallSettings.InstallDir);
  if (InstallSettings.InstallMode == kModeHosted) GrantUsersOnInstallDir();
  if (SessionChannel != 0) SendText(kVersionNotice);

  ListedManifest listed = BuildDownloadList();
  PrepareUpdate();
  PrepareDelta(listed);
  DiagLog("job: %d files to fetch, %d bytes, %d mirror sites", static_cast<int>(DownloadCount),
          static_cast<int>(BytesTotal.load()), static_cast<int>(SiteCount));
  if (DownloadCount > 0) DownloadPhase();
  NoteDeltaOutcome();

  // A window closed during the download closes the session socket, so the
  // pending requests fail at once instead of reaching their abort check.
  // End here: committing or finalizing an installation the user abandoned
  // could be cut by the process exit.
  CheckAbort();
  bool installed = FinishUpdate(listed);
  CheckAbort();
  SetPhase(2);
  // Shortcuts, the uninstaller and the link list only for a client that is
  // wholly there: never after a failure, not even one of a file the list
  // named unusably while the rest was committed.
  installed = installed && RunExitCode() == kExitSuccess;
  if (InstallSettings.FinalizeInstall && installed) FinalizePhase();
  else if (InstallSettings.FinalizeInstall) DiagLog("job: not finalizing after a failure");

  DiagLog("job: finished");
  NoteJobEnded();
  PostMessageA(ProgressWindow, WM_DESTROY, 0, 0);
  return 0;
}
