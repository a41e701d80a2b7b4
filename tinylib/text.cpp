// Text helpers: the small string library every module builds its texts with.
#include "tinylib/text.h"

int TextLength(const char* text) {
  int n = 0;
  while (text[n] != 0) n++;
  return n;
}

char* FindChar(const char* text, char c) {
  // Compares before testing for the end, so c == 0 finds the terminator.
  for (;; text++) {
    if (*text == c) return const_cast<char*>(text);
    if (*text == 0) return nullptr;
  }
}

// One scan for both directions: remember the latest match, stop at the first
// one when asked to.
static char* ScanForChar(const char* text, char c, bool stopAtFirst) {
  const char* found = nullptr;
  for (; *text != 0; text++) {
    if (*text == c) {
      found = text;
      if (stopAtFirst) break;
    }
  }
  return const_cast<char*>(found);
}

char* FindCharFirst(const char* text, char c) { return ScanForChar(text, c, true); }
char* FindCharLast(const char* text, char c) { return ScanForChar(text, c, false); }

char* PutText(char* dst, const char* src) {
  while ((*dst = *src) != 0) {
    dst++;
    src++;
  }
  return dst;
}

char* PutChars(char* dst, const char* src, int n) {
  for (int i = 0; i < n; i++) *dst++ = src[i];
  *dst = 0;
  return dst;
}

char* PutFirstLine(char* dst, const char* src) {
  while (*src != 0 && *src != '\r') *dst++ = *src++;
  *dst = 0;
  return dst;
}

char* PutChar(char* dst, char c) {
  *dst = c;
  return dst + 1;
}

char* PutUnsigned(char* dst, uint32_t value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *dst++ = digits[--count];
  *dst = 0;
  return dst;
}

char* PutDecimal(char* dst, int32_t value) {
  // Callers pass non-negative values; a negative one is written with a sign
  // rather than as garbage.
  uint32_t magnitude = static_cast<uint32_t>(value);
  if (value < 0) {
    *dst++ = '-';
    magnitude = 0u - magnitude;
  }
  return PutUnsigned(dst, magnitude);
}

char* JoinText(char* dst, const char* first, const char* second, const char* third) {
  char* end = (first == dst) ? dst + TextLength(dst) : PutText(dst, first);
  if (second != nullptr) {
    end = PutText(end, second);
    if (third != nullptr) PutText(end, third);
  }
  return dst;
}

char* AppendText(char* dst, const char* second, const char* third) {
  return JoinText(dst, dst, second, third);
}

char* EnsureBackslash(char* path) {
  char* end = path + TextLength(path);
  if (end != path && end[-1] != '\\') {
    *end++ = '\\';
    *end = 0;
  }
  return end;
}

char* ReplaceExtension(char* path, const char* extension) {
  char* dot = FindCharLast(path, '.');
  if (dot == nullptr) {
    dot = path + TextLength(path);
    *dot = '.';
  }
  PutText(dot + 1, extension);
  return path;
}

uint32_t ReadDecimal(const char*& cursor) {
  uint32_t value = 0;
  while (*cursor >= '0' && *cursor <= '9') {
    value = value * 10u + static_cast<uint32_t>(*cursor - '0');
    cursor++;
  }
  return value;
}

uint32_t DecimalOf(const char* text) { return ReadDecimal(text); }

bool ReadDecimalUpTo(const char*& cursor, uint32_t limit, uint32_t* value) {
  if (*cursor < '0' || *cursor > '9') return false;
  // 64 bits, checked after every digit: a long run cannot wrap back below.
  uint64_t v = 0;
  while (*cursor >= '0' && *cursor <= '9') {
    v = v * 10 + static_cast<uint64_t>(*cursor - '0');
    if (v > limit) return false;
    cursor++;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

int LowerHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool EqualNoCase(const char* a, const char* b) {
  for (;; a++, b++) {
    char ca = FoldCase(*a);
    if (ca != FoldCase(*b)) return false;
    if (ca == 0) return true;
  }
}

bool EqualNoCaseN(const char* a, const char* b, int n) {
  // Stops at the first difference, so a shorter text fails at its terminator
  // and nothing past either text is read.
  for (int i = 0; i < n; i++) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool CopyTextCut(char* dst, size_t capacity, const char* src) {
  if (capacity == 0) return false;
  size_t i = 0;
  for (; i + 1 < capacity && src[i] != 0; i++) dst[i] = src[i];
  dst[i] = 0;
  return src[i] == 0;
}

bool AppendTextCut(char* dst, size_t capacity, const char* src) {
  size_t used = 0;
  while (used < capacity && dst[used] != 0) used++;
  if (used >= capacity) return false;
  return CopyTextCut(dst + used, capacity - used, src);
}

bool JoinTextCut(char* dst, size_t capacity, const char* first, const char* second) {
  return CopyTextCut(dst, capacity, first) && AppendTextCut(dst, capacity, second);
}

bool FitsIn(const char* text, size_t capacity) {
  for (size_t i = 0; i < capacity; i++)
    if (text[i] == 0) return true;
  return false;
}
