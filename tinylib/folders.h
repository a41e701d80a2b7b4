// File-system helpers that work by path.
#pragma once

// Creates every missing folder of the path's folder part (everything before
// its last backslash). Drive roots are never created. The text is changed
// while the call runs and is the same afterwards. Failures are ignored: the
// caller finds out when it opens a file there.
void MakeFolders(char* path);

// Shell special folders used by the installer.
enum {
  kCsidlCommonStartMenu = 0x16,
  kCsidlCommonDesktop = 0x19,
  kCsidlCommonAppData = 0x23,
};

// Writes the folder's path followed by a backslash into dst, which must hold
// 262 bytes (a path of up to 259 characters, the backslash, the terminator).
// A folder the shell cannot resolve gives an empty text. Returns dst.
char* SpecialFolderPath(char* dst, int csidl);
