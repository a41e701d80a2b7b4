// Canonical paths and the decisions made on them.
#include "install/folder_guard.h"

#include "tinylib/file_names.h"
#include "tinylib/text.h"

namespace {

bool IsDriveLetter(char c) {
  char folded = FoldCase(c);
  return folded >= 'A' && folded <= 'Z';
}

// "X:" followed by a separator or the end.
bool StartsWithDrive(const char* text) {
  return IsDriveLetter(text[0]) && text[1] == ':' && (text[2] == 0 || IsSeparator(text[2]));
}

// The text is a whole component of n characters of only dots and blanks,
// of which at least one is a dot.
bool IsOnlyDots(const char* part, int n, int* dots) {
  *dots = 0;
  for (int i = 0; i < n; i++) {
    if (part[i] == '.') {
      (*dots)++;
    } else if (part[i] != ' ') {
      return false;
    }
  }
  return true;
}

bool Fail(char* dst, size_t capacity) {
  if (capacity > 0) dst[0] = 0;
  return false;
}

}  // namespace

bool StripPathPrefix(const char* path, char* dst, size_t capacity) {
  if (path == nullptr) return Fail(dst, capacity);
  const char* rest = path;
  bool prefixed = IsSeparator(path[0]) &&
                  ((IsSeparator(path[1]) && (path[2] == '?' || path[2] == '.')) ||
                   (path[1] == '?' && path[2] == '?')) &&
                  IsSeparator(path[3]);
  if (prefixed) {
    rest = path + 4;
    if (StartsWithDrive(rest)) {
      // "\\?\C:\x" is "C:\x".
    } else if (EqualNoCaseN(rest, "UNC", 3) && IsSeparator(rest[3]) && rest[4] != 0 &&
               !IsSeparator(rest[4])) {
      // "\\?\UNC\server\share" is "\\server\share": keep one separator of
      // the prefix and the one after UNC.
      if (capacity < 3) return Fail(dst, capacity);
      dst[0] = '\\';
      dst[1] = '\\';
      dst[2] = 0;
      if (!AppendTextCut(dst, capacity, rest + 4)) return Fail(dst, capacity);
      return true;
    } else {
      return Fail(dst, capacity);  // a volume, a pipe, a device: no folder
    }
  }
  if (!CopyTextCut(dst, capacity, rest)) return Fail(dst, capacity);
  return true;
}

bool NormalizeFullPath(const char* path, char* dst, size_t capacity) {
  if (path == nullptr || capacity == 0) return Fail(dst, capacity);
  char work[kPathCapacity];
  if (!CopyTextCut(work, sizeof work, path)) return Fail(dst, capacity);

  char out[kPathCapacity];
  size_t length = 0;
  size_t floor = 0;  // what ".." never takes back: the drive or the share
  const char* p = work;
  if (StartsWithDrive(work)) {
    out[0] = work[0];
    out[1] = ':';
    out[2] = '\\';
    length = floor = 3;
    p = work + 2;
  } else if (IsSeparator(work[0]) && IsSeparator(work[1])) {
    // "\\server\share": both names are the root; neither may be empty, ".",
    // or "..".
    out[0] = '\\';
    out[1] = '\\';
    length = 2;
    p = work + 2;
    for (int name = 0; name < 2; name++) {
      while (IsSeparator(*p)) p++;
      const char* start = p;
      while (*p != 0 && !IsSeparator(*p)) p++;
      int n = static_cast<int>(p - start);
      int dots = 0;
      if (n == 0) {
        if (name == 0) return Fail(dst, capacity);
        break;  // "\\server" alone
      }
      if (IsOnlyDots(start, n, &dots)) return Fail(dst, capacity);
      if (name == 1) out[length++] = '\\';
      for (int i = 0; i < n; i++) out[length++] = start[i];
    }
    floor = length;
  } else {
    return Fail(dst, capacity);  // relative, or drive-relative "C:x"
  }

  for (;;) {
    while (IsSeparator(*p)) p++;
    if (*p == 0) break;
    const char* start = p;
    while (*p != 0 && !IsSeparator(*p)) p++;
    int n = static_cast<int>(p - start);
    int dots = 0;
    if (IsOnlyDots(start, n, &dots)) {
      // "." (or dots and blanks the system reads as ".") stays here; ".."
      // climbs one component, never past the root.
      if (dots == 2 && n == 2 && length > floor) {
        while (length > floor && out[length - 1] != '\\') length--;
        if (length > floor) length--;  // the separator before it
      }
      continue;
    }
    // The system drops trailing dots and blanks of a component.
    while (n > 0 && (start[n - 1] == '.' || start[n - 1] == ' ')) n--;
    if (length > 0 && out[length - 1] != '\\') {
      if (length + 1 >= sizeof out) return Fail(dst, capacity);
      out[length++] = '\\';
    }
    if (length + n >= sizeof out) return Fail(dst, capacity);
    for (int i = 0; i < n; i++) out[length++] = start[i];
  }
  out[length] = 0;
  if (!CopyTextCut(dst, capacity, out)) return Fail(dst, capacity);
  return true;
}

bool SamePath(const char* a, const char* b) { return EqualNoCase(a, b); }

bool IsBelowFolder(const char* path, const char* folder) {
  int n = TextLength(folder);
  if (n == 0 || TextLength(path) <= n || !EqualNoCaseN(path, folder, n)) return false;
  // "C:\" already ends in its separator; every other canonical folder does not.
  return folder[n - 1] == '\\' || path[n] == '\\';
}

PathRoot RootOf(const char* canonical) {
  if (StartsWithDrive(canonical) && canonical[2] == '\\' && canonical[3] == 0) return kRootDrive;
  if (canonical[0] == '\\' && canonical[1] == '\\') {
    // At most one separator after the server name.
    int separators = 0;
    for (const char* p = canonical + 2; *p != 0; p++)
      if (*p == '\\') separators++;
    if (separators <= 1) return kRootShare;
  }
  return kRootNone;
}

void ClearFolders(FolderList* list) { list->Count = 0; }

void AddFolder(FolderList* list, const char* canonical) {
  if (canonical == nullptr || canonical[0] == 0 || list->Count >= kGuardFolderCapacity) return;
  for (int32_t i = 0; i < list->Count; i++)
    if (SamePath(list->Paths[i], canonical)) return;
  if (CopyTextCut(list->Paths[list->Count], kPathCapacity, canonical)) list->Count++;
}

void AddAncestors(FolderList* list, const char* canonical) {
  char parent[kPathCapacity];
  if (!CopyTextCut(parent, sizeof parent, canonical)) return;
  while (RootOf(parent) == kRootNone) {
    char* slash = FindCharLast(parent, '\\');
    if (slash == nullptr || slash == parent) return;
    // "C:\A" becomes "C:\", which keeps its separator.
    if (slash - parent == 2 && parent[1] == ':') slash++;
    *slash = 0;
    AddFolder(list, parent);
  }
}

FolderVerdict JudgeFolder(const char* canonical, const FolderList& known, int32_t* which) {
  if (which != nullptr) *which = -1;
  if (canonical == nullptr || canonical[0] == 0) return kFolderNoFullPath;
  switch (RootOf(canonical)) {
    case kRootDrive: return kFolderDriveRoot;
    case kRootShare: return kFolderShareRoot;
    case kRootNone: break;
  }
  for (int32_t i = 0; i < known.Count; i++) {
    FolderVerdict verdict = kFolderAllowed;
    if (SamePath(canonical, known.Paths[i])) {
      verdict = kFolderKnown;
    } else if (IsBelowFolder(known.Paths[i], canonical)) {
      verdict = kFolderHoldsKnown;
    }
    if (verdict != kFolderAllowed) {
      if (which != nullptr) *which = i;
      return verdict;
    }
  }
  return kFolderAllowed;
}

bool HoldsShortNameComponent(const char* text) {
  const char* part = text;
  for (const char* p = text;; p++) {
    if (*p != 0 && !IsSeparator(*p)) continue;
    if (LooksLikeShortName(part, static_cast<int>(p - part))) return true;
    if (*p == 0) return false;
    part = p + 1;
  }
}

const char* FolderVerdictText(FolderVerdict verdict) {
  switch (verdict) {
    case kFolderAllowed: return "allowed";
    case kFolderNoFullPath: return "has no full path";
    case kFolderDriveRoot: return "is a drive root";
    case kFolderShareRoot: return "is a network share root";
    case kFolderKnown: return "is a system folder";
    case kFolderHoldsKnown: return "holds a system folder";
    case kFolderShortName: return "has a short name that names no folder";
  }
  return "refused";
}

bool IsDeletableLink(const char* canonical, const FolderList& shortcutFolders,
                     const FolderList& excluded) {
  int n = TextLength(canonical);
  if (n <= 4 || !EqualNoCase(canonical + n - 4, ".lnk")) return false;
  for (int32_t i = 0; i < excluded.Count; i++)
    if (IsBelowFolder(canonical, excluded.Paths[i])) return false;
  for (int32_t i = 0; i < shortcutFolders.Count; i++)
    if (IsBelowFolder(canonical, shortcutFolders.Paths[i])) return true;
  return false;
}
