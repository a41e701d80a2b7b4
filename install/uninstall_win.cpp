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

#include "app/run_control.h"
#include "config/settings.h"
#include "install/install_text.h"
#include "manifest/download_list.h"
#include "tinylib/diaglog.h"
#include "tinylib/simple_strings.h"
#include "tinylib/text.h"

namespace {

const char kLinkListName[] = "linkfiles";
const char kTempCopyName[] = "Pellinor.exe";
const char kEverything[] = "*.*";
// GetTempPathA is asked with this many characters of room.
enum { kTempPathCapacity = 250 };
// The first run may still be ending when the second deletes its program
// file, which Windows refuses while the image is mapped: delete passes are
// repeated for a bounded time.
enum { kDeletePasses = 20, kDeletePauseMs = 250 };

class FindHandle {
 public:
  explicit FindHandle(HANDLE h) : h_(h) {}
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

bool JoinPath(char* dst, size_t capacity, const char* first, const char* second) {
  dst[0] = 0;
  return AppendTextCut(dst, capacity, first) && AppendTextCut(dst, capacity, second);
}

bool IsFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Deletes the .lnk files the link list names; other lines are skipped.
int32_t DeleteRecordedLinks(const char* listPath) {
  int32_t length = ReadFileToBuffer(listPath, WorkBuffer);
  TSimpleStrings lines(WorkBuffer, length);
  int32_t deleted = 0;
  for (int32_t i = 0; i < lines.Count; i++) {
    const char* line = lines.Items[i];
    if (!IsRecordedLink(line)) {
      if (line[0] != 0) DiagLog("uninstall: link list line \"%s\" skipped", line);
      continue;
    }
    if (DeleteFileA(line)) {
      deleted++;
      DiagLog("uninstall: deleted %s", line);
    } else {
      DiagLog("uninstall: deleting %s failed (error %lu)", line, GetLastError());
    }
  }
  return deleted;
}

// One pass over the folder's own files (subfolders are left alone). Returns
// the number of files that could not be deleted.
int32_t DeleteFolderFiles(const char* folder, int32_t* deleted) {
  char pattern[kPathCapacity];
  if (!JoinPath(pattern, sizeof pattern, folder, kEverything)) return 0;
  WIN32_FIND_DATAA entry;
  FindHandle search(FindFirstFileA(pattern, &entry));
  if (search.get() == INVALID_HANDLE_VALUE) return 0;
  int32_t left = 0;
  do {
    // "." and ".." are directories too.
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    char path[kPathCapacity];
    if (!JoinPath(path, sizeof path, folder, entry.cFileName)) {
      DiagLog("uninstall: %s%s is too long to delete", folder, entry.cFileName);
      left++;
    } else if (DeleteFileA(path)) {
      (*deleted)++;
    } else {
      DiagLog("uninstall: deleting %s failed (error %lu)", path, GetLastError());
      left++;
    }
  } while (FindNextFileA(search.get(), &entry));
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

RemovalReport RemoveInstallation(char* folder) {
  RemovalReport report = {};
  report.Refused = true;
  int length = TextLength(folder);
  if (length == 0 || (folder[length - 1] != '\\' && length + 1 >= kPathCapacity)) {
    DiagLog("uninstall: folder \"%s\" empty or too long; nothing removed", folder);
    return report;
  }
  EnsureBackslash(folder);

  char full[kPathCapacity];
  DWORD fullLength = GetFullPathNameA(folder, sizeof full, full, nullptr);
  if (fullLength == 0 || fullLength >= sizeof full) {
    DiagLog("uninstall: no full path for %s; nothing removed", folder);
    return report;
  }
  if (fullLength <= 3) {
    DiagLog("uninstall: %s is a drive root; nothing removed", full);
    return report;
  }
  char listPath[kPathCapacity];
  if (!JoinPath(listPath, sizeof listPath, full, kLinkListName) || !IsFile(listPath)) {
    DiagLog("uninstall: %s holds no %s, so it is no installation; nothing removed", full,
            kLinkListName);
    return report;
  }
  if (WorkBuffer == nullptr) {
    DiagLog("uninstall: no buffer for the link list; nothing removed");
    return report;
  }
  report.Refused = false;
  DiagLog("uninstall: removing %s", full);
  LeaveFolder();

  report.LinksDeleted = DeleteRecordedLinks(listPath);
  for (int pass = 0; pass < kDeletePasses; pass++) {
    if (pass > 0) Sleep(kDeletePauseMs);
    report.FilesLeft = DeleteFolderFiles(full, &report.FilesDeleted);
    if (report.FilesLeft == 0) break;
  }

  full[fullLength - 1] = 0;  // RemoveDirectoryA wants it without the backslash
  report.FolderRemoved = RemoveDirectoryA(full) != 0;
  DiagLog("uninstall: %d shortcuts, %d files deleted, %d left; folder %s",
          static_cast<int>(report.LinksDeleted), static_cast<int>(report.FilesDeleted),
          static_cast<int>(report.FilesLeft), report.FolderRemoved ? "removed" : "stays");
  return report;
}

bool RelaunchFromTemp(const char* ownPath) {
  char temp[kTempPathCapacity];
  DWORD tempLength = GetTempPathA(sizeof temp, temp);
  char copy[kPathCapacity];
  if (tempLength == 0 || tempLength >= sizeof temp ||
      !JoinPath(copy, sizeof copy, temp, kTempCopyName)) {
    DiagLog("uninstall: no usable temporary folder; not relaunched");
    return false;
  }
  const char* slash = ownPath != nullptr ? FindCharLast(ownPath, '\\') : nullptr;
  if (slash == nullptr || slash == ownPath) {
    DiagLog("uninstall: own path \"%s\" names no folder; nothing to uninstall",
            ownPath != nullptr ? ownPath : "");
    return false;
  }
  char ownFolder[kPathCapacity];
  int folderLength = static_cast<int>(slash - ownPath);
  if (folderLength >= kPathCapacity) {
    DiagLog("uninstall: own folder longer than %d characters; not relaunched", kPathCapacity - 1);
    return false;
  }
  PutChars(ownFolder, ownPath, folderLength);

  // Built before anything is copied, so that a refusal leaves nothing behind.
  char command[kPathCapacity];
  if (!BuildRelaunchCommand(command, sizeof command, copy, ownFolder)) {
    DiagLog("uninstall: command line for %s longer than %d characters; not relaunched", ownFolder,
            kPathCapacity - 1);
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
  UINT started = WinExec(command, SW_SHOWNORMAL);
  DiagLog("uninstall: started %s (%u)", command, started);
  return started > 31;  // WinExec reports errors as values up to 31
}

void Uninstall() {
  if (InstallSettings.InstallDir[0] != 0) {
    RemoveInstallation(InstallSettings.InstallDir);
  } else {
    RelaunchFromTemp(ArgCount > 0 ? ArgTable[0] : nullptr);
  }
  ExitProcess(0);
}
