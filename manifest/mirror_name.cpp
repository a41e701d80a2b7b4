// Mirror object names and URLs.
#include "manifest/mirror_name.h"

#include "manifest/sites.h"
#include "tinylib/text.h"

// Stamps above 2147483647 (years from 2044) are valid dates, so they are
// printed as unsigned numbers rather than through the signed PutDecimal.
static const int kUnsignedDigits = 10;

// Appends value in decimal at buffer[*used]; false when it does not fit
// together with a terminator.
static bool AppendUnsigned(char* buffer, size_t capacity, size_t* used, uint32_t value) {
  char digits[kUnsignedDigits];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (*used + count >= capacity) return false;
  while (count > 0) buffer[(*used)++] = digits[--count];
  return true;
}

static bool AppendChar(char* buffer, size_t capacity, size_t* used, char c) {
  if (*used + 1 >= capacity) return false;
  buffer[(*used)++] = c;
  return true;
}

void MirrorMonthFolder(uint32_t stamp, char out[kMonthFolderCapacity]) {
  int year = static_cast<int>(stamp >> 25) - 20;  // years after 2000
  int month = static_cast<int>((stamp >> 21) & 0x0F);
  if (year < 9) {
    PutText(out, "0800");
    return;
  }
  if (year >= 100) year -= 100;  // 2100..2107 become 00..07
  out[0] = static_cast<char>('0' + year / 10);
  out[1] = static_cast<char>('0' + year % 10);
  out[2] = static_cast<char>('0' + month / 10);
  out[3] = static_cast<char>('0' + month % 10);
  out[4] = 0;
}

// Unreserved characters may stand in a URL path as they are; every other
// byte of a name ('%', '#', '?', blanks, bytes above 127, ...) would end the
// path or be decoded into some other name.
static bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

static bool AppendNameChar(char* buffer, size_t capacity, size_t* used, char c, bool encode) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (!encode || IsUnreserved(byte)) return AppendChar(buffer, capacity, used, c);
  static const char kHexDigits[] = "0123456789ABCDEF";
  return AppendChar(buffer, capacity, used, '%') &&
         AppendChar(buffer, capacity, used, kHexDigits[byte >> 4]) &&
         AppendChar(buffer, capacity, used, kHexDigits[byte & 0x0F]);
}

// encode: percent-encode the name, for a URL; the object's file keeps the
// raw name, which the HTTP server finds by decoding the URL.
static bool AppendObjectName(char* buffer, size_t capacity, size_t* used, uint32_t stamp,
                             int32_t size, const char* name, bool withMonthFolder,
                             bool encode) {
  if (size < 0) return false;
  if (withMonthFolder) {
    char folder[kMonthFolderCapacity];
    MirrorMonthFolder(stamp, folder);
    for (int i = 0; folder[i] != 0; i++)
      if (!AppendChar(buffer, capacity, used, folder[i])) return false;
    if (!AppendChar(buffer, capacity, used, '/')) return false;
  }
  if (!AppendUnsigned(buffer, capacity, used, stamp)) return false;
  if (!AppendChar(buffer, capacity, used, '_')) return false;
  if (!AppendUnsigned(buffer, capacity, used, static_cast<uint32_t>(size))) return false;
  if (!AppendChar(buffer, capacity, used, '_')) return false;
  for (const char* p = name; *p != 0; p++)
    if (!AppendNameChar(buffer, capacity, used, *p == '\\' ? '_' : *p, encode)) return false;
  buffer[*used] = 0;
  return true;
}

bool MirrorObjectName(char* buffer, size_t capacity, uint32_t stamp, int32_t size,
                      const char* name, bool withMonthFolder) {
  if (capacity == 0) return false;
  size_t used = 0;
  if (AppendObjectName(buffer, capacity, &used, stamp, size, name, withMonthFolder, false))
    return true;
  buffer[0] = 0;
  return false;
}

bool MirrorObjectUrl(char* buffer, size_t capacity, const char* baseUrl, uint32_t stamp,
                     int32_t size, const char* name, bool withMonthFolder) {
  if (capacity == 0) return false;
  size_t used = 0;
  bool fits = true;
  for (const char* p = baseUrl; fits && *p != 0; p++)
    fits = AppendChar(buffer, capacity, &used, *p);
  if (fits && (used == 0 || buffer[used - 1] != '/')) fits = AppendChar(buffer, capacity, &used, '/');
  if (fits)
    fits = AppendObjectName(buffer, capacity, &used, stamp, size, name, withMonthFolder, true);
  if (!fits) buffer[0] = 0;
  return fits;
}

bool MirrorUrl(char buffer[kMirrorUrlCapacity], const TSiteInfo& site, uint32_t stamp,
               int32_t size, const char* name, int32_t installMode) {
  return MirrorObjectUrl(buffer, kMirrorUrlCapacity, site.Url, stamp, size, name,
                         installMode == 0);
}
