// The main run: configuration, then either the refusal or the window, the
// installer job and the message loop.
#include "app/job.h"

#include <windows.h>

#include "app/run_control.h"
#include "app/window.h"
#include "config/config.h"
#include "config/settings.h"
#include "install/folder_guard_win.h"
#include "install/uninstall.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "tinylib/text.h"
#include "tinylib/text_builder.h"
#include "transfer/session.h"

// The install folder as every later step uses it: canonical, and never a
// root or a system folder, whose files the uninstall would delete. A refused
// folder ends the run before anything is connected, made or written; the
// box says why (no owner, the system's default caption, like "Server
// Unavailable").
static bool AcceptInstallDir() {
  char canonical[kPathCapacity];
  FolderVerdict verdict = CheckInstallFolder(InstallSettings.InstallDir, "install", canonical,
                                             sizeof canonical);
  if (verdict == kFolderAllowed) {
    DiagLog("install: folder %s", canonical);
    PutText(InstallSettings.InstallDir, canonical);
    return true;
  }
  NoteRunFailure("install folder refused");
  if (InstallSettings.Quiet) return false;
  char message[kPathCapacity + 64];
  TextBuilder(message, sizeof message)
      .Text("Cannot install into ")
      .Text(InstallSettings.InstallDir)
      .Text(": it ")
      .Text(FolderVerdictText(verdict))
      .Text(".");
  MessageBoxA(nullptr, message, nullptr, MB_OK | MB_ICONERROR);
  return false;
}

// A failed installation that showed its window says so, in one box in the
// style of "Server Unavailable", naming what failed and where the log is.
static void ReportFailure() {
  if (RunExitCode() != kExitInstallFailed || InstallSettings.Quiet) return;
  char log[kPathCapacity];
  DWORD n = GetEnvironmentVariableA("PELLINOR_LOG", log, sizeof log);
  if (n == 0 || n >= sizeof log) log[0] = 0;
  char text[kFailureTextCapacity];
  FormatFailureText(text, sizeof text, log);
  MessageBoxA(nullptr, text, nullptr, MB_OK);
}

void RunInstaller() {
  const char* source = "command line";
  int32_t argumentCount = Tokenize();
  // Before the install folder is resolved, so the folder reaches the
  // uninstall as the keywords left it; only the command line asks for it.
  if (InstallSettings.UninstallRequested) Uninstall();
  if (argumentCount <= 1) {
    ReadEmbeddedArguments();
    source = InstallSettings.EmbeddedConfig ? "INSTDATA" : "file name";
  }
  ResolveInstallDir();
  LogSettings(source);
  if (InstallSettings.InstallDir[0] != 0 && !AcceptInstallDir()) return;

  // A manifest URL means no session, even when a host is known (the hosted
  // presets pass the host to the client only).
  if (InstallSettings.ManifestUrl[0] == 0 && InstallSettings.HostName[0] != 0) {
    if (ConnectSession() != 0) {
      DiagLog("run: cannot connect to %s:%d", InstallSettings.HostName,
              static_cast<int>(InstallSettings.Port));
      NoteRunFailure("session host unavailable");
      // No owner, the system's default caption. The window is never shown
      // and nothing is started, so there is nothing to shut down.
      if (!InstallSettings.Quiet) MessageBoxA(nullptr, "Server Unavailable", nullptr, MB_OK);
      return;
    }
  }

  if (ProgressWindow == nullptr) {
    // No window (no display, or the system refused it): nothing would ever
    // post the end to a message loop, and nobody could close it. Do the work
    // here instead, then shut down as the window would have.
    DiagLog("run: no progress window (error %lu); working without one", GetLastError());
    if (InstallSettings.InstallDir[0] != 0) InstallerJob(nullptr);
    else NoteRunFailure("no install folder");
    ShutdownTransfer();
    return;
  }

  ShowWindow(ProgressWindow, SW_SHOWNORMAL);
  if (InstallSettings.InstallDir[0] != 0) {
    StartWorker(InstallerJob, nullptr);  // the job always holds the first slot
  } else {
    DiagLog("run: no install folder; no job started");
    NoteRunFailure("no install folder");
  }

  // No keyboard translation: the window has no controls.
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  ReportFailure();
}
