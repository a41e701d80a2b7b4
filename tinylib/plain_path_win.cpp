// Links found and held off: the Windows half of the plain-path walk.
#include "tinylib/plain_path.h"

#include <windows.h>

#include "tinylib/diaglog.h"
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

bool FolderChain::Hold(const char* path, int base, uint32_t flags) {
  int cuts[kChainDepth];
  int count = FolderCuts(path, base, cuts, kChainDepth);
  char prefix[kPathRoom];
  bool ok = count >= 0 && CopyTextCut(prefix, sizeof prefix, path);
  if (!ok) DiagLog(kRefused, path);
  for (int i = 0; ok && i < count; i++) {
    prefix[cuts[i]] = 0;
    PathKind kind = PathKindAt(prefix);
    ChainStep step = DecideChainStep(kind, flags);
    if (step == kStepDrop) {
      ok = RemoveLinkItself(prefix, kind);
      step = DecideChainStep(kPathMissing, flags);
    }
    if (step == kStepStop) return ok;
    if (step == kStepMake) CreateDirectoryA(prefix, nullptr);  // checked as it is held
    HANDLE folder = ok && step != kStepRefuse && count_ < kChainDepth ? HoldFolder(prefix)
                                                                      : INVALID_HANDLE_VALUE;
    if (folder != INVALID_HANDLE_VALUE) handles_[count_++] = folder;
    ok = folder != INVALID_HANDLE_VALUE && IsHeldPlainFolder(folder, prefix);
    if (!ok) DiagLog(kRefused, prefix);
    prefix[cuts[i]] = '\\';
  }
  return ok;
}

void FolderChain::Release() {
  while (count_ > 0) CloseHandle(static_cast<HANDLE>(handles_[--count_]));
}
