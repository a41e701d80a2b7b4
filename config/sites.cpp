// The mirror site table.
#include "config/sites.h"

#include <new>
#include <string.h>

#include "tinylib/diaglog.h"
#include "tinylib/text.h"

TSiteInfo* SiteTable[kSiteTableCapacity];
int32_t SiteCount;

// The records themselves live here, so registering a site never allocates
// and a full table is the only way to fail.
static TSiteInfo SiteRecords[kSiteTableCapacity];

static const char kSiteScheme[] = "http://";
static const int kSiteSchemeLength = sizeof kSiteScheme - 1;

bool AddSite(char* text) {
  // Other schemes, https:// among them, are not sites.
  if (!EqualNoCaseN(text, kSiteScheme, kSiteSchemeLength)) {
    DiagLog("site ignored, not http://: %.80s", text);
    return false;
  }
  uint32_t threads = 1;
  char* equals = FindCharFirst(text, '=');
  if (equals != nullptr) {
    *equals = 0;
    threads = DecimalOf(equals + 1);
  }
  // Cutting a long URL would send every request to a different server path,
  // so such a site is left out whole.
  if (!FitsIn(text, kSiteUrlCapacity)) {
    DiagLog("site ignored, URL longer than %d characters", kSiteUrlCapacity - 1);
    return false;
  }
  if (SiteCount >= kSiteTableCapacity) {
    DiagLog("site ignored, table full (%d): %.80s", kSiteTableCapacity, text);
    return false;
  }
  if (threads > kMaxSiteThreads) {
    DiagLog("site threads %u lowered to %d", threads, kMaxSiteThreads);
    threads = kMaxSiteThreads;
  }
  TSiteInfo* site = &SiteRecords[SiteCount];
  memset(site, 0, sizeof *site);
  PutText(site->Url, text);
  site->Threads = static_cast<int32_t>(threads);
  SiteTable[SiteCount++] = site;
  return true;
}

bool SizeTriedFlags(TSiteInfo* site, int32_t itemCount) {
  delete[] site->Tried;
  site->Tried = nullptr;
  site->TriedCount = 0;
  if (itemCount <= 0) return true;
  // Value-initialised: every flag starts clear.
  site->Tried = new (std::nothrow) uint8_t[itemCount]();
  if (site->Tried == nullptr) {
    DiagLog("no memory for %d tried flags of %.80s", itemCount, site->Url);
    return false;
  }
  site->TriedCount = itemCount;
  return true;
}

bool IsTried(const TSiteInfo* site, int32_t index) {
  if (index < 0 || index >= site->TriedCount) return true;
  return site->Tried[index] != 0;
}

void MarkTried(TSiteInfo* site, int32_t index) {
  if (index < 0 || index >= site->TriedCount) return;
  site->Tried[index] = 1;
}

void ResetSiteTable() {
  for (int32_t i = 0; i < kSiteTableCapacity; i++) {
    delete[] SiteRecords[i].Tried;
    memset(&SiteRecords[i], 0, sizeof SiteRecords[i]);
    SiteTable[i] = nullptr;
  }
  SiteCount = 0;
}
