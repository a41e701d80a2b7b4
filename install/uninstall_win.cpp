// Uninstall in two runs. The run started by the uninstall shortcut has no
// folder: it copies the program to the temporary folder, starts that copy on
// its own folder and ends, so that nothing runs from the folder while it is
// removed. The copy then deletes the recorded shortcuts, every file of the
// folder and the folder itself.
//
// Only a folder that holds the link list "linkfiles" is treated as an
// installation: a mistyped or hostile "uninstall:" folder is left alone.
#include "install/uninstall.h"

#include <windows.h>

#include "config/settings.h"
#include "install/commit.h"
#include "install/folder_guard_win.h"
#include "install/install_text.h"
#include "manifest/reserved_names.h"
#include "manifest/manifest_text.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "tinylib/find_handle_win.h"
#include "tinylib/simple_file.h"
#include "tinylib/simple_strings.h"
#include "tinylib/text.h"
#include "transfer/transfer_buffers.h"

namespace {

const char kTempCopyName[] = "Pellinor.exe";
const char kEverything[] = "*.*";
// GetTempPathA is asked with this many characters of room.
enum { kTempPathCapacity = 250 };
// The first run may still be ending when the second deletes its program
// file, which Windows refuses while the image is mapped: delete passes are
// repeated for a bounded time.
enum { kDeletePasses = 20, kDeletePauseMs = 250 };

bool IsFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Deletes the .lnk files the link list names inside the desktops and start
// menus; other lines are kept. The list is a file anyone could have written,
// so a line must not reach any other file of the machine.
int32_t DeleteRecordedLinks(const char* listPath) {
  int32_t length = ReadFileToBuffer(listPath, WorkBuffer, kManifestReadLimit);
  TSimpleStrings lines(WorkBuffer, length);
  // On the stack: a static list would be stored in the program file.
  FolderList shortcutFolders;
  FolderList startupFolders;
  GatherShortcutFolders(&shortcutFolders, &startupFolders);
  int32_t deleted = 0;
  for (int32_t i = 0; i < lines.Count; i++) {
    const char* line = lines.Items[i];
    char link[kPathCapacity];
    if (!IsRecordedLink(line) || !CanonicalPath(line, link, sizeof link) ||
        !IsDeletableLink(link, shortcutFolders, startupFolders)) {
      if (line[0] != 0) DiagLog("uninstall: link list line \"%s\" kept (no shortcut folder)", line);
      continue;
    }
    if (DeleteFileA(link)) {
      deleted++;
      DiagLog("uninstall: deleted %s", link);
    } else {
      DiagLog("uninstall: deleting %s failed (error %lu)", link, GetLastError());
    }
  }
  return deleted;
}

// One pass over the folder's own files (subfolders are left alone). Returns
// the number of files that could not be deleted.
int32_t DeleteFolderFiles(const char* folder, int32_t* deleted) {
  char pattern[kPathCapacity];
  if (!JoinTextCut(pattern, sizeof pattern, folder, kEverything)) return 0;
  WIN32_FIND_DATAA entry;
  FindHandle search(pattern, &entry);
  if (!search.Valid()) return 0;
  int32_t left = 0;
  do {
    // "." and ".." are directories too.
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    char path[kPathCapacity];
    if (!JoinTextCut(path, sizeof path, folder, entry.cFileName)) {
      DiagLog("uninstall: %s%s is too long to delete", folder, entry.cFileName);
      left++;
    } else if (DeleteFileA(path)) {
      (*deleted)++;
    } else {
      DiagLog("uninstall: deleting %s failed (error %lu)", path, GetLastError());
      left++;
    }
  } while (search.Next(&entry));
  return left;
}

// Leaves the folder as the current directory of this process, which would
// keep Windows from removing it (the first run passed its own on).
void LeaveFolder() {
  char temp[kTempPathCapacity];
  DWORD length = GetTempPathA(sizeof temp, temp);
  if (length > 0 && length < sizeof temp) SetCurrentDirectoryA(temp);
}

}  // namespace

// Logs why a folder is not removed; the report stays "refused".
static RemovalReport Refuse(const RemovalReport& report, const char* folder, const char* why) {
  DiagLog("uninstall: \"%s\" %s; nothing removed", folder, why);
  return report;
}

RemovalReport RemoveInstallation(char* folder) {
  RemovalReport report = {};
  report.Refused = true;
  int length = TextLength(folder);
  if (length == 0 || (folder[length - 1] != '\\' && length + 1 >= kPathCapacity))
    return Refuse(report, folder, "is empty or too long");
  EnsureBackslash(folder);

  // Every spelling of a root or a system folder is refused here, before
  // the link list is even looked at.
  char full[kPathCapacity];
  if (CheckInstallFolder(folder, "uninstall", full, sizeof full) != kFolderAllowed) {
    NoteRunFailure("uninstall folder refused");
    return report;
  }
  int fullLength = TextLength(full);
  char listPath[kPathCapacity];
  if (!JoinTextCut(listPath, sizeof listPath, full, kLinkListName) || !IsFile(listPath))
    return Refuse(report, full, "holds no linkfiles, so it is no installation");
  if (WorkBuffer == nullptr) return Refuse(report, full, "cannot be read (no buffer)");
  report.Refused = false;
  DiagLog("uninstall: removing %s", full);
  LeaveFolder();

  report.LinksDeleted = DeleteRecordedLinks(listPath);
  // The staging place of an update, with whatever an interrupted one left.
  report.FilesLeft = RemoveStagingFolder(full);
  int32_t stagingLeft = report.FilesLeft;
  for (int pass = 0; pass < kDeletePasses; pass++) {
    if (pass > 0) Sleep(kDeletePauseMs);
    report.FilesLeft = DeleteFolderFiles(full, &report.FilesDeleted);
    if (report.FilesLeft == 0) break;
  }
  report.FilesLeft += stagingLeft;

  full[fullLength - 1] = 0;  // RemoveDirectoryA wants it without the backslash
  report.FolderRemoved = RemoveDirectoryA(full) != 0;
  DiagLog("uninstall: %d shortcuts, %d files deleted, %d left; folder %s",
          static_cast<int>(report.LinksDeleted), static_cast<int>(report.FilesDeleted),
          static_cast<int>(report.FilesLeft), report.FolderRemoved ? "removed" : "stays");
  return report;
}

bool RelaunchFromTemp(const char* ownPath) {
  if (ownPath == nullptr) ownPath = "";
  char temp[kTempPathCapacity];
  DWORD tempLength = GetTempPathA(sizeof temp, temp);
  char copy[kPathCapacity];
  char ownFolder[kPathCapacity];
  char command[kPathCapacity];
  const char* slash = FindCharLast(ownPath, '\\');
  int folderLength = slash != nullptr ? static_cast<int>(slash - ownPath) : 0;
  // Everything is built before anything is copied, so that a refusal leaves
  // nothing behind. A bare file name names no folder to remove.
  bool ok = tempLength > 0 && tempLength < sizeof temp && folderLength > 0 &&
            folderLength < kPathCapacity && JoinTextCut(copy, sizeof copy, temp, kTempCopyName);
  if (ok) {
    PutChars(ownFolder, ownPath, folderLength);
    ok = BuildRelaunchCommand(command, sizeof command, copy, ownFolder);
  }
  if (!ok) {
    DiagLog("uninstall: no folder in \"%s\", or paths too long; not relaunched", ownPath);
    return false;
  }
  // FALSE: an older copy from an earlier uninstall is replaced. A copy that
  // fails (the copy is this very program, or still running) is not started,
  // since the file there is not known to be this program.
  if (!CopyFileA(ownPath, copy, FALSE)) {
    DiagLog("uninstall: copying %s to %s failed (error %lu); not relaunched", ownPath, copy,
            GetLastError());
    return false;
  }
  // Not WinExec: it waits until the new process asks for window messages,
  // which the second run never does, so this run, and the lock on its own
  // program file in the folder, would outlive the removal.
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process;
  // No handles inherited, no flags, this environment and current folder
  // (the second run resolves a relative folder against it, then leaves it).
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    DiagLog("uninstall: starting %s failed (error %lu)", command, GetLastError());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  DiagLog("uninstall: started %s", command);
  return true;
}

void Uninstall() {
  if (InstallSettings.InstallDir[0] != 0) {
    RemovalReport report = RemoveInstallation(InstallSettings.InstallDir);
    if (!report.Refused && report.FilesLeft > 0) NoteRunFailure("files could not be removed");
  } else if (!RelaunchFromTemp(ArgCount > 0 ? ArgTable[0] : nullptr)) {
    NoteRunFailure("the removal could not be started");
  }
  ExitProcess(static_cast<UINT>(EndRun()));
}
