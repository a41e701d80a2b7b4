// Rules for names that reach the file system: device names and served
// relative names.
#include "tinylib/file_names.h"

#include <stdint.h>

#include "tinylib/text.h"

bool IsReservedDeviceName(const char* part, int length) {
  // The name before the first dot, trailing blanks trimmed, decides.
  int base = 0;
  while (base < length && part[base] != '.') base++;
  while (base > 0 && part[base - 1] == ' ') base--;
  static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kPlain) {
    if (TextLength(device) == base && EqualNoCaseN(part, device, base)) return true;
  }
  if (base != 4) return false;
  char a = FoldCase(part[0]), b = FoldCase(part[1]), c = FoldCase(part[2]);
  bool family = (a == 'C' && b == 'O' && c == 'M') || (a == 'L' && b == 'P' && c == 'T');
  uint8_t digit = static_cast<uint8_t>(part[3]);
  // '0'-'9' (COM0 and LPT0 are refused by some Windows versions), and the
  // superscripts 1, 2 and 3 of the Western code page, which Windows reads as
  // the digits.
  bool number = (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  return family && number;
}

bool IsSafeRelativeName(const char* name) {
  if (name == nullptr || name[0] == 0 || IsSeparator(name[0])) return false;
  const char* part = name;
  for (const char* p = name;; p++) {
    uint8_t c = static_cast<uint8_t>(*p);
    if (c == 0 || IsSeparator(*p)) {
      int length = static_cast<int>(p - part);
      // Windows drops trailing dots and blanks, so ". ." or "..." could act
      // as ".."; an empty component is refused the same way.
      bool onlyDots = true;
      for (int i = 0; i < length; i++)
        if (part[i] != '.' && part[i] != ' ') onlyDots = false;
      if (onlyDots || IsReservedDeviceName(part, length)) return false;
      if (c == 0) return true;
      part = p + 1;
      continue;
    }
    if (c < 0x20 || c == 0x7F) return false;
    switch (c) {
      case ':': case '<': case '>': case '"': case '|': case '?': case '*':
        return false;
      default:
        break;
    }
  }
}

bool LooksLikeShortName(const char* part, int n) {
  // 8.3 limits: a base of at most 8 characters, an extension of at most 3.
  const int kBaseLimit = 8, kExtensionLimit = 3;
  int dot = -1;
  for (int i = 0; i < n; i++) {
    if (part[i] != '.') continue;
    if (dot >= 0) return false;  // two dots: no 8.3 name
    dot = i;
  }
  int base = dot >= 0 ? dot : n;
  int extension = dot >= 0 ? n - dot - 1 : 0;
  if (base == 0 || base > kBaseLimit || extension > kExtensionLimit) return false;
  // Generated names keep at least one character before the tail.
  for (int i = 1; i + 1 < base; i++) {
    if (part[i] == '~' && part[i + 1] >= '0' && part[i + 1] <= '9') return true;
  }
  return false;
}
