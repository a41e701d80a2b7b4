// The installer without its delta path: every out-of-date file is fetched
// whole. Linked into Pellinor.exe until the delta path fits its size limit;
// the test builds link delta_win.cpp in its place.
#include "manifest/download_list.h"
#include "runtime/outcome.h"
#include "transfer/delta.h"
#include "transfer/mirror.h"
#include "transfer/session.h"

void PrepareDelta(const ListedManifest&) {}

void DeltaOrWholeFromSite(TSiteInfo* site, int32_t index) { DownloadFromSite(site, index); }

void DeltaOrWholeOverSession(DownloadItem& item) { DownloadOverSession(item); }

void NoteDeltaOutcome() {
  int64_t full = 0;
  for (int32_t i = 0; i < DownloadCount; i++)
    if (DownloadList[i].State == kItemDone) full += DownloadList[i].Size;
  NoteFetchedBytes(full, full);
}
