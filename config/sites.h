// Mirror sites: the base URLs that serve the client's files as compressed
// objects, with the number of workers each one gets.
//
// Sites come from the web: keyword (during configuration) and from the
// SITES section of the manifest, and live until the process ends.
#pragma once

#include <stdint.h>

enum {
  kSiteUrlCapacity = 260,
  kSiteTableCapacity = 16,
  // Never more workers than can run beside the installer job in the pool.
  kMaxSiteThreads = 15,
};

class TSiteInfo {
 public:
  char Url[kSiteUrlCapacity];  // the site text up to its '='
  int32_t Threads;             // workers to start; 0 starts none
  // One flag per DownloadList index, set when a worker of this site takes
  // that item. Sized to the list by SizeTriedFlags; until then every index
  // reads as tried, so a site without flags takes nothing.
  uint8_t* Tried;
  int32_t TriedCount;
};

extern TSiteInfo* SiteTable[kSiteTableCapacity];
extern int32_t SiteCount;

// Registers the site in text, which must begin with "http://" (any case).
// The text is cut in place at its first '='; the digits after it are the
// thread count (1 without '='). Returns false when nothing was added: another
// scheme, a base URL of 260 characters or more, or a full table.
bool AddSite(char* text);

// Gives the site one zeroed flag per item. Returns false when the memory
// cannot be had; the site then has no flags and takes no item.
bool SizeTriedFlags(TSiteInfo* site, int32_t itemCount);
// An index outside the flags counts as tried, so that nothing outside them
// is read or written and the item is left to the other sources.
bool IsTried(const TSiteInfo* site, int32_t index);
void MarkTried(TSiteInfo* site, int32_t index);

// Empties the table and releases every site's flags.
void ResetSiteTable();
