// MakeFolders and SpecialFolderPath over kernel32 and shell32.
#include "tinylib/folders.h"

#include <windows.h>
#include <shlobj.h>

#include "tinylib/text.h"

// A backslash before index 4 belongs to a drive part such as "C:\", which
// must never be created.
static const int kFirstCutIndex = 4;

static int PreviousCut(const char* path, int from) {
  for (int i = from; i >= kFirstCutIndex; i--)
    if (path[i] == '\\') return i;
  return -1;
}

// Tests the deepest folder first and climbs only as far as the nearest one
// that exists, then creates downwards, outermost first.
static void MakeFolderAt(char* path, int cut) {
  path[cut] = 0;
  DWORD attributes = GetFileAttributesA(path);
  bool exists = attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!exists) {
    int parent = PreviousCut(path, cut - 1);
    if (parent >= 0) {
      path[cut] = '\\';  // the recursion cuts the text shorter itself
      MakeFolderAt(path, parent);
      path[cut] = 0;
    }
    CreateDirectoryA(path, nullptr);  // result ignored on purpose
  }
  path[cut] = '\\';
}

void MakeFolders(char* path) {
  int cut = PreviousCut(path, TextLength(path) - 1);
  if (cut >= 0) MakeFolderAt(path, cut);
}

char* SpecialFolderPath(char* dst, int csidl) {
  dst[0] = 0;
  LPITEMIDLIST items = nullptr;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, csidl, &items)) && items != nullptr) {
    if (!SHGetPathFromIDListA(items, dst)) dst[0] = 0;
    CoTaskMemFree(items);
  }
  // An unresolved folder stays empty rather than becoming "\", which would
  // name the root of the current drive.
  if (dst[0] != 0) *PutChar(dst + TextLength(dst), '\\') = 0;
  return dst;
}
