// Commit, recovery and clean-up of the staging place (see transfer/staging.h
// for what lies where).
#include "install/commit.h"

#include <windows.h>

#include "config/install_path.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "tinylib/find_handle_win.h"
#include "tinylib/folders.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "transfer/manifest_source.h"
#include "transfer/staging.h"

namespace {

const DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Test hook: PELLINOR_TEST_COMMIT_PAUSE_MS makes the commit wait that long
// before each file and between the two renames of a file in use, so that a
// test can end the process inside the commit. Unset, it costs one lookup.
DWORD CommitPause() {
  static DWORD pause = 0xFFFFFFFF;
  if (pause == 0xFFFFFFFF) {
    char text[12];
    DWORD n = GetEnvironmentVariableA("PELLINOR_TEST_COMMIT_PAUSE_MS", text, sizeof text);
    pause = (n > 0 && n < sizeof text) ? DecimalOf(text) : 0;
  }
  return pause;
}

void PauseForTests() {
  if (CommitPause() != 0) Sleep(CommitPause());
}

void MakeFoldersFor(const char* path) {
  char folders[kPathCapacity];
  if (CopyTextCut(folders, sizeof folders, path)) MakeFolders(folders);
}

// Deletes a file now, or at the next restart when it is in use. The next
// run tries again in either case.
void DeleteSetAside(const char* path) {
  if (DeleteFileA(path)) return;
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return;
  BOOL later = MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  DiagLog("commit: %s still in use (error %lu); %s", path, error,
          later ? "deleted at the next restart" : "left for the next run");
}

// The files below root (a folder path ending in '\'): visit gets each file's
// path relative to root, then each folder's after its content. Paths that
// do not fit are skipped.
typedef void (*Visitor)(void* context, const char* root, const char* relative, bool folder);

void Walk(const char* root, const char* relative, Visitor visit, void* context) {
  char pattern[kPathCapacity];
  pattern[0] = 0;
  if (!AppendTextCut(pattern, sizeof pattern, root) ||
      !AppendTextCut(pattern, sizeof pattern, relative) ||
      !AppendTextCut(pattern, sizeof pattern, "*"))
    return;
  WIN32_FIND_DATAA entry;
  FindHandle search(pattern, &entry);
  if (!search.Valid()) return;
  do {
    const char* name = entry.cFileName;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    char inner[kPathCapacity];
    if (!JoinTextCut(inner, sizeof inner, relative, name)) continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!AppendTextCut(inner, sizeof inner, "\\")) continue;
      Walk(root, inner, visit, context);
      visit(context, root, inner, true);
    } else {
      visit(context, root, inner, false);
    }
  } while (search.Next(&entry));
}

// Removal of a whole tree: counts what could not be deleted.
void RemoveVisited(void* context, const char* root, const char* relative, bool folder) {
  char path[kPathCapacity];
  if (!JoinTextCut(path, sizeof path, root, relative)) return;
  if (folder) {
    RemoveDirectoryA(path);  // a folder that keeps a file in use stays
    return;
  }
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileA(path)) return;
  DiagLog("staging: cannot delete %s (error %lu)", path, GetLastError());
  if (!MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) ++*static_cast<int32_t*>(context);
}

int32_t FindItem(const char* name) {
  for (int32_t i = 0; i < DownloadCount; i++)
    if (EqualNoCase(DownloadList[i].Name, name)) return i;
  return -1;
}

// One file in old\: an installed file that a commit moved aside.
void SettleSetAside(void*, const char* root, const char* relative, bool folder) {
  char old[kPathCapacity];
  if (!JoinTextCut(old, sizeof old, root, relative)) return;
  if (folder) {
    RemoveDirectoryA(old);
    return;
  }
  char target[kPathCapacity];
  if (InstallPath(target, relative) == nullptr) return;
  if (GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES) {
    // Cut between the two renames: the new file is staged complete (a
    // commit starts only then), so finish the replacement; without it, the
    // old file goes back rather than leave the client without it.
    int32_t index = FindItem(relative);
    char staged[kPathCapacity];
    bool forward = index >= 0 && DownloadList[index].State == kItemDone &&
                   StagedItemPath(staged, relative, kStagedNew) &&
                   MoveFileExA(staged, target, MOVEFILE_WRITE_THROUGH);
    if (forward) {
      DiagLog("commit: %s: finished the replacement an earlier run began", relative);
      NoteFileInstalled(DownloadList[index].Size);
      return DeleteSetAside(old);
    }
    if (MoveFileExA(old, target, MOVEFILE_WRITE_THROUGH)) {
      DiagLog("commit: %s: put the set-aside file back", relative);
      return;
    }
    DiagLog("commit: %s is missing and cannot be restored (error %lu)", relative, GetLastError());
    NoteRunFailure("a file set aside by an earlier run could not be restored");
    return;
  }
  DeleteSetAside(old);
}

// Moves one staged file over its target. True when the target is now the
// new file.
bool CommitItem(const DownloadItem& item) {
  char target[kPathCapacity];
  char staged[kPathCapacity];
  if (item.State != kItemDone) return false;  // only what is staged complete
  if (InstallPath(target, item.Name) == nullptr || !StagedItemPath(staged, item.Name, kStagedNew))
    return false;
  if (!StatStaged(staged).Exists) {
    // Moved in already (by the recovery of this run): nothing left to do.
    if (IsUpToDate(target, item.Size, item.Stamp)) return true;
    DiagLog("commit: %s: staged file missing", item.Name);
    return false;
  }
  MakeFoldersFor(target);
  if (MoveFileExA(staged, target, kReplace)) {
    NoteFileInstalled(item.Size);
    return true;
  }
  DWORD error = GetLastError();
  if (GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES) {
    DiagLog("commit: %s: cannot move in (error %lu)", item.Name, error);
    return false;
  }
  // In use (the error varies with how it is held): a running program's file
  // cannot be overwritten, but it can be renamed. Move it aside, then move
  // the new one in.
  char old[kPathCapacity];
  if (!StagedItemPath(old, item.Name, kStagedOld)) return false;
  MakeFoldersFor(old);
  DeleteFileA(old);
  if (!MoveFileExA(target, old, MOVEFILE_WRITE_THROUGH)) {
    DiagLog("commit: %s: cannot replace (error %lu) nor move aside (error %lu)", item.Name, error,
            GetLastError());
    return false;
  }
  PauseForTests();
  if (!MoveFileExA(staged, target, MOVEFILE_WRITE_THROUGH)) {
    DiagLog("commit: %s: cannot move the new file in (error %lu); old file put back", item.Name,
            GetLastError());
    MoveFileExA(old, target, MOVEFILE_WRITE_THROUGH);
    return false;
  }
  DiagLog("commit: %s was in use; replaced, old file set aside", item.Name);
  NoteFileInstalled(item.Size);
  DeleteSetAside(old);
  return true;
}

bool AreaFolder(char* buffer, const char* installFolder, StagingArea area) {
  return FormStagingPath(buffer, kPathCapacity, installFolder, area, nullptr);
}

}  // namespace

void PrepareUpdate() {
  if (DownloadCount > 0) PrepareStaging();
  int32_t reused = ReuseStagedFiles();
  for (int32_t i = 0; i < reused; i++) NoteFileStaged(kSourceStaging);
  char old[kPathCapacity];
  if (AreaFolder(old, InstallSettings.InstallDir, kStagedOld) &&
      GetFileAttributesA(old) != INVALID_FILE_ATTRIBUTES)
    Walk(old, "", SettleSetAside, nullptr);
  LoadResumeRecord();
}

int32_t CommitStagedItems() {
  int32_t failed = 0;
  for (int32_t i = 0; i < DownloadCount; i++) {
    PauseForTests();
    if (!CommitItem(DownloadList[i])) failed++;
  }
  return failed;
}

int32_t RemoveStagingFolder(const char* installFolder) {
  char root[kPathCapacity];
  if (!AreaFolder(root, installFolder, kStagedNew)) return 0;
  *FindCharLast(root, '\\') = 0;
  *(FindCharLast(root, '\\') + 1) = 0;  // "...\Pellinor.staging\"
  if (GetFileAttributesA(root) == INVALID_FILE_ATTRIBUTES) return 0;
  int32_t left = 0;
  Walk(root, "", RemoveVisited, &left);
  root[TextLength(root) - 1] = 0;
  SetFileAttributesA(root, FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(root);
  return left;
}

bool FinishUpdate(const ListedManifest& listed) {
  if (!listed.Found) {
    NoteRunFailure("no file list from any source");
    return false;
  }
  int32_t missing = 0;
  for (int32_t i = 0; i < DownloadCount; i++) {
    if (DownloadList[i].State == kItemDone) continue;
    if (missing == 0) DiagLog("commit: not all files arrived; nothing is replaced");
    DiagLog("commit: not fetched: %s", DownloadList[i].Name);
    missing++;
  }
  if (missing > 0) {
    NoteFilesNotFetched(missing);
    NoteRunFailure("files could not be downloaded");
    return false;
  }
  if (DownloadCount > 0) DiagLog("commit: replacing %d files", static_cast<int>(DownloadCount));
  int32_t failed = CommitStagedItems();
  if (failed > 0) {
    NoteFilesNotReplaced(failed);
    NoteRunFailure("files could not be replaced");
    return false;
  }
  // Everything listed is in place: what is still staged belongs to no entry.
  RemoveStagingFolder(InstallSettings.InstallDir);
  // Only now is the signed release installed: from here on an older one is
  // a rollback. (Written after the clearing, which would take it along.)
  // A failure to write it is logged; the files are installed all the same.
  if (listed.AcceptedSerial != 0) SaveReleaseSerial(listed.AcceptedSerial);
  return true;
}
