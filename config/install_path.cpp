// The one join of the install folder and a served or fixed name.
#include "config/install_path.h"

#include "tinylib/diaglog.h"
#include "tinylib/file_names.h"
#include "tinylib/text.h"

char* InstallPathIn(char* buffer, size_t capacity, const char* installDir, const char* name) {
  if (capacity == 0) return nullptr;
  buffer[0] = 0;
  int dirLength = installDir != nullptr ? TextLength(installDir) : 0;
  if (dirLength == 0 || !IsSafeRelativeName(name)) {
    DiagLog("install: refusing %s: %s", name == nullptr ? "(none)" : name,
            dirLength == 0 ? "no install folder" : "not a plain name below the install folder");
    return nullptr;
  }
  // A folder without its backslash would run into the name ("C:\Ax").
  bool separate = !IsSeparator(installDir[dirLength - 1]);
  size_t length = static_cast<size_t>(dirLength) + (separate ? 1 : 0) + TextLength(name);
  if (length >= capacity) {
    DiagLog("install: refusing %s: path longer than %d characters", name,
            static_cast<int>(capacity) - 1);
    return nullptr;
  }
  char* end = PutText(buffer, installDir);
  if (separate) end = PutChar(end, '\\');
  PutText(end, name);
  for (; *end != 0; end++)
    if (*end == '/') *end = '\\';
  return buffer;
}

char* InstallPath(char* buffer, const char* name, size_t capacity) {
  return InstallPathIn(buffer, capacity, InstallSettings.InstallDir, name);
}
