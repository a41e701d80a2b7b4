// Commit, recovery and clean-up of the staging place (see transfer/staging.h
// for what lies where).
#include "install/commit.h"

#include <windows.h>

#include <stdlib.h>

#include "config/install_path.h"
#include "config/settings.h"
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "tinylib/diaglog.h"
#include "tinylib/plain_path.h"
#include "tinylib/simple_file.h"
#include "tinylib/text.h"
#include "transfer/manifest_source.h"
#include "transfer/staging.h"

uint32_t TestCommitPauseMs;

namespace {

void PauseForTests() {
  if (TestCommitPauseMs != 0) Sleep(TestCommitPauseMs);
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

const char kNotRestored[] = "a file set aside by an earlier run could not be restored";

int InstallBase() { return TextLength(InstallSettings.InstallDir); }

// The folders of an installed file's path, held plain (made with make): a
// link or a file in the place of one is left alone, and nothing goes
// through it.
bool HoldTargetFolders(FolderChain* chain, const char* target, bool make) {
  return chain->Hold(target, InstallBase(), make ? kChainMake : 0);
}

// Removal of a whole tree: counts what could not be deleted.
struct Removal {
  int32_t Left;
  bool KeepSerial;
};

void RemoveVisited(void* context, const char* root, const char* relative, PathKind kind) {
  Removal* removal = static_cast<Removal*>(context);
  char path[kPathCapacity];
  if (!JoinTextCut(path, sizeof path, root, relative)) return;
  if (kind == kPathLink) {
    if (!RemoveLinkItself(path, kind)) removal->Left++;
    return;
  }
  if (kind == kPathFolder) {
    RemoveDirectoryA(path);  // a folder that keeps a file in use stays
    return;
  }
  // The rollback floor outlives every clean-up but the uninstall.
  if (removal->KeepSerial && EqualNoCase(relative, kSerialRecordName)) return;
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileA(path)) return;
  DiagLog("staging: cannot delete %s (error %lu)", path, GetLastError());
  if (!MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) removal->Left++;
}

int32_t FindItem(const char* name) {
  for (int32_t i = 0; i < DownloadCount; i++)
    if (EqualNoCase(DownloadList[i].Name, name)) return i;
  return -1;
}

// One entry in old\: an installed file that a commit moved aside.
void SettleSetAside(void*, const char* root, const char* relative, PathKind kind) {
  char old[kPathCapacity];
  if (!JoinTextCut(old, sizeof old, root, relative)) return;
  if (kind != kPathFile) {
    if (kind == kPathLink) RemoveLinkItself(old, kind);
    else RemoveDirectoryA(old);
    return;
  }
  char target[kPathCapacity];
  FolderChain targetFolders;
  if (InstallPath(target, relative) == nullptr) return;
  if (!HoldTargetFolders(&targetFolders, target, true)) {
    NoteRunFailure(kNotRestored);
    return;
  }
  if (PathKindAt(target) == kPathMissing) {
    // Cut between the two renames: the new file is staged complete (a
    // commit starts only then), so finish the replacement; without it, the
    // old file goes back rather than leave the client without it.
    int32_t index = FindItem(relative);
    char staged[kPathCapacity];
    FolderChain stagedFolders;
    bool forward = index >= 0 && DownloadList[index].State == kItemDone &&
                   StagedItemPath(staged, relative, kStagedNew) &&
                   HoldStagingFolders(&stagedFolders, staged, false) &&
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
    NoteRunFailure(kNotRestored);
    return;
  }
  DeleteSetAside(old);
}

// Whether the item's target can be replaced now, before anything is moved:
// a folder or a link in its place, a folder of its path that is a link or a
// file, and a file that another program holds without sharing its deletion
// (which neither a rename nor a replace would get past) all fail.
bool CanReplace(const DownloadItem& item, FolderChain* folders) {
  char target[kPathCapacity];
  if (InstallPath(target, item.Name) == nullptr || !HoldTargetFolders(folders, target, false))
    return false;
  PathKind kind = PathKindAt(target);
  if (kind == kPathMissing) return true;
  HANDLE probe = kind != kPathFile
                     ? INVALID_HANDLE_VALUE
                     : CreateFileA(target, DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    // A folder or a link is left alone.
    DiagLog("commit: %s cannot be replaced (a folder, a link, or held: error %lu)", item.Name,
            GetLastError());
    return false;
  }
  CloseHandle(probe);
  return true;
}

// Whether another program uses the file so that it cannot be written: a
// running program's file, for one.
bool InUse(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  CloseHandle(file);
  return false;
}

// What the commit did to an item, for a rollback.
enum { kNotMoved = 0, kMovedIn = 1, kMovedInOldAside = 2 };

// An item's three paths, their folders held: the target's below the install
// folder (a link there refused), the staged and the set-aside one in the
// staging folder (made anew there). Forward makes missing folders of the
// target and of old\, back those of new\. One record serves item after
// item, keeping what they share held.
struct ItemPlaces {
  char Target[kPathCapacity];
  char Staged[kPathCapacity];
  char Old[kPathCapacity];
  FolderChain TargetFolders, StagedFolders, OldFolders;

  bool Hold(const DownloadItem& item, bool forward) {
    return InstallPath(Target, item.Name) != nullptr &&
           StagedItemPath(Staged, item.Name, kStagedNew) &&
           StagedItemPath(Old, item.Name, kStagedOld) &&
           HoldTargetFolders(&TargetFolders, Target, forward) &&
           HoldStagingFolders(&StagedFolders, Staged, !forward) &&
           HoldStagingFolders(&OldFolders, Old, forward);
  }
};

// Moves one staged file over its target, keeping the installed file in
// old\ (until the whole set is in) for a rollback. Returns what was done, or
// -1 when the item failed with its target as it was.
int CommitItem(const DownloadItem& item, ItemPlaces& at) {
  if (item.State != kItemDone || !at.Hold(item, true)) return -1;  // only what is staged complete
  if (!StatStaged(at.Staged).Exists) {
    // Moved in already (by the recovery of this run): nothing left to do.
    if (IsUpToDate(at.Target, item.Size, item.Stamp)) return kNotMoved;
    DiagLog("commit: %s: staged file missing", item.Name);
    return -1;
  }
  PathKind kind = PathKindAt(at.Target);
  if (kind != kPathFile && kind != kPathMissing) return -1;  // never moved aside
  bool aside = kind == kPathFile;
  if (aside) {
    if (PathKindAt(at.Old) != kPathMissing) DeleteFileA(at.Old);  // a look costs less
    // A file nobody uses gets a second name in old\, then the new one takes
    // the target's name in one rename: the target is never missing. (A
    // failed replace leaves the target old; the extra name goes with old\.)
    if (!InUse(at.Target) && CreateHardLinkA(at.Old, at.Target, nullptr)) {
      if (!MoveFileExA(at.Staged, at.Target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return -1;
      NoteFileInstalled(item.Size);
      return kMovedInOldAside;
    }
    // In use (a running program's file can be renamed, not written), or a
    // volume without hard links: the old file is renamed into old\ first.
    if (!MoveFileExA(at.Target, at.Old, MOVEFILE_WRITE_THROUGH)) return -1;
    PauseForTests();
  }
  if (!MoveFileExA(at.Staged, at.Target, MOVEFILE_WRITE_THROUGH)) {
    DiagLog("commit: %s: cannot move the new file in (error %lu)", item.Name, GetLastError());
    if (aside) MoveFileExA(at.Old, at.Target, MOVEFILE_WRITE_THROUGH);
    return -1;
  }
  NoteFileInstalled(item.Size);
  return aside ? kMovedInOldAside : kMovedIn;
}

// Undoes what CommitItem did: the new file back to new\ (for the next run),
// the old one back in place. False when the old set could not be restored.
bool RollBackItem(const DownloadItem& item, int done, ItemPlaces& at) {
  return at.Hold(item, false) && MoveFileExA(at.Target, at.Staged, MOVEFILE_WRITE_THROUGH) &&
         (done != kMovedInOldAside || MoveFileExA(at.Old, at.Target, MOVEFILE_WRITE_THROUGH));
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
  FolderChain folders;
  // A link in the place of old\ goes as a link; only a plain folder is
  // walked.
  if (AreaFolder(old, InstallSettings.InstallDir, kStagedOld) &&
      HoldStagingFolders(&folders, old, false) && PathKindAt(old) == kPathFolder)
    WalkPlainTree(old, "", SettleSetAside, nullptr);
  LoadResumeRecord();
}

int32_t CommitStagedItems() {
  // What each item's commit did, for a rollback.
  uint8_t* done = static_cast<uint8_t*>(calloc(DownloadCount > 0 ? DownloadCount : 1, 1));
  if (done == nullptr) return DownloadCount;
  // Held from one item to the next: most share their folders.
  ItemPlaces at;
  int32_t failed = 0;
  for (int32_t i = 0; i < DownloadCount && failed == 0; i++) {
    PauseForTests();
    int result = CommitItem(DownloadList[i], at);
    if (result < 0) failed = 1;
    else done[i] = static_cast<uint8_t>(result);
  }
  if (failed != 0) {
    // The set is replaced whole or not at all: the files already moved in
    // go back to new\ for the next run, and their old ones come back.
    DiagLog("commit: a file could not be replaced; putting the old set back");
    for (int32_t i = DownloadCount - 1; i >= 0; i--) {
      if (done[i] == kNotMoved) continue;
      if (!RollBackItem(DownloadList[i], done[i], at)) {
        DiagLog("commit: %s could not be put back (error %lu)", DownloadList[i].Name, GetLastError());
        NoteRunFailure("the old files could not all be put back");
      }
    }
  }
  free(done);
  return failed;
}

int32_t RemoveStagingFolder(const char* installFolder, bool keepSerial) {
  ReleaseStagingRecordFolder();
  char root[kPathCapacity];
  if (!AreaFolder(root, installFolder, kStagedNew)) return 0;
  *FindCharLast(root, '\\') = 0;
  *(FindCharLast(root, '\\') + 1) = 0;  // "...\Pellinor.staging\"
  int length = TextLength(root);
  root[length - 1] = 0;
  PathKind kind = PathKindAt(root);
  if (kind == kPathMissing) return 0;
  // A link in its place is removed as a link: what it points to is no
  // part of this installation.
  if (kind != kPathFolder) return RemoveLinkItself(root, kind) ? 0 : 1;
  root[length - 1] = '\\';
  Removal removal = {0, keepSerial};
  FolderChain folders;
  if (!folders.Hold(root, TextLength(installFolder), 0)) return 1;
  WalkPlainTree(root, "", RemoveVisited, &removal);
  folders.Release();
  root[length - 1] = 0;
  SetFileAttributesA(root, FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(root);  // stays while it keeps the serial
  return removal.Left;
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
  // Every target first: a file that cannot be replaced fails the commit
  // before anything was moved.
  int32_t failed = 0;
  FolderChain folders;
  for (int32_t i = 0; i < DownloadCount; i++)
    if (!CanReplace(DownloadList[i], &folders)) failed++;
  folders.Release();
  if (failed == 0) failed = CommitStagedItems();
  if (failed > 0) {
    NoteFilesNotReplaced(failed);
    NoteRunFailure("files could not be replaced");
    return false;
  }
  // Only now is the signed release installed: from here on an older one is
  // a rollback. A failure to write it is logged; the files are installed all
  // the same.
  if (listed.AcceptedSerial != 0) SaveReleaseSerial(listed.AcceptedSerial);
  // Everything listed is in place: what is still staged belongs to no
  // entry, and the old files are no longer needed.
  RemoveStagingFolder(InstallSettings.InstallDir, true);
  return true;
}
