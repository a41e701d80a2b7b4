// Names of the compressed objects on a mirror site. The installer's mirror
// workers build URLs from them and the publisher writes objects under them,
// so both sides share this one definition:
//
//   [MonthFolder '/'] Stamp '_' Size '_' Name   ('\' in Name becomes '_')
//
// The object's file on the mirror carries that name as it is; in a URL each
// byte of Name that is not unreserved (letters, digits, '-', '.', '_', '~')
// is written as '%' and two uppercase hex digits, so that names holding '%',
// '#', '?' or blanks still name their own object.
#pragma once

#include <stddef.h>
#include <stdint.h>

class TSiteInfo;

enum {
  kMonthFolderCapacity = 5,  // four digits and the terminator
  kMirrorUrlCapacity = 260,
};

// Four digits from the Stamp's date: two of the year after 2000, two of the
// month. Every year before 2009 (and a Stamp of 0) shares "0800". Years
// 2100 to 2107, the last a DOS date can hold, take the year minus 2100, so
// they fall in 00..07, which no other year uses.
void MirrorMonthFolder(uint32_t stamp, char out[kMonthFolderCapacity]);

// Writes the object name into buffer (capacity counts the terminator), with
// the month folder and '/' in front when withMonthFolder is set. Returns
// false, leaving an empty text, when it would not fit or size is negative.
bool MirrorObjectName(char* buffer, size_t capacity, uint32_t stamp, int32_t size,
                      const char* name, bool withMonthFolder);

// The object's URL below baseUrl: baseUrl as it is, '/' unless it already
// ends in one, and the object name with Name percent-encoded. Returns false,
// leaving an empty text, when it would not fit in capacity (terminator
// counted): a cut URL would fetch some other object.
bool MirrorObjectUrl(char* buffer, size_t capacity, const char* baseUrl, uint32_t stamp,
                     int32_t size, const char* name, bool withMonthFolder);

// The object's URL on a site: MirrorObjectUrl below its Url, with the month
// folder only when installMode is 0, within 260 characters.
bool MirrorUrl(char buffer[kMirrorUrlCapacity], const TSiteInfo& site, uint32_t stamp,
               int32_t size, const char* name, int32_t installMode);
