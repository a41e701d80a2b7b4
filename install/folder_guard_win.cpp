// Gathers what the folder guard decides on: full and long paths from the
// file system, and the folders the shell knows. The decisions themselves are
// in folder_guard.cpp.
#include "install/folder_guard_win.h"

#include <windows.h>
#include <shlobj.h>

#include "tinylib/diaglog.h"
#include "tinylib/text.h"

namespace {

// Never installed into, never uninstalled from: the folders whose top-level
// files belong to the system or to the user.
const int kKnownCsidls[] = {
    CSIDL_WINDOWS,          CSIDL_SYSTEM,           CSIDL_SYSTEMX86,
    CSIDL_PROGRAM_FILES,    CSIDL_PROGRAM_FILESX86, CSIDL_PROGRAM_FILES_COMMON,
    CSIDL_PROGRAM_FILES_COMMONX86,
    CSIDL_COMMON_APPDATA,   CSIDL_PROFILE,          CSIDL_APPDATA,
    CSIDL_LOCAL_APPDATA,    CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY,
    CSIDL_STARTMENU,        CSIDL_COMMON_STARTMENU, CSIDL_PROGRAMS,
    CSIDL_COMMON_PROGRAMS,  CSIDL_STARTUP,          CSIDL_COMMON_STARTUP,
    CSIDL_PERSONAL,         CSIDL_COMMON_DOCUMENTS, CSIDL_MYMUSIC,
    CSIDL_MYPICTURES,       CSIDL_MYVIDEO,          CSIDL_FAVORITES,
    CSIDL_FONTS,            CSIDL_INTERNET_CACHE,   CSIDL_COMMON_ADMINTOOLS,
};
// The same folders as the environment names them, for the views the shell
// does not give a 32-bit program (the 64-bit program files) and for the
// all-users roots.
const char* const kKnownVariables[] = {
    "ProgramW6432", "CommonProgramW6432", "ProgramFiles", "ProgramFiles(x86)",
    "ProgramData",  "ALLUSERSPROFILE",    "PUBLIC",       "USERPROFILE",
    "SystemRoot",   "windir",             "TEMP",         "TMP",
};

const int kShortcutCsidls[] = {CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY,
                               CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU};
const int kStartupCsidls[] = {CSIDL_STARTUP, CSIDL_COMMON_STARTUP, CSIDL_ALTSTARTUP,
                              CSIDL_COMMON_ALTSTARTUP};

void AddCanonical(FolderList* list, const char* path) {
  char canonical[kPathCapacity];
  if (path[0] != 0 && CanonicalPath(path, canonical, sizeof canonical)) AddFolder(list, canonical);
}

// The folder's path even when it does not exist yet: an install must not
// create a known folder either.
void AddShellFolder(FolderList* list, int csidl) {
  char path[MAX_PATH];
  if (SUCCEEDED(SHGetFolderPathA(nullptr, csidl | CSIDL_FLAG_DONT_VERIFY, nullptr,
                                 SHGFP_TYPE_CURRENT, path)))
    AddCanonical(list, path);
}

void AddVariable(FolderList* list, const char* name) {
  char value[kPathCapacity];
  DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length > 0 && length < sizeof value) AddCanonical(list, value);
}

// Which folder a path opens, whatever its text: a junction, a symbolic link
// or another drive's view of the same folder gives the same identity.
struct FolderIdentity {
  DWORD Volume, IndexHigh, IndexLow;
};

bool IdentityOf(const char* path, FolderIdentity* id) {
  // Only attributes are read; backup semantics opens a folder.
  HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  id->Volume = info.dwVolumeSerialNumber;
  id->IndexHigh = info.nFileIndexHigh;
  id->IndexLow = info.nFileIndexLow;
  return true;
}

bool SameIdentity(const FolderIdentity& id, const char* path) {
  FolderIdentity other;
  return IdentityOf(path, &other) && other.Volume == id.Volume &&
         other.IndexHigh == id.IndexHigh && other.IndexLow == id.IndexLow;
}

// The decision on a folder that exists, by what it is rather than how it is
// spelled: one of the known folders, a folder above one, or a drive root.
// *which is the index of the known folder that decided, or -1.
FolderVerdict JudgeByIdentity(const char* canonical, const FolderList& known, int32_t* which) {
  *which = -1;
  FolderIdentity id;
  if (!IdentityOf(canonical, &id)) return kFolderAllowed;  // made new: no alias of anything
  for (int32_t i = 0; i < known.Count; i++) {
    if (SameIdentity(id, known.Paths[i])) {
      *which = i;
      return kFolderKnown;
    }
  }
  FolderList above;
  ClearFolders(&above);
  for (int32_t i = 0; i < known.Count; i++) AddAncestors(&above, known.Paths[i]);
  for (int32_t i = 0; i < above.Count; i++) {
    if (SameIdentity(id, above.Paths[i]))
      return RootOf(above.Paths[i]) == kRootNone ? kFolderHoldsKnown : kFolderDriveRoot;
  }
  // Fixed and network drives only: asking a removable drive without its
  // medium may make the system ask the user for it.
  DWORD drives = GetLogicalDrives();
  char root[4] = "A:\\";
  for (int letter = 0; letter < 26; letter++) {
    if ((drives & (1u << letter)) == 0) continue;
    root[0] = static_cast<char>('A' + letter);
    UINT type = GetDriveTypeA(root);
    if (type != DRIVE_FIXED && type != DRIVE_REMOTE && type != DRIVE_RAMDISK) continue;
    if (SameIdentity(id, root)) return kFolderDriveRoot;
  }
  return kFolderAllowed;
}

}  // namespace

bool CanonicalPath(const char* path, char* dst, size_t capacity, int* existing) {
  if (existing != nullptr) *existing = 0;
  if (capacity > 0) dst[0] = 0;
  char stripped[kPathCapacity];
  if (!StripPathPrefix(path, stripped, sizeof stripped) || stripped[0] == 0) return false;
  char full[kPathCapacity];
  DWORD length = GetFullPathNameA(stripped, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  char canonical[kPathCapacity];
  if (!NormalizeFullPath(full, canonical, sizeof canonical)) return false;

  // GetLongPathNameA needs a path that exists: take the longest existing
  // part, expand it, and put the rest back behind it.
  int cut = TextLength(canonical);
  char part[kPathCapacity];
  char expanded[kPathCapacity];
  for (;;) {
    PutChars(part, canonical, cut);
    DWORD got = GetLongPathNameA(part, expanded, sizeof expanded);
    if (got > 0 && got < sizeof expanded) {
      char head[kPathCapacity];
      if (!NormalizeFullPath(expanded, head, sizeof head)) return false;
      bool ok = CopyTextCut(dst, capacity, head);
      if (ok && canonical[cut] != 0) {
        if (RootOf(head) != kRootDrive) ok = AppendTextCut(dst, capacity, "\\");
        ok = ok && AppendTextCut(dst, capacity, canonical + cut + 1);
      }
      if (!ok) {
        if (capacity > 0) dst[0] = 0;
        return false;
      }
      if (existing != nullptr) *existing = TextLength(head);
      return true;
    }
    while (cut > 0 && canonical[cut - 1] != '\\') cut--;
    if (cut <= 3) break;  // nothing of it exists but the root
    cut--;                // before the separator
  }
  if (CopyTextCut(dst, capacity, canonical)) return true;
  if (capacity > 0) dst[0] = 0;
  return false;
}

void GatherKnownFolders(FolderList* known) {
  ClearFolders(known);
  for (int csidl : kKnownCsidls) AddShellFolder(known, csidl);
  for (const char* name : kKnownVariables) AddVariable(known, name);
  char path[kPathCapacity];
  char extra[kPathCapacity];
  UINT length = GetWindowsDirectoryA(path, sizeof path);
  if (length > 0 && length < sizeof path) {
    AddCanonical(known, path);
    // What a 32-bit program sees as the 64-bit system folder.
    if (JoinTextCut(extra, sizeof extra, path, "\\Sysnative")) AddCanonical(known, extra);
  }
  length = GetSystemDirectoryA(path, sizeof path);
  if (length > 0 && length < sizeof path) AddCanonical(known, path);
  DWORD tempLength = GetTempPathA(sizeof path, path);
  if (tempLength > 0 && tempLength < sizeof path) AddCanonical(known, path);
  // The folder of every profile, and the downloads, which no CSIDL names.
  if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PROFILE | CSIDL_FLAG_DONT_VERIFY, nullptr,
                                 SHGFP_TYPE_CURRENT, path))) {
    if (JoinTextCut(extra, sizeof extra, path, "\\..")) AddCanonical(known, extra);
    if (JoinTextCut(extra, sizeof extra, path, "\\Downloads")) AddCanonical(known, extra);
  }
}

void GatherShortcutFolders(FolderList* shortcuts, FolderList* excluded) {
  ClearFolders(shortcuts);
  ClearFolders(excluded);
  for (int csidl : kShortcutCsidls) AddShellFolder(shortcuts, csidl);
  for (int csidl : kStartupCsidls) AddShellFolder(excluded, csidl);
}

FolderVerdict CheckInstallFolder(const char* folder, const char* what, char* dst,
                                 size_t capacity) {
  FolderVerdict verdict = kFolderNoFullPath;
  int32_t which = -1;
  // On the stack: a static list would be stored in the program file.
  FolderList known;
  char canonical[kPathCapacity];
  int existing = 0;
  if (CanonicalPath(folder, canonical, sizeof canonical, &existing)) {
    GatherKnownFolders(&known);
    verdict = JudgeFolder(canonical, known, &which);
    if (verdict == kFolderAllowed && HoldsShortNameComponent(canonical + existing))
      verdict = kFolderShortName;
    if (verdict == kFolderAllowed) verdict = JudgeByIdentity(canonical, known, &which);
  }
  if (verdict == kFolderAllowed) {
    // Roots are refused, so an allowed folder never ends in a separator.
    if (CopyTextCut(dst, capacity, canonical) && AppendTextCut(dst, capacity, "\\"))
      return kFolderAllowed;
    verdict = kFolderNoFullPath;  // too long with its separator
  }
  if (capacity > 0) dst[0] = 0;
  if (which >= 0) {
    DiagLog("%s: folder \"%s\" (%s) %s: %s; refused", what, folder, canonical,
            FolderVerdictText(verdict), known.Paths[which]);
  } else {
    DiagLog("%s: folder \"%s\" %s; refused", what, folder, FolderVerdictText(verdict));
  }
  return verdict;
}
