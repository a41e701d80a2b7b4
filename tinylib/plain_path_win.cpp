// Links found and held off: the Windows half of the plain-path walk.
#include "tinylib/plain_path.h"

#include <windows.h>

#include "tinylib/diaglog.h"
#include "tinylib/find_handle_win.h"
#include "tinylib/text.h"

namespace {
const int kPathRoom = 260;
const char kRefused[] = "links: %s is a link or a file, too deep, or cannot be held: not followed";
}  // namespace

PathKind PathKindAt(const char* path) { return PathKindOfAttributes(GetFileAttributesA(path)); }

bool RemoveLinkItself(const char* path, PathKind kind) {
  // On a junction or a symbolic link these remove the link, not its target.
  // A link that is not a folder link is a file for DeleteFileA.
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  bool removed = (kind == kPathLink && RemoveDirectoryA(path)) || DeleteFileA(path);
  if (!removed) DiagLog("links: cannot remove %s (error %lu)", path, GetLastError());
  return PathKindAt(path) == kPathMissing;
}

// Opened with the right to list (so that the handle's missing delete
// sharing counts), on the link itself should it be one.
static HANDLE HoldFolder(const char* path) {
  return CreateFileA(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Both views: Windows tells a link by the handle; Wine only by the path,
// which names the held object now that it cannot be renamed.
static bool IsHeldPlainFolder(HANDLE folder, const char* path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(folder, &info)) return false;
  return PathKindOfAttributes(info.dwFileAttributes) == kPathFolder &&
         PathKindAt(path) == kPathFolder;
}

// One folder of a path, dropped or made as the flags say: kStepEnter when a
// folder is there now (still to be checked), kStepStop or kStepRefuse.
static ChainStep Settle(const char* prefix, uint32_t flags) {
  PathKind kind = PathKindAt(prefix);
  ChainStep step = DecideChainStep(kind, flags);
  if (step == kStepDrop) {
    if (!RemoveLinkItself(prefix, kind)) return kStepRefuse;
    step = DecideChainStep(kPathMissing, flags);
  }
  if (step == kStepMake) {
    CreateDirectoryA(prefix, nullptr);  // checked as it is entered
    step = kStepEnter;
  }
  return step;
}

void* HoldPlainFolder(const char* path) {
  HANDLE folder = HoldFolder(path);
  if (folder == INVALID_HANDLE_VALUE || IsHeldPlainFolder(folder, path)) return folder;
  CloseHandle(folder);
  return INVALID_HANDLE_VALUE;
}

bool CheckPlainFolders(const char* path, int base, uint32_t flags) {
  int cuts[kChainDepth];
  int count = FolderCuts(path, base, cuts, kChainDepth);
  char prefix[kPathRoom];
  if (count < 0 || !CopyTextCut(prefix, sizeof prefix, path)) {
    DiagLog(kRefused, path);
    return false;
  }
  for (int i = 0; i < count; i++) {
    prefix[cuts[i]] = 0;
    ChainStep step = Settle(prefix, flags);
    if (step == kStepStop) return true;
    if (step != kStepEnter || PathKindAt(prefix) != kPathFolder) {
      DiagLog(kRefused, prefix);
      return false;
    }
    prefix[cuts[i]] = '\\';
  }
  return true;
}

bool FolderChain::Hold(const char* path, int base, uint32_t flags) {
  int cuts[kChainDepth];
  int count = FolderCuts(path, base, cuts, kChainDepth);
  if (count < 0 || !FitsIn(path, sizeof held_)) {
    Release();
    DiagLog(kRefused, path);
    return false;
  }
  // The leading folders the chain holds already for an earlier path stay
  // held: a commit walks many files of the same folders.
  int keep = 0;
  while (keep < count_ && keep < count && ends_[keep] == cuts[keep] &&
         EqualNoCaseN(held_, path, cuts[keep]))
    keep++;
  while (count_ > keep) CloseHandle(static_cast<HANDLE>(handles_[--count_]));
  PutText(held_, path);
  for (int i = keep; i < count; i++) {
    held_[cuts[i]] = 0;
    ChainStep step = Settle(held_, flags);
    if (step == kStepStop) break;
    HANDLE folder = step == kStepEnter ? HoldFolder(held_) : INVALID_HANDLE_VALUE;
    bool plain = folder != INVALID_HANDLE_VALUE && IsHeldPlainFolder(folder, held_);
    if (folder != INVALID_HANDLE_VALUE) {
      ends_[count_] = cuts[i];
      handles_[count_++] = folder;
    }
    if (!plain) {
      DiagLog(kRefused, held_);
      PutText(held_, path);
      return false;
    }
    held_[cuts[i]] = '\\';
  }
  PutText(held_, path);
  return true;
}

void FolderChain::Release() {
  while (count_ > 0) CloseHandle(static_cast<HANDLE>(handles_[--count_]));
}

void WalkPlainTree(const char* root, const char* relative, TreeVisitor visit, void* context) {
  char pattern[kPathCapacity];
  if (!JoinTextCut(pattern, sizeof pattern, root, relative) || !AppendTextCut(pattern, sizeof pattern, "*")) return;
  WIN32_FIND_DATAA entry;
  FindHandle search(pattern, &entry);
  if (!search.Valid()) return;
  do {
    const char* name = entry.cFileName;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    char inner[kPathCapacity];
    if (!JoinTextCut(inner, sizeof inner, relative, name)) continue;
    PathKind kind = PathKindOfAttributes(entry.dwFileAttributes);
    if (kind == kPathFolder) {
      char folder[kPathCapacity];
      if (!AppendTextCut(inner, sizeof inner, "\\") || !JoinTextCut(folder, sizeof folder, root, inner)) continue;
      FolderChain held;
      if (held.Hold(folder, TextLength(root) + TextLength(relative), 0)) {
        WalkPlainTree(root, inner, visit, context);
      } else {
        kind = kPathLink;  // became one since it was listed
        inner[TextLength(inner) - 1] = 0;
      }
    }
    visit(context, root, inner, kind);
  } while (search.Next(&entry));
}
