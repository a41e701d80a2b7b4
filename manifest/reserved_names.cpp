#include "manifest/reserved_names.h"

#include "tinylib/text.h"

namespace {

const char* const kReservedNames[] = {"linkfiles", "install.txt", "PARAMS.CFG",
                                      "Pellinor.staging"};

// 8.3 limits: a base of at most 8 characters, an extension of at most 3.
enum { kShortBaseLimit = 8, kShortExtensionLimit = 3 };

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A component of the form of a generated short name: at most 8.3, with a
// '~' followed by a digit in its base. Such a name can open a long-named file
// of the folder, whichever it is, so it is not compared letter by letter.
bool LooksLikeShortAlias(const char* part, int length) {
  int dot = -1;
  for (int i = 0; i < length; i++) {
    if (part[i] != '.') continue;
    if (dot >= 0) return false;  // two dots: no 8.3 name
    dot = i;
  }
  int base = dot >= 0 ? dot : length;
  int extension = dot >= 0 ? length - dot - 1 : 0;
  if (base == 0 || base > kShortBaseLimit || extension > kShortExtensionLimit) return false;
  // Generated names keep at least one character before the tail.
  for (int i = 1; i + 1 < base; i++) {
    if (part[i] == '~' && part[i + 1] >= '0' && part[i + 1] <= '9') return true;
  }
  return false;
}

}  // namespace

bool IsReservedInstallName(const char* name) {
  if (name == nullptr) return true;
  int length = 0;
  while (name[length] != 0 && !IsSeparator(name[length])) length++;
  while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) length--;
  if (length == 0) return false;  // nothing that names a file of the folder
  for (const char* reserved : kReservedNames) {
    if (TextLength(reserved) == length && EqualNoCaseN(name, reserved, length)) return true;
  }
  return LooksLikeShortAlias(name, length);
}
