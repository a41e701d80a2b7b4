// Native stand-in for the shell's special folders, so that the presets can
// be tested off Windows. The paths are those of a default Windows setup.
#include "tinylib/folders.h"

#include "tinylib/text.h"

char* SpecialFolderPath(char* dst, int csidl) {
  const char* path = "";
  switch (csidl) {
    case kCsidlCommonStartMenu: path = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\"; break;
    case kCsidlCommonDesktop: path = "C:\\Users\\Public\\Desktop\\"; break;
    case kCsidlCommonAppData: path = "C:\\ProgramData\\"; break;
  }
  PutText(dst, path);
  return dst;
}
